#include "platform/Sync.h"

#include "WaitUtil.h"
#include "platform/MessageWindow.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <new>
#include <sched.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

void WriteOne(int fd)
{
    const std::uint64_t one = 1;
    // EAGAIN means the counter is at its limit: the event is set already.
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

// Takes the whole counter: true when it was non-zero.
bool Drain(int fd)
{
    std::uint64_t value = 0;
    for (;;) {
        const ssize_t n = ::read(fd, &value, sizeof value);
        if (n == static_cast<ssize_t>(sizeof value))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

} // namespace

namespace detail {

Deadline::Deadline(std::uint32_t timeoutMs) : infinite_(timeoutMs == Infinite)
{
    if (!infinite_)
        end_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

int Deadline::RemainingMs() const
{
    if (infinite_)
        return -1;
    const auto left = end_ - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero())
        return 0;
    // Round up so that a wait never ends a fraction of a millisecond early.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

int PollRetry(pollfd* fds, nfds_t count, int timeoutMs)
{
    if (timeoutMs <= 0)
        for (;;) {
            const int r = ::poll(fds, count, timeoutMs);
            if (r >= 0 || errno != EINTR)
                return r;
        }
    const Deadline deadline(static_cast<std::uint32_t>(timeoutMs));
    for (;;) {
        const int r = ::poll(fds, count, deadline.RemainingMs());
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

int NewEventFd()
{
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOMEM)
            throw std::bad_alloc();
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    return fd;
}

void SignalFd(int fd)
{
    WriteOne(fd);
}
bool DrainFd(int fd)
{
    return Drain(fd);
}

} // namespace detail

Event::Event(Kind kind, bool initiallySet) : fd_(detail::NewEventFd()), kind_(kind)
{
    if (initiallySet)
        Set();
}

Event::~Event()
{
    ::close(fd_);
}

void Event::Set()
{
    if (!set_.exchange(true, std::memory_order_acq_rel))
        WriteOne(fd_);
}

void Event::Reset()
{
    // Drained first: a Set in between then counts as before the Reset, and
    // the flag is never left set over an empty descriptor.
    Drain(fd_);
    set_.store(false, std::memory_order_release);
}

bool Event::TryConsume()
{
    if (kind_ == Kind::AutoReset) {
        // A Set between the two merges into this one; a write that lands
        // after them only wakes a poller that then finds nothing.
        Drain(fd_);
        return set_.exchange(false, std::memory_order_acq_rel);
    }
    if (set_.load(std::memory_order_acquire))
        return true;
    // A write left over from a Set that a Reset overtook: taken away so that
    // pollers do not wake for it again. A Set meanwhile writes anew.
    Drain(fd_);
    if (set_.load(std::memory_order_acquire)) {
        WriteOne(fd_);
        return true;
    }
    return false;
}

bool Event::TryTake()
{
    if (!set_.load(std::memory_order_acquire))
        return false;
    if (kind_ == Kind::ManualReset)
        return true;
    if (!set_.exchange(false, std::memory_order_acq_rel))
        return false;
    stale_.store(true, std::memory_order_relaxed);
    return true;
}

void Event::PrepareToPoll()
{
    if (stale_.exchange(false, std::memory_order_relaxed))
        Drain(fd_);
}

bool Event::Wait(std::uint32_t timeoutMs)
{
    return WaitAny({this}, timeoutMs) == 0;
}

namespace {

int WaitImpl(std::initializer_list<Event*> events, std::uint32_t timeoutMs, int messageFd)
{
    // An event that is set already is taken without a system call; a thread
    // that passes again and again while signals keep coming never polls.
    const auto takeSet = [&events] {
        int index = 0;
        for (Event* e : events) {
            if (e->TryTake())
                return index;
            ++index;
        }
        return WaitTimeout;
    };
    if (const int taken = takeSet(); taken != WaitTimeout)
        return taken;
    for (Event* e : events)
        e->PrepareToPoll();
    if (const int taken = takeSet(); taken != WaitTimeout)
        return taken;

    const std::size_t n = events.size();
    std::vector<pollfd> fds;
    fds.reserve(n + 1);
    for (Event* e : events)
        fds.push_back(pollfd{e->Descriptor(), POLLIN, 0});
    if (messageFd >= 0)
        fds.push_back(pollfd{messageFd, POLLIN, 0});
    const detail::Deadline deadline(timeoutMs);
    for (;;) {
        const int ready = detail::PollRetry(fds.data(), fds.size(), deadline.RemainingMs());
        if (ready > 0) {
            // The lowest signalled index wins, as callers rank their events by order.
            std::size_t i = 0;
            for (Event* e : events) {
                if ((fds[i].revents & POLLIN) != 0 && e->TryConsume())
                    return static_cast<int>(i);
                ++i;
            }
            if (messageFd >= 0 && (fds[n].revents & POLLIN) != 0)
                return static_cast<int>(n);
            // Another waiter took the signal first: wait on.
        } else if (ready < 0) {
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        if (deadline.Expired())
            return WaitTimeout;
    }
}

} // namespace

int WaitAny(std::initializer_list<Event*> events, std::uint32_t timeoutMs)
{
    return WaitImpl(events, timeoutMs, -1);
}

int WaitAnyOrMessage(std::initializer_list<Event*> events, std::uint32_t timeoutMs)
{
    const detail::MessageWatch watch;
    return WaitImpl(events, timeoutMs, watch.Descriptor());
}

void Sleep(std::uint32_t ms)
{
    if (ms == 0) {
        ::sched_yield();
        return;
    }
    timespec until{};
    ::clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += static_cast<time_t>(ms / 1000);
    until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_nsec -= 1000000000L;
        ++until.tv_sec;
    }
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

std::uint32_t MillisecondClock()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

} // namespace platform
