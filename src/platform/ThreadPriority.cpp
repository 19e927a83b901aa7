#include "platform/ThreadPriority.h"

#include "platform/LastError.h"

#include <algorithm>
#include <cerrno>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace platform {

namespace {

// Normal is the nice value the process started with; each step is 5 nice
// levels (about three times the share of the processor), the two ends the
// limits of the range.
int BaseNice()
{
    static const int base = [] {
        errno = 0;
        const int nice = ::getpriority(PRIO_PROCESS, 0);
        return errno == 0 ? nice : 0;
    }();
    return base;
}

} // namespace

ThreadId CurrentThreadId()
{
    return static_cast<ThreadId>(::gettid());
}

void SetCurrentThreadName(const char* name)
{
    ::pthread_setname_np(::pthread_self(), name);
}

bool IsInitialThread()
{
    return ::gettid() == ::getpid();
}

int NiceForPriority(int step)
{
    step = std::clamp(step, static_cast<int>(ThreadPriority::Idle),
                      static_cast<int>(ThreadPriority::TimeCritical));
    switch (static_cast<ThreadPriority>(step)) {
    case ThreadPriority::Idle:
        return 19;
    case ThreadPriority::TimeCritical:
        return -20;
    default:
        return std::clamp(BaseNice() - 5 * (step - static_cast<int>(ThreadPriority::Normal)), -20,
                          19);
    }
}

bool SetThreadPriority(ThreadId thread, int step)
{
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), NiceForPriority(step)) == 0)
        return true;
    SetLastError(errno == ESRCH ? ErrorInvalidHandle : ErrorAccessDenied);
    return false;
}

} // namespace platform
