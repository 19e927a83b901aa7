#include "velmor-log/service.h"

#include <csignal>
#include <cstdlib>
#include <systemd/sd-daemon.h>

namespace vlog {

namespace {

sigset_t ReopenSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    return set;
}

// Lines of the status become one line: the manager shows STATUS= as one.
std::string OneLine(std::string text)
{
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    for (char& c : text) {
        if (c == '\n') {
            c = ';';
        }
    }
    return text;
}

} // namespace

void BlockReopenSignal()
{
    platform::BlockSignals(ReopenSet());
}

TService::TService()
{
    const char* socket = std::getenv("NOTIFY_SOCKET");
    notifying = socket != nullptr && *socket != '\0';
}

TService::~TService()
{
    watchdog.stop();
    reopenSignal.reset();
}

void TService::Notify(const std::string& state)
{
    if (notifying) {
        // A manager that went away is no reason to stop logging.
        sd_notify(0, state.c_str());
    }
}

void TService::Ready(const std::string& status)
{
    if (ready || stopping) {
        return;
    }
    ready = true;
    Notify("READY=1\nSTATUS=" + OneLine(status));
}

void TService::Status(const std::string& status)
{
    if (!stopping) {
        Notify("STATUS=" + OneLine(status));
    }
}

void TService::Stopping(const std::string& status)
{
    if (stopping) {
        return;
    }
    stopping = true;
    watchdog.stop();
    Notify("STOPPING=1\nSTATUS=" + OneLine(status));
}

void TService::StartWatchdog(std::function<bool()> polling)
{
    std::uint64_t usec = 0;
    if (!notifying || sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) {
        return;
    }
    const auto half = std::chrono::milliseconds(std::max<std::uint64_t>(usec / 2000, 1));
    QObject::connect(&watchdog, &QTimer::timeout, [this, polling = std::move(polling)] {
        if (polling()) {
            Notify("WATCHDOG=1");
        }
    });
    watchdog.start(half);
}

void TService::OnReopenSignal(std::function<void()> reopen)
{
    // Several signals before the loop came round: one reopen.
    reopenSignal.emplace(ReopenSet(), std::move(reopen));
}

} // namespace vlog
