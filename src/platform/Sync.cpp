#include "platform/Sync.h"

#include "WaitUtil.h"
#include "platform/MessageWindow.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <memory>
#include <new>
#include <optional>
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

Waiter::Waiter() : fd_(NewEventFd()) {}

Waiter::~Waiter()
{
    ::close(fd_);
}

void Waiter::Signal()
{
    if (!signalled_.exchange(true, std::memory_order_acq_rel))
        WriteOne(fd_);
}

void Waiter::Clear()
{
    if (signalled_.load(std::memory_order_acquire))
        Woken();
}

void Waiter::Woken()
{
    // Emptied first, then cleared. The other way round, the read could take
    // the write of a Signal that came in between and leave its flag set over
    // an empty descriptor: every later Signal would skip its write, and the
    // owner sleep through them. This way a Signal in between is read by the
    // exchange (seen in what the owner looks at next) or writes anew; a
    // write that lands late only wakes the owner once for nothing.
    Drain(fd_);
    signalled_.exchange(false, std::memory_order_acq_rel);
}

namespace {

// The thread's waiter. waiterGone is trivially destructible, so that it can
// still be read once the holder's destructor has run.
thread_local bool waiterGone = false;

struct WaiterHolder {
    std::shared_ptr<Waiter> waiter;
    ~WaiterHolder() { waiterGone = true; }
};

thread_local WaiterHolder threadWaiter;

} // namespace

std::shared_ptr<Waiter> ThreadWaiter()
{
    if (waiterGone)
        return std::make_shared<Waiter>();
    if (!threadWaiter.waiter)
        threadWaiter.waiter = std::make_shared<Waiter>();
    return threadWaiter.waiter;
}

void EventAccess::Add(Event& event, const std::shared_ptr<Waiter>& waiter)
{
    const LockGuard lock(event.mutex_);
    event.waiters_.push_back(waiter);
}

void EventAccess::Remove(Event& event, const Waiter& waiter)
{
    const LockGuard lock(event.mutex_);
    auto& list = event.waiters_;
    for (auto it = list.begin(); it != list.end(); ++it)
        if (it->get() == &waiter) {
            *it = std::move(list.back());
            list.pop_back();
            return;
        }
}

EventPoll::EventPoll(Event& event) : event_(event), waiter_(ThreadWaiter())
{
    waiter_->Clear();
    EventAccess::Add(event_, waiter_);
    // A Set from before has no one to signal: the poll is woken here.
    if (EventAccess::IsSet(event_))
        waiter_->Signal();
}

EventPoll::~EventPoll()
{
    EventAccess::Remove(event_, *waiter_);
}

bool EventPoll::Take()
{
    waiter_->Woken();
    return EventAccess::Take(event_);
}

} // namespace detail

Event::Event(Kind kind, bool initiallySet) : kind_(kind), set_(initiallySet) {}

void Event::Set()
{
    // Only the Set that finds the event clear signals: while it stays set,
    // the waiters signalled then have yet to look, and a waiter that comes
    // later sees the flag.
    if (set_.exchange(true, std::memory_order_acq_rel))
        return;
    // Signalled once the lock is let go: a woken thread removes itself at
    // once and would find it held for the length of the write. The copies
    // keep the waiters open meanwhile; a crowd beyond them is signalled
    // under the lock, to spare Set an allocation.
    std::array<std::shared_ptr<detail::Waiter>, 4> woken;
    {
        const LockGuard lock(mutex_);
        std::size_t n = 0;
        for (const auto& w : waiters_) {
            if (n < woken.size())
                woken[n++] = w;
            else
                w->Signal();
        }
    }
    for (const auto& w : woken)
        if (w)
            w->Signal();
}

void Event::Reset()
{
    set_.store(false, std::memory_order_release);
}

bool Event::Take()
{
    if (!set_.load(std::memory_order_acquire))
        return false;
    if (kind_ == Kind::ManualReset)
        return true;
    return set_.exchange(false, std::memory_order_acq_rel);
}

bool Event::Wait(std::uint32_t timeoutMs)
{
    return WaitAny({this}, timeoutMs) == 0;
}

namespace {

// The lowest index of a set event, taken; WaitTimeout when none is set.
// Callers rank their events by order.
int TakeFirst(std::initializer_list<Event*> events)
{
    int index = 0;
    for (Event* e : events) {
        if (detail::EventAccess::Take(*e))
            return index;
        ++index;
    }
    return WaitTimeout;
}

// Keeps a waiter added to each of the events for the length of a wait.
class Registration {
public:
    Registration(std::initializer_list<Event*> events,
                 const std::shared_ptr<detail::Waiter>& waiter)
        : events_(events), waiter_(waiter)
    {
        try {
            for (Event* e : events_) {
                detail::EventAccess::Add(*e, waiter_);
                ++added_;
            }
        } catch (...) {
            RemoveAll();
            throw;
        }
    }
    ~Registration() { RemoveAll(); }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

private:
    void RemoveAll()
    {
        Event* const* e = events_.begin();
        for (; added_ > 0; --added_, ++e)
            detail::EventAccess::Remove(**e, *waiter_);
    }

    std::initializer_list<Event*> events_;
    const std::shared_ptr<detail::Waiter>& waiter_;
    std::size_t added_ = 0;
};

int WaitImpl(std::initializer_list<Event*> events, std::uint32_t timeoutMs, bool messages)
{
    // An event that is set already is taken without a system call; a thread
    // that passes again and again while signals keep coming never polls.
    if (const int taken = TakeFirst(events); taken != WaitTimeout)
        return taken;
    const int messageIndex = static_cast<int>(events.size());
    if (timeoutMs == 0)
        return messages && detail::MessagesPending() ? messageIndex : WaitTimeout;

    const detail::Deadline deadline(timeoutMs);
    const std::shared_ptr<detail::Waiter> waiter = detail::ThreadWaiter();
    const Registration registration(events, waiter);
    std::optional<detail::MessageWatch> watch;
    if (messages)
        watch.emplace(waiter, false);
    const auto look = [&] {
        if (const int taken = TakeFirst(events); taken != WaitTimeout)
            return taken;
        return messages && detail::MessagesPending() ? messageIndex : WaitTimeout;
    };
    // Cleared before looking: a Set or a message from here on wakes the poll.
    waiter->Clear();
    for (;;) {
        if (const int found = look(); found != WaitTimeout)
            return found;
        const int left = deadline.RemainingMs();
        if (left == 0)
            return WaitTimeout;
        pollfd p{waiter->Descriptor(), POLLIN, 0};
        const int ready = detail::PollRetry(&p, 1, left);
        if (ready < 0)
            throw std::system_error(errno, std::generic_category(), "poll");
        if (ready > 0) {
            // A wake is mostly for what the thread waits for, taken here
            // without the read, which the next wait's Clear makes. Emptied
            // only when it is not there (a waiter beaten to a signal), then
            // looked at again.
            if (const int found = look(); found != WaitTimeout)
                return found;
            waiter->Woken();
        }
    }
}

} // namespace

int WaitAny(std::initializer_list<Event*> events, std::uint32_t timeoutMs)
{
    return WaitImpl(events, timeoutMs, false);
}

int WaitAnyOrMessage(std::initializer_list<Event*> events, std::uint32_t timeoutMs)
{
    return WaitImpl(events, timeoutMs, true);
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
