#pragma once

// Signals, waits and the millisecond clock the serial threads and the
// exchange engine build on. Locks are std::recursive_mutex, used directly.

#include "platform/Mutex.h"

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

namespace platform {

constexpr std::uint32_t Infinite = 0xFFFFFFFFu;
constexpr int WaitTimeout = -1;

namespace detail {
class Waiter;
struct EventAccess;
} // namespace detail

// An event in the Windows sense. An auto-reset event releases exactly one
// waiter per Set and clears itself; a manual-reset event stays set, releasing
// every waiter, until Reset. An event holds no descriptor: a thread that
// blocks on it sleeps on its own (see Waiter in WaitUtil.h), which the event
// signals, so that a port's many events cost no descriptor each.
class Event {
public:
    enum class Kind { AutoReset, ManualReset };

    explicit Event(Kind kind, bool initiallySet = false);
    ~Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set() EXCLUDES(mutex_);
    void Reset();
    // True when the event was signalled within timeoutMs; an auto-reset
    // event is consumed by the successful wait.
    bool Wait(std::uint32_t timeoutMs = Infinite);

    Kind GetKind() const { return kind_; }

private:
    friend struct detail::EventAccess;

    // Without a system call: takes the signal (auto-reset) or confirms it
    // (manual-reset) when the event is set.
    bool Take();

    Kind kind_;
    // Whether the event is set. Exchanged with acquire-release, so that what
    // the setter wrote before Set is visible to the released thread.
    std::atomic<bool> set_{false};
    Mutex mutex_;
    // The threads blocked on the event; a Set that finds it clear signals
    // each. A thread adds itself before it looks at the flag, so that a Set
    // either shows in the flag or reaches it.
    std::vector<std::shared_ptr<detail::Waiter>> waiters_ GUARDED_BY(mutex_);
};

// Waits until one of the events is signalled: returns its index (consuming it
// when auto-reset), or WaitTimeout.
int WaitAny(std::initializer_list<Event*> events, std::uint32_t timeoutMs = Infinite);

// Like WaitAny, but also returns events.size() as soon as a message is pending
// for the calling thread's message windows (see MessageWindow.h), so a thread
// can keep its windows served while it waits for other threads to end.
int WaitAnyOrMessage(std::initializer_list<Event*> events, std::uint32_t timeoutMs = Infinite);

// Sleeps for ms milliseconds; 0 gives up the rest of the time slice.
void Sleep(std::uint32_t ms);

// Monotonic milliseconds, low 32 bits (wraps after about 49.7 days).
std::uint32_t MillisecondClock();

} // namespace platform
