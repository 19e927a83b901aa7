#pragma once

// Signals, waits and the millisecond clock the serial threads and the
// exchange engine build on. Locks are std::recursive_mutex, used directly.

#include <atomic>
#include <cstdint>
#include <initializer_list>

namespace platform {

constexpr std::uint32_t Infinite = 0xFFFFFFFFu;
constexpr int WaitTimeout = -1;

// An event in the Windows sense. An auto-reset event releases exactly one
// waiter per Set and clears itself; a manual-reset event stays set, releasing
// every waiter, until Reset. Backed by an eventfd so that a device wait can
// poll() it together with the device.
class Event {
public:
    enum class Kind { AutoReset, ManualReset };

    explicit Event(Kind kind, bool initiallySet = false);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // True when the event was signalled within timeoutMs; an auto-reset
    // event is consumed by the successful wait.
    bool Wait(std::uint32_t timeoutMs = Infinite);

    // Readable while the event is set, and after a TryTake until the next
    // PrepareToPoll; for poll() together with other descriptors, followed
    // by TryConsume.
    int Descriptor() const { return fd_; }
    // After poll() reported Descriptor() readable: takes the signal (auto-reset)
    // or confirms it (manual-reset). False when another waiter took it first.
    bool TryConsume();
    // Without a system call: takes the signal (auto-reset) or confirms it
    // (manual-reset) when the event is set. The write that woke the
    // descriptor stays there until PrepareToPoll.
    bool TryTake();
    // Before a poll of Descriptor(): takes out what TryTake left behind, so
    // that the poll does not wake for a signal already taken. The caller
    // tries TryTake again afterwards: a Set may have written just before.
    void PrepareToPoll();

    Kind GetKind() const { return kind_; }

private:
    int fd_ = -1;
    Kind kind_;
    // Whether the event is set; the descriptor only wakes pollers. A Set
    // that finds it set already writes nothing, which spares a system call
    // per Set while nobody has consumed the last one. Exchanged with
    // acquire-release, so that what the setter wrote before Set is visible
    // to the released thread in the language's memory model too.
    std::atomic<bool> set_{false};
    // TryTake took a signal whose write is still in the descriptor.
    std::atomic<bool> stale_{false};
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
