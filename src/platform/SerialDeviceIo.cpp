#include "SerialDeviceImpl.h"

#include "WaitUtil.h"
#include "platform/Sync.h"

#include <algorithm>
#include <cerrno>
#include <linux/serial.h>
#include <optional>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace platform {

using detail::Fail;
using detail::IsGoneErrno;

namespace {

// Errors of a modem ioctl that mean "this device has no such lines".
bool IsUnsupportedErrno(int error)
{
    return error == ENOTTY || error == EINVAL;
}

} // namespace

bool SerialDevice::Impl::GetState(DeviceControl& dcb)
{
    const SharedLockGuard use(useMutex_);
    if (!Ready())
        return false;
    const LockGuard state(stateMutex_);
    DeviceControl now;
    if (const int e = detail::ReadLine(Driver(), kept_, lineless_, now); e != 0)
        return FailErrno(e);
    dcb = now;
    return true;
}

bool SerialDevice::Impl::SetState(const DeviceControl& dcb)
{
    // Linux has no output flow on DSR: refused rather than pretended.
    if (dcb.baudRate == 0 || dcb.byteSize < 5 || dcb.byteSize > 8 || dcb.parity > SpaceParity ||
        dcb.stopBits > TwoStopBits || (dcb.flags & DcbOutxDsrFlow) != 0)
        return Fail(ErrorInvalidParameter);
    const SharedLockGuard use(useMutex_);
    if (!Ready())
        return false;
    const LockGuard state(stateMutex_);

    // RTS toggle is the kernel's RS-485 mode: check for it before changing anything.
    const bool toggle = (dcb.flags & DcbRtsControlMask) == RtsControlToggle;
    serial_rs485 rs485{};
    const bool hasRs485 = Ioctl(TIOCGRS485, &rs485) == 0;
    if (toggle && !hasRs485)
        return Fail(ErrorInvalidParameter);

    if (const int e = detail::WriteLine(Driver(), dcb); e != 0)
        return FailErrno(e);
    if (hasRs485 && toggle != rs485On_) {
        if (toggle) {
            // RTS up while sending, down once the last bit has left.
            rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
            rs485.flags &= ~static_cast<decltype(rs485.flags)>(SER_RS485_RTS_AFTER_SEND);
        } else {
            rs485.flags &= ~static_cast<decltype(rs485.flags)>(SER_RS485_ENABLED);
        }
        if (Ioctl(TIOCSRS485, &rs485) != 0)
            return FailErrno(errno);
        rs485On_ = toggle;
    }
    kept_ = dcb;
    // A handshake line starts free; a flow control turned off lets go.
    const bool wasThrottled = std::exchange(throttled_, false);
    if (!ApplyLines(dcb))
        return false;
    if (wasThrottled && (dcb.flags & DcbInX) != 0)
        ::tcflow(fd_, TCION);
    UpdateThrottle();
    return true;
}

bool SerialDevice::Impl::ApplyLines(const DeviceControl& dcb)
{
    if (!hasModem_)
        return true;
    int set = 0;
    int clear = 0;
    // A DTR handshake is ours (UpdateThrottle): Linux has none.
    if ((dcb.flags & DcbDtrControlMask) == DtrControlDisable)
        clear |= TIOCM_DTR;
    else
        set |= TIOCM_DTR;
    switch (dcb.flags & DcbRtsControlMask) {
    case RtsControlDisable:
        clear |= TIOCM_RTS;
        break;
    case RtsControlEnable:
    case RtsControlHandshake: // up until the receive side is full
        set |= TIOCM_RTS;
        break;
    default:
        break; // RS-485: the kernel drives RTS
    }
    if ((set != 0 && Ioctl(TIOCMBIS, &set) != 0) || (clear != 0 && Ioctl(TIOCMBIC, &clear) != 0))
        return FailErrno(errno);
    return true;
}

bool SerialDevice::Impl::Rs485Supported()
{
    const SharedLockGuard use(useMutex_);
    if (!Ready())
        return false;
    serial_rs485 rs485{};
    if (Ioctl(TIOCGRS485, &rs485) != 0)
        return Fail(ErrorBadCommand);
    return true;
}

