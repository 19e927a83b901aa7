#include "SerialDeviceImpl.h"

#include "WaitUtil.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <new>
#include <optional>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

using detail::Fail;
using detail::IsGoneErrno;

namespace {

// The receive queue takes what a program asks for, up to this.
constexpr std::uint32_t MaxQueueBytes = 1u << 20;

} // namespace

bool SerialDevice::Impl::SetupQueues(std::uint32_t inSize, std::uint32_t outSize,
                                     std::uint32_t queueBytes)
{
    const SharedLockGuard use(useMutex_);
    if (!Ready())
        return false;
    const LockGuard fill(fillMutex_); // no read into the old queue is under way
    const LockGuard state(stateMutex_);
    // Bytes already queued stay, in order, whatever the new size.
    const std::uint32_t count = Queue().Held();
    const std::uint32_t capacity =
        std::max(std::min(std::max(inSize, queueBytes), MaxQueueBytes), count);
    if (capacity != queueCapacity_) {
        std::unique_ptr<std::uint8_t[]> bigger;
        if (capacity > 0) {
            bigger.reset(new (std::nothrow) std::uint8_t[capacity]);
            if (!bigger)
                return Fail(ErrorNotEnoughMemory);
        }
        TakeFromQueue(bigger.get(), count);
        queue_ = std::move(bigger);
        queueCapacity_ = capacity;
        Queue().Clear();
        Queue().Produced(count);
        queueBlocked_ = false;
        fillPending_ = true; // what the driver took meanwhile is not announced again
        if (capacity > count)
            detail::SignalFd(wakeFd_); // the wait may fill the new room
    }
    inQueueSize_ = inSize;
    outQueueSize_ = outSize;
    UpdateThrottle();
    return true;
}

void SerialDevice::Impl::UpdateThrottle()
{
    const std::uint32_t flags = kept_.flags;
    const bool rts = (flags & DcbRtsControlMask) == RtsControlHandshake;
    const bool dtr = (flags & DcbDtrControlMask) == DtrControlHandshake;
    const bool xoff = (flags & DcbInX) != 0;
    bool hold = false;
    if ((rts || dtr || xoff) && queueCapacity_ > 0) {
        // Held back once fewer than the XOFF limit's bytes of InSize are
        // free, let go when no more than the XON limit's are held.
        const std::size_t full = inQueueSize_ > kept_.xoffLim ? inQueueSize_ - kept_.xoffLim : 0;
        const std::uint32_t held = Queue().Held();
        hold = throttled_ ? held > kept_.xonLim : held > full;
    }
    if (hold == throttled_)
        return;
    throttled_ = hold;
    int lines = (rts ? TIOCM_RTS : 0) | (dtr ? TIOCM_DTR : 0);
    if (lines != 0 && hasModem_)
        Ioctl(hold ? TIOCMBIC : TIOCMBIS, &lines);
    if (xoff)
        ::tcflow(fd_, hold ? TCIOFF : TCION);
}

std::size_t SerialDevice::Impl::DriverHolds()
{
    int held = 0;
    if (Ioctl(FIONREAD, &held) != 0) {
        if (IsGoneErrno(errno))
            gone_ = true;
        return 0;
    }
    return held > 0 ? static_cast<std::size_t>(held) : 0;
}

std::size_t SerialDevice::Impl::FillQueue(bool readable, bool& drained)
{
    drained = false;
    if (!HasQueue())
        return 0; // reads go to the driver
    // Without word from epoll only bytes a full queue left behind can be
    // there: every later arrival is reported by epoll.
    if (!readable && !fillPending_)
        return 0;
    fillPending_ = false;
    // Without word from epoll the driver is asked, once there is room: a
    // terminal read that finds nothing waits for the kernel's buffer work.
    std::optional<std::size_t> held;
    if (readable)
        held = SIZE_MAX;
    std::size_t moved = 0;
    for (;;) {
        std::uint8_t* end = nullptr;
        std::size_t free = 0;
        if (!QueueRoom(end, free))
            return moved;
        if (!held)
            held = DriverHolds();
        if (*held == 0) {
            drained = true;
            return moved;
        }
        const std::size_t room = std::min(*held, free);
        std::size_t got = 0;
        if (!ReadBehindQueue(end, room, got, drained))
            return moved;
        moved += got;
        *held -= std::min(*held, got);
        // A short read took all the driver had. Bytes that came after a
        // count show as a new arrival of their own.
        if (got < room) {
            drained = true;
            return moved;
        }
    }
}

bool SerialDevice::Impl::HasQueue() const
{
    const LockGuard state(stateMutex_);
    return queueCapacity_ > 0;
}

bool SerialDevice::Impl::QueueRoom(std::uint8_t*& end, std::size_t& free)
{
    const LockGuard state(stateMutex_);
    Ring queue = Queue();
    if (queue.Free() == 0) {
        // The driver may hold more, and no new arrival need come to say
        // so: a read that makes room wakes the wait.
        queueBlocked_ = true;
        fillPending_ = true;
        return false;
    }
    if (queue.Empty())
        queue.Clear(); // nobody reads an empty queue: one read fills it whole
    end = queue.AtHead();
    free = queue.FreeRun();
    return true;
}

bool SerialDevice::Impl::ReadBehindQueue(std::uint8_t* end, std::size_t room, std::size_t& got,
                                         bool& drained)
{
    // Outside stateMutex_: readers take from the queue's front meanwhile,
    // and nothing else writes behind its end while fillMutex_ is held.
    ssize_t n = 0;
    do {
        n = ::read(fd_, end, room);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        if (n < 0 && IsGoneErrno(errno))
            gone_ = true;
        drained = n == 0 || errno == EAGAIN;
        return false;
    }
    got = static_cast<std::size_t>(n);
    NoteArrival();
    const LockGuard state(stateMutex_);
    Ring queue = Queue();
    queue.Produced(static_cast<std::uint32_t>(got));
    queueBlocked_ = queue.Free() == 0;
    // Held back as the count passes the limit, not after the whole fill: a
    // reader may see the count at once.
    UpdateThrottle();
    return true;
}

void SerialDevice::Impl::NoteArrival()
{
    lastArrival_.store(std::chrono::steady_clock::now().time_since_epoch().count());
}

std::size_t SerialDevice::Impl::TakeFromQueue(std::uint8_t* data, std::size_t count)
{
    Ring queue = Queue();
    const std::uint32_t take =
        static_cast<std::uint32_t>(std::min<std::size_t>(count, queue.Held()));
    queue.Peek(0, data, take);
    // The head stays where it is even when empty: a fill may be writing
    // behind it.
    queue.Consumed(take);
    return take;
}

void SerialDevice::Impl::QueueSizes(std::uint32_t& inSize, std::uint32_t& outSize) const
{
    const LockGuard state(stateMutex_);
    inSize = inQueueSize_;
    outSize = outQueueSize_;
}

} // namespace platform
