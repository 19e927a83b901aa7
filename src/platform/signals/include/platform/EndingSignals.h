#pragma once

#include "platform/UniqueFd.h"

#include <csignal>

// SIGINT, SIGTERM and SIGHUP (a terminal's Ctrl+C, a kill, a session that
// logs out) end our programs through their ordinary shutdown: the signals are
// blocked and wait in the process until a descriptor reports them.

namespace platform {

sigset_t EndingSignalSet();

// Blocks the signals of set in the calling thread. Run it on the initial
// thread before any other thread exists, so that every thread inherits the
// mask and no thread is killed by them. Throws std::system_error.
void BlockSignals(const sigset_t& set);
void BlockEndingSignals();

// Owns a non-blocking, close-on-exec descriptor that becomes readable when
// a signal of its set arrives after BlockSignals.
class SignalFd {
public:
    // Throws std::system_error.
    explicit SignalFd(const sigset_t& set);

    int Get() const { return fd_.Get(); }
    // Takes every signal waiting; true when one was.
    bool Take();

private:
    UniqueFd fd_;
};

// The ending signals' descriptor. Throws std::system_error.
SignalFd OpenEndingSignals();

} // namespace platform