bool SerialDevice::Impl::Read(void* data, std::size_t count, std::size_t& got)
{
    got = 0;
    const SharedLockGuard use(useMutex_);
    std::uint32_t error = 0;
    if (!Usable(error) && !(error == ErrorDeviceNotConnected && fd_ >= 0))
        return Fail(error);
    if (count == 0)
        return true;
    auto* bytes = static_cast<std::uint8_t*>(data);
    bool madeRoom = false;
    bool done = false;
    // Only a reader that may go to the driver itself keeps the wait's fill
    // out meanwhile, so that the queue's bytes come before the driver's.
    if (!waiting_) {
        const LockGuard fill(fillMutex_);
        done = ReadLocked(bytes, count, got, true, madeRoom);
    } else {
        done = ReadLocked(bytes, count, got, false, madeRoom);
    }
    // The wait takes up filling the queue again; woken after the locks are
    // let go, which it needs first.
    if (madeRoom)
        detail::SignalFd(wakeFd_);
    return done;
}

bool SerialDevice::Impl::ReadLocked(std::uint8_t* bytes, std::size_t count, std::size_t& got,
                                    bool mayReadDriver, bool& madeRoom)
{
    const LockGuard state(stateMutex_);
    const bool wasBlocked = queueBlocked_;
    got = TakeFromQueue(bytes, count);
    if (got > 0)
        UpdateThrottle();
    madeRoom = got > 0 && wasBlocked;
    if (madeRoom)
        queueBlocked_ = false;
    // While a wait fills the queue only the wait reads the driver: a
    // terminal read wakes the kernel's buffer work, which would preempt the
    // reader on its way to the application.
    const bool direct = queueCapacity_ == 0 || (mayReadDriver && !waiting_);
    const std::size_t held = got < count && !gone_ && direct ? DriverHolds() : 0;
    if (held > 0) {
        const ssize_t n = ::read(fd_, bytes + got, std::min(count - got, held));
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            if (got == 0)
                return FailErrno(errno);
            if (IsGoneErrno(errno))
                gone_ = true;
        } else if (n > 0) {
            got += static_cast<std::size_t>(n);
            NoteArrival();
        }
    } else if (got == 0 && gone_) {
        return Fail(ErrorDeviceNotConnected);
    }
    rxSeen_ -= std::min(rxSeen_, got);
    return true;
}

SerialDevice::WriteOutcome SerialDevice::Impl::Write(const void* data, std::size_t count,
                                                     std::size_t& written, Event* abandon)
{
    written = 0;
    const SharedLockGuard use(useMutex_);
    std::uint32_t error = 0;
    if (!Usable(error)) {
        SetLastError(error);
        return WriteOutcome::Failed;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    const std::uint64_t aborts = writeAborts_.load();
    // The abandon event joins the poll once the driver is full.
    std::optional<detail::EventPoll> abandonPoll;
    const auto abandoned = [] {
        SetLastError(ErrorOperationAborted);
        return WriteOutcome::Abandoned;
    };
    while (written < count) {
        if (closing_ || writeAborts_.load() != aborts)
            return abandoned();
        if (WriteStep(bytes, count, written))
            continue;
        if (errno != EAGAIN) {
            FailErrno(errno);
            return WriteOutcome::Failed;
        }
        // The driver is full: wait for room, a flush or a close.
        if (abandon != nullptr && !abandonPoll)
            abandonPoll.emplace(*abandon);
        pollfd fds[3] = {{fd_, POLLOUT, 0},
                         {abortFd_, POLLIN, 0},
                         {abandonPoll ? abandonPoll->Descriptor() : -1, POLLIN, 0}};
        if (detail::PollRetry(fds, 3, -1) < 0) {
            FailErrno(errno);
            return WriteOutcome::Failed;
        }
        if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
            gone_ = true;
            SetLastError(ErrorDeviceNotConnected);
            return WriteOutcome::Failed;
        }
        if ((fds[2].revents & POLLIN) != 0 && abandonPoll->Take())
            return abandoned();
        if ((fds[1].revents & POLLIN) != 0 && !closing_ && writeAborts_.load() == aborts)
            detail::DrainFd(abortFd_); // an abort meant for an earlier write
    }
    return WriteOutcome::Done;
}

