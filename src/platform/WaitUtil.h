#pragma once

// Helpers shared by the waits of this library; not for use outside platform.

#include <chrono>
#include <cstdint>
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

// While one exists, Descriptor() is readable whenever the calling thread has
// a message pending, and the thread's sent-message descriptor likewise for a
// sent one (MessageWindow.cpp). Owner thread only.
class MessageWatch {
public:
    MessageWatch();
    ~MessageWatch();
    MessageWatch(const MessageWatch&) = delete;
    MessageWatch& operator=(const MessageWatch&) = delete;
    int Descriptor() const { return fd_; }

private:
    int fd_ = -1;
};

} // namespace platform::detail
