#include "platform/EndingSignals.h"

#include <cerrno>
#include <pthread.h>
#include <sys/signalfd.h>
#include <system_error>
#include <unistd.h>

namespace platform {

sigset_t EndingSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

void BlockSignals(const sigset_t& set)
{
    if (const int error = pthread_sigmask(SIG_BLOCK, &set, nullptr); error != 0) {
        throw std::system_error(error, std::generic_category(), "pthread_sigmask");
    }
}

void BlockEndingSignals()
{
    BlockSignals(EndingSignalSet());
}

SignalFd::SignalFd(const sigset_t& set) : fd_(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK))
{
    if (!fd_.Valid()) {
        throw std::system_error(errno, std::generic_category(), "signalfd");
    }
}

bool SignalFd::Take()
{
    signalfd_siginfo info;
    bool arrived = false;
    while (::read(fd_.Get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        arrived = true;
    }
    return arrived;
}

SignalFd OpenEndingSignals()
{
    return SignalFd(EndingSignalSet());
}

} // namespace platform