bool SerialDevice::Impl::ClearErrors(std::uint32_t& errors, CommStatus* status, bool countOutput)
{
    errors = 0;
    const SharedLockGuard use(useMutex_);
    std::uint32_t error = 0;
    if (!Usable(error)) {
        // What came before the device went away is still there to be read.
        if (error == ErrorDeviceNotConnected && fd_ >= 0 && status != nullptr) {
            const LockGuard state(stateMutex_);
            if (const std::uint32_t held = Queue().Held(); held > 0) {
                *status = CommStatus{held, 0};
                return true;
            }
        }
        return Fail(error);
    }
    const LockGuard state(stateMutex_);
    // While a wait fills the queue, the driver's bytes are on their way into
    // it and no read can have them yet: the queue is what is waiting.
    int in = 0;
    if ((queueCapacity_ == 0 || !waiting_) && Ioctl(FIONREAD, &in) != 0)
        return FailErrno(errno);
    int out = 0;
    if (status != nullptr && countOutput && Ioctl(TIOCOUTQ, &out) != 0)
        out = 0;
    if (hasCounters_) {
        Snapshot now = errorBase_;
        if (!TakeSnapshot(now))
            return Gone();
        const Snapshot& was = errorBase_;
        if (now.bufOverrun != was.bufOverrun)
            errors |= CeRxOver;
        if (now.overrun != was.overrun)
            errors |= CeOverrun;
        if (now.parity != was.parity)
            errors |= CeRxParity;
        if (now.frame != was.frame)
            errors |= CeFrame;
        if (now.brk != was.brk)
            errors |= CeBreak;
        errorBase_ = now;
    }
    if (status != nullptr) {
        status->inQueue = static_cast<std::uint32_t>(static_cast<std::size_t>(in) + Queue().Held());
        status->outQueue = static_cast<std::uint32_t>(out);
    }
    return true;
}

bool SerialDevice::Impl::GetModemStatus(std::uint32_t& status)
{
    status = 0;
    const SharedLockGuard use(useMutex_);
    if (!Ready())
        return false;
    const LockGuard state(stateMutex_);
    Snapshot now = waitBase_;
    if (!TakeSnapshot(now))
        return Gone();
    status = now.modem;
    return true;
}

bool SerialDevice::Impl::Escape(std::uint32_t function)
{
    const SharedLockGuard use(useMutex_);
    if (!Ready())
        return false;
    int result = 0;
    int line = 0;
    switch (function) {
    case EscSetRts:
    case EscClrRts:
    case EscSetDtr:
    case EscClrDtr:
        if (!hasModem_)
            return true;
        line = function == EscSetRts || function == EscClrRts ? TIOCM_RTS : TIOCM_DTR;
        result = Ioctl(function == EscSetRts || function == EscSetDtr ? TIOCMBIS : TIOCMBIC, &line);
        break;
    case EscSetBreak:
        result = Ioctl(TIOCSBRK);
        break;
    case EscClrBreak:
        result = Ioctl(TIOCCBRK);
        break;
    case EscSetXoff:
        result = ::tcflow(fd_, TCOOFF);
        break;
    case EscSetXon:
        result = ::tcflow(fd_, TCOON);
        break;
    default:
        return Fail(ErrorInvalidParameter);
    }
    if (result != 0 && !IsUnsupportedErrno(errno))
        return FailErrno(errno);
    return true;
}

bool SerialDevice::Impl::Purge(std::uint32_t flags)
{
    if ((flags & ~(PurgeTxAbort | PurgeRxAbort | PurgeTxClear | PurgeRxClear)) != 0)
        return Fail(ErrorInvalidParameter);
    const SharedLockGuard use(useMutex_);
    if (!Ready())
        return false;
    if ((flags & PurgeTxAbort) != 0) {
        ++writeAborts_;
        detail::SignalFd(abortFd_);
    }
    // Reads never wait, so there is no read to abort.
    if ((flags & PurgeTxClear) != 0 && ::tcflush(fd_, TCOFLUSH) != 0)
        return FailErrno(errno);
    if ((flags & PurgeRxClear) != 0) {
        const LockGuard fill(fillMutex_);
        const LockGuard state(stateMutex_);
        Queue().Clear();
        queueNews_ = false;
        UpdateThrottle();
        if (queueBlocked_) {
            queueBlocked_ = false;
            detail::SignalFd(wakeFd_);
        }
        if (::tcflush(fd_, TCIFLUSH) != 0)
            return FailErrno(errno);
        rxSeen_ = 0;
    }
    return true;
}

bool SerialDevice::Impl::WriteNow(const void* data, std::size_t count, std::size_t& written)
{
    written = 0;
    const SharedLockGuard use(useMutex_);
    std::uint32_t error = 0;
    if (!Usable(error) || closing_)
        return false;
    const auto* bytes = static_cast<const unsigned char*>(data);
    // Stops when the driver is full or failing: Write waits for room or
    // reports the failure.
    while (written < count && WriteStep(bytes, count, written)) {
    }
    return true;
}

bool SerialDevice::Impl::WriteStep(const unsigned char* bytes, std::size_t count,
                                   std::size_t& written)
{
    ssize_t n = 0;
    do {
        n = ::write(fd_, bytes + written, count - written);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        written += static_cast<std::size_t>(n);
        return true;
    }
    if (n == 0)
        errno = EAGAIN; // took nothing: as full
    return false;
}

} // namespace platform
