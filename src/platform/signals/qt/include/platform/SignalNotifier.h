#pragma once

#include "platform/EndingSignals.h"

#include <QSocketNotifier>

#include <functional>

namespace platform {

// A signal descriptor watched by the event loop of the thread that makes
// it: onSignal runs there, once for all the signals that arrived since the
// loop last came round. Lives and dies on that thread.
class SignalNotifier {
public:
    SignalNotifier(const sigset_t& set, std::function<void()> onSignal);
    SignalNotifier(const SignalNotifier&) = delete;
    SignalNotifier& operator=(const SignalNotifier&) = delete;

    // For waits outside the loop: readable while a signal waits.
    int Fd() const { return signals_.Get(); }

private:
    // First, so that it outlives the notifier that watches it.
    SignalFd signals_;
    QSocketNotifier notifier_;
    std::function<void()> onSignal_;
};

} // namespace platform
