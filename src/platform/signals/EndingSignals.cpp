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

void BlockEndingSignals()
{
    const sigset_t set = EndingSignalSet();
    if (const int error = pthread_sigmask(SIG_BLOCK, &set, nullptr); error != 0) {
        throw std::system_error(error, std::generic_category(), "pthread_sigmask");
    }
}

int OpenEndingSignals()
{
    const sigset_t set = EndingSignalSet();
    const int fd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "signalfd");
    }
    return fd;
}

bool TakeEndingSignals(int fd)
{
    signalfd_siginfo info;
    bool arrived = false;
    while (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        arrived = true;
    }
    return arrived;
}

} // namespace platform
