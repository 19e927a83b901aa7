#include "velmor-log/service.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <sys/signalfd.h>
#include <system_error>
#include <systemd/sd-daemon.h>
#include <unistd.h>

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
    const sigset_t set = ReopenSet();
    if (const int error = pthread_sigmask(SIG_BLOCK, &set, nullptr); error != 0) {
        throw std::system_error(error, std::generic_category(), "pthread_sigmask");
    }
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
    if (reopenFd >= 0) {
        ::close(reopenFd);
    }
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
    const sigset_t set = ReopenSet();
    reopenFd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (reopenFd < 0) {
        throw std::system_error(errno, std::generic_category(), "signalfd");
    }
    reopenSignal = std::make_unique<QSocketNotifier>(reopenFd, QSocketNotifier::Read);
    QObject::connect(
        reopenSignal.get(), &QSocketNotifier::activated, [this, reopen = std::move(reopen)] {
            // Several signals before the loop came round: one reopen.
            signalfd_siginfo info;
            bool arrived = false;
            while (::read(reopenFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                arrived = true;
            }
            if (arrived) {
                reopen();
            }
        });
}

} // namespace vlog
