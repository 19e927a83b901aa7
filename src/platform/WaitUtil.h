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

// Readable while the calling thread has a message pending (MessageWindow.cpp).
int PendingMessageDescriptor();

} // namespace platform::detail
