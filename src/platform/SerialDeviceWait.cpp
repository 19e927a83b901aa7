#include "SerialDeviceImpl.h"

#include "WaitUtil.h"

#include <algorithm>
#include <cerrno>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <utility>

namespace platform {

using detail::Fail;
using detail::IsGoneErrno;

namespace {

constexpr std::uint32_t LineEvents =
    EvCts | EvDsr | EvRlsd | EvBreak | EvErr | EvRing | EvRingTrailingEdge;
constexpr std::uint32_t KnownEvents = 0x3FFF;

} // namespace

bool SerialDevice::Impl::SetMask(std::uint32_t mask)
{
    if ((mask & ~KnownEvents) != 0)
        return Fail(ErrorInvalidParameter);
    const SharedLockGuard use(useMutex_);
    if (fd_ < 0)
        return Fail(ErrorInvalidHandle);
    {
        const LockGuard state(stateMutex_);
        mask_ = mask;
        ++maskGeneration_;
        // A new mask starts a new history of line changes.
        if (!gone_)
            TakeSnapshot(waitBase_);
    }
    detail::SignalFd(wakeFd_);
    return true;
}

std::uint32_t SerialDevice::Impl::GetMask() const
{
    const LockGuard state(stateMutex_);
    return mask_;
}

bool SerialDevice::Impl::TakeSnapshot(Snapshot& s)
{
    // A part that cannot be read now keeps its old values: no change seen.
    if (hasModem_) {
        int bits = 0;
        if (Ioctl(TIOCMGET, &bits) == 0)
            s.modem =
                ((bits & TIOCM_CTS) != 0 ? MsCtsOn : 0) | ((bits & TIOCM_DSR) != 0 ? MsDsrOn : 0) |
                ((bits & TIOCM_RNG) != 0 ? MsRingOn : 0) | ((bits & TIOCM_CAR) != 0 ? MsRlsdOn : 0);
        else if (IsGoneErrno(errno))
            return false;
    }
    if (hasCounters_) {
        serial_icounter_struct c{};
        if (Ioctl(TIOCGICOUNT, &c) == 0) {
            s.cts = static_cast<std::uint32_t>(c.cts);
            s.dsr = static_cast<std::uint32_t>(c.dsr);
            s.rng = static_cast<std::uint32_t>(c.rng);
            s.dcd = static_cast<std::uint32_t>(c.dcd);
            s.frame = static_cast<std::uint32_t>(c.frame);
            s.overrun = static_cast<std::uint32_t>(c.overrun);
            s.parity = static_cast<std::uint32_t>(c.parity);
            s.brk = static_cast<std::uint32_t>(c.brk);
            s.bufOverrun = static_cast<std::uint32_t>(c.buf_overrun);
        } else if (IsGoneErrno(errno)) {
            return false;
        }
    }
    return true;
}

std::uint32_t SerialDevice::Impl::CollectEvents(bool& gone, bool drained)
{
    gone = false;
    std::uint32_t events = 0;
    if (queueCapacity_ > 0) {
        // The wait moves every arrival into the queue and says so.
        if (std::exchange(queueNews_, false))
            events |= EvRxChar;
    } else {
        int held = 0;
        if (!drained && Ioctl(FIONREAD, &held) != 0) {
            gone = IsGoneErrno(errno);
            return 0;
        }
        const auto now = static_cast<std::size_t>(held);
        if (now > rxSeen_)
            events |= EvRxChar;
        rxSeen_ = now;
    }

    if (!LineChanges(events)) {
        gone = true;
        return 0;
    }
    return events & mask_;
}

bool SerialDevice::Impl::LineChanges(std::uint32_t& events)
{
    if ((mask_ & LineEvents) == 0 || !(hasModem_ || hasCounters_))
        return true;
    Snapshot now = waitBase_;
    if (!TakeSnapshot(now))
        return false;
    const Snapshot& was = waitBase_;
    // Counters catch pulses shorter than the time between two looks; levels
    // cover drivers that do not count.
    if (now.cts != was.cts || ((now.modem ^ was.modem) & MsCtsOn) != 0)
        events |= EvCts;
    if (now.dsr != was.dsr || ((now.modem ^ was.modem) & MsDsrOn) != 0)
        events |= EvDsr;
    if (now.dcd != was.dcd || ((now.modem ^ was.modem) & MsRlsdOn) != 0)
        events |= EvRlsd;
    if (now.rng != was.rng || (now.modem & ~was.modem & MsRingOn) != 0)
        events |= EvRing;
    if ((was.modem & ~now.modem & MsRingOn) != 0)
        events |= EvRingTrailingEdge;
    if (now.brk != was.brk)
        events |= EvBreak;
    if (now.frame != was.frame || now.overrun != was.overrun || now.parity != was.parity)
        events |= EvErr;
    waitBase_ = now;
    return true;
}

bool SerialDevice::Impl::CheckLines(std::uint32_t& events)
{
    events = 0;
    const SharedLockGuard use(useMutex_);
    if (!Ready())
        return false;
    const LockGuard state(stateMutex_);
    if (!LineChanges(events))
        return Gone();
    events &= mask_;
    return true;
}

bool SerialDevice::Impl::WaitEvent(std::uint32_t& events)
{
    events = 0;
    const SharedLockGuard use(useMutex_);
    if (!Ready())
        return false;
    if (waiting_.exchange(true))
        return Fail(ErrorInvalidParameter);
    struct WaitingFlag {
        std::atomic<bool>& flag;
        ~WaitingFlag() { flag = false; }
    } waitingFlag{waiting_};

    std::uint64_t generation = 0;
    if (!WaitGeneration(generation))
        return Fail(ErrorInvalidParameter); // nothing could ever end it
    // Bytes may be waiting already, or come in while the queue was full.
    Wake wake{true, false};
    std::size_t gathered = 0; // moved into the queue by this wait
    for (;;) {
        if (closing_)
            return Fail(ErrorOperationAborted);
        std::size_t moved = 0;
        switch (LookOnce(wake, generation, events, moved)) {
        case Look::Ends:
            gathered += moved;
            // Only data, and this look brought some: the rest of what the
            // reader needs may be on the line still.
            if (events == EvRxChar && moved > 0 && GatherRest(gathered, generation)) {
                const LockGuard state(stateMutex_);
                queueNews_ = true; // announced once the rest is in
                events = 0;        // a new mask met meanwhile ends the wait with none
                wake = {true, true};
                continue;
            }
            return true;
        case Look::Gone:
            return Fail(ErrorDeviceNotConnected);
        case Look::KeepWaiting:
            break;
        }
        if (!AwaitWake(wake))
            return false;
    }
}

bool SerialDevice::Impl::WaitGeneration(std::uint64_t& generation)
{
    const LockGuard state(stateMutex_);
    generation = maskGeneration_;
    return mask_ != 0;
}

SerialDevice::Impl::Look SerialDevice::Impl::LookOnce(const Wake& wake, std::uint64_t generation,
                                                      std::uint32_t& events, std::size_t& moved)
{
    bool drained = false;
    moved = 0;
    if (wake.mayRead) {
        const LockGuard fill(fillMutex_);
        moved = FillQueue(wake.readable, drained);
    }
    const LockGuard state(stateMutex_);
    // What the queue took is news to the reader, which does not read the
    // driver itself while a wait fills the queue.
    queueNews_ = queueNews_ || moved > 0;
    if (maskGeneration_ != generation)
        return Look::Ends; // the mask changed: the wait ends with no event
    bool gone = gone_;
    if (!gone)
        events = CollectEvents(gone, wake.mayRead && drained);
    if (gone) {
        gone_ = true;
        events = 0;
        return Look::Gone;
    }
    return events != 0 ? Look::Ends : Look::KeepWaiting;
}

bool SerialDevice::Impl::GatherRest(std::size_t gathered, std::uint64_t generation)
{
    const std::uint32_t batch = receiveBatch_.load();
    if (gathered >= batch)
        return false;
    std::uint32_t baud = 0;
    std::uint32_t bits = 0;
    {
        const LockGuard state(stateMutex_);
        baud = kept_.baudRate;
        // Start bit, data bits, parity, stop bits (1.5 counted as 2).
        bits = 1u + kept_.byteSize + (kept_.parity != NoParity ? 1u : 0u) +
               (kept_.stopBits == OneStopBit ? 1u : 2u);
    }
    if (baud == 0)
        return false;
    // The missing bytes' line time, one byte more for the gap a UART or
    // a scheduler leaves, and a millisecond for the timer's own lateness.
    const std::uint64_t micros =
        (static_cast<std::uint64_t>(batch - gathered) + 1) * bits * 1000000u / baud;
    constexpr std::uint64_t LongestGatherMs = 1000;
    const int ms = static_cast<int>(std::min<std::uint64_t>(micros / 1000 + 2, LongestGatherMs));
    // The device's own descriptor is not watched: each byte would wake the
    // sleep. A new mask or a close ends it; any other wake (room made in the
    // queue, one left from before the wait) only has to be taken.
    const detail::Deadline deadline(static_cast<std::uint32_t>(ms));
    for (;;) {
        pollfd wake{wakeFd_, POLLIN, 0};
        const int ready = detail::PollRetry(&wake, 1, deadline.RemainingMs());
        if (ready <= 0)
            return ready == 0;
        detail::DrainFd(wakeFd_);
        const LockGuard state(stateMutex_);
        if (closing_ || maskGeneration_ != generation)
            return true; // the next look ends the wait
    }
}

bool SerialDevice::Impl::AwaitWake(Wake& wake)
{
    // No time-out: the kernel has no descriptor for line changes, and
    // looking at them now and then is CheckLines', on the caller's own
    // round, so that an idle port wakes nothing here.
    epoll_event ready[2];
    const int n = ::epoll_wait(epollFd_, ready, 2, -1);
    if (n < 0 && errno != EINTR)
        return FailErrno(errno);
    wake = {};
    for (int i = 0; i < n; ++i) {
        if (ready[i].data.fd == wakeFd_) {
            detail::DrainFd(wakeFd_);
            wake.mayRead = true; // also when a read made room in the queue
        } else if ((ready[i].events & (EPOLLHUP | EPOLLERR)) != 0) {
            // Hung up: pseudo-terminal master closed, adapter unplugged.
            return Gone();
        } else {
            wake.mayRead = wake.readable = true;
        }
    }
    return true;
}

} // namespace platform
