#pragma once

// Helpers shared by the waits of this library; not for use outside platform.

#include "platform/Sync.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <poll.h>

namespace platform::detail {

// A time-out turned into a fixed end, so that a wait that wakes early and
// waits again does not start its time-out anew. Infinite never expires.
class Deadline {
public:
    explicit Deadline(std::uint32_t timeoutMs);
    // Milliseconds left for poll(): -1 when infinite, 0 when over.
    int RemainingMs() const;
    bool Expired() const { return RemainingMs() == 0; }

private:
    bool infinite_;
    std::chrono::steady_clock::time_point end_{};
};

// poll() that resumes after a signal with the time that is left.
int PollRetry(pollfd* fds, nfds_t count, int timeoutMs);

// A non-blocking, close-on-exec eventfd; throws when none can be made.
int NewEventFd();
void SignalFd(int fd);
// Empties the counter; true when it was set.
bool DrainFd(int fd);

// What a blocked thread sleeps on: one eventfd per thread, made on the
// thread's first blocking wait and closed when the thread has ended and
// nothing else holds it. Whoever has news for the thread (a Set of an event
// it waits on, a message for its windows, the end of a send it made)
// signals it; the thread clears it, looks at what it waits for and polls it
// when there is nothing yet. A signal that comes after the wait has ended
// only costs the next wait's Clear a read.
class Waiter {
public:
    Waiter();
    ~Waiter();
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    // Readable from a Signal on; for poll().
    int Descriptor() const { return fd_; }
    // Any thread. Writes only the first time since the owner cleared it.
    void Signal();
    // The owner, before it looks at what it waits for: a Signal from then
    // on makes the descriptor readable. Clear as a wait begins, Woken after
    // a poll found the descriptor readable.
    void Clear();
    void Woken();

private:
    const int fd_;
    std::atomic<bool> signalled_{false};
};

// The calling thread's waiter. A thread whose own is already gone (one
// still running the destructors of its thread_local objects) gets a new one
// each time, for the wait at hand.
std::shared_ptr<Waiter> ThreadWaiter();

// An event's inside, for the waits of this library.
struct EventAccess {
    static bool Take(Event& event) { return event.Take(); }
    static bool IsSet(const Event& event) { return event.set_.load(std::memory_order_acquire); }
    // Every Set that finds the event clear signals the waiter from now on;
    // may throw std::bad_alloc.
    static void Add(Event& event, const std::shared_ptr<Waiter>& waiter) EXCLUDES(event.mutex_);
    // Undoes one Add. A Set that found the waiter before may still signal
    // it afterwards, which only wakes its next wait once for nothing.
    static void Remove(Event& event, const Waiter& waiter) EXCLUDES(event.mutex_);
};

// An event for a poll() together with other descriptors, for as long as
// this lives. Descriptor() is readable at once when the event is set
// already, and from a Set on; after the poll found it readable, Take tells
// whether the event is really there: false is a wake for something else,
// and the caller polls again. Owner thread only.
class EventPoll {
public:
    explicit EventPoll(Event& event);
    ~EventPoll();
    EventPoll(const EventPoll&) = delete;
    EventPoll& operator=(const EventPoll&) = delete;

    int Descriptor() const { return waiter_->Descriptor(); }
    // Takes the signal (auto-reset) or confirms it (manual-reset).
    bool Take();

private:
    Event& event_;
    std::shared_ptr<Waiter> waiter_;
};

// While one exists, a message queued for the calling thread's windows
// signals the waiter: any message, or with sentOnly a sent one only (what a
// blocked sender serves). Owner thread only (MessageWindow.cpp).
class MessageWatch {
public:
    MessageWatch(std::shared_ptr<Waiter> waiter, bool sentOnly);
    ~MessageWatch();
    MessageWatch(const MessageWatch&) = delete;
    MessageWatch& operator=(const MessageWatch&) = delete;

private:
    bool sentOnly_;
    std::shared_ptr<Waiter> previous_;
};

// Whether a message (sent or posted) is pending for the calling thread's windows.
bool MessagesPending();

} // namespace platform::detail
