#pragma once

#include "platform/SignalNotifier.h"

#include <QTimer>

#include <functional>
#include <optional>
#include <string>

namespace vlog {

// Blocks SIGUSR1 (reopen the output), so that it waits for the event loop's
// descriptor like the ending signals. Must run on the initial thread before
// any other thread exists.
void BlockReopenSignal();

// What a service manager is told through sd_notify (nothing without
// NOTIFY_SOCKET), and SIGUSR1. Lives on the thread of the event loop.
class TService {
public:
    TService();
    ~TService();
    TService(const TService&) = delete;
    TService& operator=(const TService&) = delete;

    // NOTIFY_SOCKET is set: the status goes there, not onto a terminal.
    bool Notifying() const { return notifying; }

    // The ports are open and the settings acknowledged. Once.
    void Ready(const std::string& status);
    bool IsReady() const { return ready; }
    void Status(const std::string& status);
    // On the way out. Once.
    void Stopping(const std::string& status);

    // Under a watchdog (WATCHDOG_USEC), asks polling() every half period and
    // sends WATCHDOG=1 when it says the polling goes on.
    void StartWatchdog(std::function<bool()> polling);

    // Calls reopen on the loop's thread for each SIGUSR1. Throws
    // std::system_error.
    void OnReopenSignal(std::function<void()> reopen);

private:
    void Notify(const std::string& state);

    bool notifying = false;
    bool ready = false;
    bool stopping = false;
    QTimer watchdog;
    std::optional<platform::SignalNotifier> reopenSignal;
};

} // namespace vlog
