#include "platform/SerialDevice.h"

#include "ComPortMap.h"
#include "WaitUtil.h"
#include "platform/DeviceCalls.h"
#include "platform/LastError.h"
#include "platform/PortLock.h"
#include "platform/SerialLine.h"
#include "platform/Sync.h"
#include "platform/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <linux/serial.h>
#include <new>
#include <optional>
#include <pwd.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace platform {

namespace {

constexpr std::uint32_t LineEvents =
    EvCts | EvDsr | EvRlsd | EvBreak | EvErr | EvRing | EvRingTrailingEdge;
constexpr std::uint32_t KnownEvents = 0x3FFF;
// The receive queue takes what a program asks for, up to this.
constexpr std::uint32_t MaxQueueBytes = 1u << 20;

bool Fail(std::uint32_t error)
{
    SetLastError(error);
    return false;
}

bool IsGoneErrno(int error)
{
    return error == EIO || error == ENODEV || error == ENXIO;
}

// Errors of a modem ioctl that mean "this device has no such lines".
bool IsUnsupportedErrno(int error)
{
    return error == ENOTTY || error == EINVAL;
}

bool IsPseudoTerminal(const struct stat& st)
{
    // Unix98 slaves use majors 136..143, the old BSD slaves major 3.
    const unsigned m = major(st.st_rdev);
    return (m >= 136 && m <= 143) || m == 3;
}

std::uint32_t Delta(std::uint32_t now, std::uint32_t before)
{
    return now - before;
}

// "COM3 is /dev/ttyUSB2" for a COM name, the path for a path.
std::string PortName(std::string_view name, const std::string& path)
{
    const auto number = ParseComName(name);
    if (!number)
        return path.empty() ? std::string(name) : path;
    const std::string com = "COM" + std::to_string(*number);
    return path.empty() ? com + " stands for no device: none is linked or detected"
                        : com + " is " + path;
}

// "COM3 is /dev/null, which is not a serial port" for a COM name,
// "/dev/null is not a serial port" for a path.
std::string PortIs(std::string_view name, const std::string& path, const std::string& what)
{
    return ParseComName(name) ? PortName(name, path) + ", which " + what : path + " " + what;
}

std::string HeldDetail(std::string_view name, const std::string& path,
                       const std::vector<PortHolder>& holders)
{
    const std::string who = DescribeHolders(holders);
    return PortName(name, path) + "; " + (who.empty() ? "another program" : who) + " holds it";
}

// Why an open is refused: the number, the detail, and what was found.
struct Refusal {
    Refusal(std::uint32_t error, std::string detail, OpenFinding finding, std::string holder = {},
            LockRefusal lock = {})
        : error(error), detail(std::move(detail)), finding(finding), holder(std::move(holder)),
          lock(std::move(lock))
    {
    }
    std::uint32_t error;
    std::string detail;
    OpenFinding finding;
    std::string holder;
    LockRefusal lock;
};

bool Refuse(Refusal refusal)
{
    SetLastErrorDetail(std::move(refusal.detail));
    SetLastOpenRefusal({refusal.finding, std::move(refusal.holder), std::move(refusal.lock.badFile),
                        std::move(refusal.lock.what)});
    return Fail(refusal.error);
}

Refusal Held(std::string_view name, const std::string& path, const std::vector<PortHolder>& holders)
{
    return {ErrorAccessDenied, HeldDetail(name, path, holders), OpenFinding::Held,
            DescribeHolders(holders)};
}

bool InGroup(gid_t gid)
{
    if (::getegid() == gid)
        return true;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(count, 0)));
    const int got = ::getgroups(count, groups.data());
    return std::find(groups.begin(), groups.begin() + std::max(got, 0), gid) !=
           groups.begin() + std::max(got, 0);
}

// Why this user may not open path: a serial group to join, or who owns it.
std::string PermissionDetail(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return path;
    const group* g = ::getgrgid(st.st_gid);
    const passwd* p = ::getpwuid(st.st_uid);
    const std::string groupName = g != nullptr ? g->gr_name : std::to_string(st.st_gid);
    const std::string owner = p != nullptr ? p->pw_name : std::to_string(st.st_uid);
    const bool groupMayOpen = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if ((groupName == "dialout" || groupName == "uucp") && groupMayOpen && !InGroup(st.st_gid))
        return path + " belongs to the " + groupName + " group, which you are not in: sudo " +
               "usermod -aG " + groupName + " $USER, then log in again";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return path + " is owned by " + owner + ":" + groupName + " with mode " + mode;
}

Refusal OpenError(std::string_view name, const std::string& path, int error)
{
    const std::uint32_t number = ErrorFromErrno(error, ErrnoContext::Open);
    switch (number) {
    case ErrorPermissionDenied:
        return {number,
                (ParseComName(name) ? PortName(name, path) + "; " : std::string()) +
                    PermissionDetail(path),
                OpenFinding::Other,
                {}};
    case ErrorAccessDenied: {
        struct stat st {};
        return Held(name, path,
                    ::stat(path.c_str(), &st) == 0 ? ProcessesHolding(st.st_rdev, -1)
                                                   : std::vector<PortHolder>{});
    }
    case ErrorFileNotFound:
    case ErrorPathNotFound:
        return {number, PortIs(name, path, "is not there"), OpenFinding::Missing, {}};
    default:
        return {number, PortName(name, path), OpenFinding::Other, {}};
    }
}

// A terminal that may be a serial port, told from its node before it is
// opened: opening another kind of device can do things of its own (a
// watchdog starts counting down). The tty class in sysfs has every terminal
// but the pseudo-terminals' slaves; /dev/tty, /dev/console, /dev/ptmx and
// the virtual consoles are terminals but no ports. Without sysfs the open's
// isatty decides.
bool MayBeSerialPort(const struct stat& node)
{
    if (!S_ISCHR(node.st_mode))
        return false;
    const unsigned devMajor = major(node.st_rdev);
    if (devMajor == 5 || (devMajor == 4 && minor(node.st_rdev) < 64))
        return false;
    if (IsPseudoTerminal(node))
        return true;
    std::error_code ec;
    if (!std::filesystem::exists("/sys/dev/char", ec))
        return true;
    const auto device = std::filesystem::canonical("/sys/dev/char/" + std::to_string(devMajor) +
                                                       ":" + std::to_string(minor(node.st_rdev)),
                                                   ec);
    return !ec && device.parent_path().filename() == "tty";
}

// Why path must not be opened at all, judged from its node (which this
// fills in): nothing is there, it is no serial port, or it is a process's
// controlling terminal (a login shell's, a terminal tab's), which must
// never get a meter's queries.
std::optional<Refusal> NodeRefusal(std::string_view name, const std::string& path,
                                   struct stat& node)
{
    if (::stat(path.c_str(), &node) != 0)
        return OpenError(name, path, errno);
    if (!MayBeSerialPort(node))
        return Refusal{ErrorFileNotFound,
                       PortIs(name, path, "is not a serial port"),
                       OpenFinding::NotAPort,
                       {}};
    if (const PortHolder owner = TerminalOwner(node.st_rdev); owner.pid > 0)
        return Refusal{ErrorAccessDenied,
                       PortIs(name, path, "is the terminal of " + DescribeHolder(owner)),
                       OpenFinding::Terminal, DescribeHolder(owner)};
    return std::nullopt;
}

// The exclusive claims on an open device: TIOCEXCL, which root's open
// passes, and flock, which keeps out every other process of ours (and a
// second open in this one). An exclusive flag that no live process holds is
// stale (its holder was killed, and a pseudo-terminal keeps the flag while
// its master is open): it is cleared, and the port taken.
std::optional<Refusal> ExclusiveRefusal(std::string_view name, const std::string& path, int fd,
                                        dev_t rdev)
{
    int exclusive = 0;
    if (detail::Ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        auto holders = ProcessesHolding(rdev, fd);
        if (!holders.empty())
            return Held(name, path, holders);
        detail::Ioctl(fd, TIOCNXCL);
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        if (e == EWOULDBLOCK)
            return Held(name, path, ProcessesHolding(rdev, fd));
        return Refusal{
            ErrorFromErrno(e, ErrnoContext::Open), PortName(name, path), OpenFinding::Other, {}};
    }
    return std::nullopt;
}

// The claims of programs that take no exclusive one: a lock file, and
// having the device open at all (a plain reader takes the meter's bytes).
// A lock file of ours is taken for a port, not for a pseudo-terminal: its
// TIOCEXCL and flock keep others out, and its other end, which has it open
// on purpose, does not count.
std::optional<Refusal> OthersRefusal(std::string_view name, const std::string& path, int fd,
                                     dev_t rdev, bool pseudoTerminal, PortLock& lock)
{
    LockRefusal why;
    if (!(pseudoTerminal ? PortLock::Free(path, why) : lock.Acquire(path, why))) {
        if (!why.badFile.empty())
            return Refusal{ErrorAccessDenied,
                           PortName(name, path) + "; " + why.badFile + " is " + why.what +
                               ", not a lock file",
                           OpenFinding::BadLock,
                           {},
                           why};
        return Held(name, path, {why.holder});
    }
    // One of our own threads would have met the flock.
    auto others = ProcessesHolding(rdev, fd);
    std::erase_if(others, [](const PortHolder& h) { return h.pid == ::getpid(); });
    if (!others.empty())
        return Held(name, path, others);
    return std::nullopt;
}

// --- The open's steps. Each returns false with the last error set; what
// one changed on the device, the Opening's destructor undoes unless the
// device was adopted.

} // namespace

// The device as the open found and changed it, until SerialDevice adopts it.
struct detail::Opening {
    std::string path;
    UniqueFd fd;
    dev_t rdev = 0;
    bool pseudoTerminal = false;
    bool hasModem = false;
    bool hasCounters = false;
    bool lineless = false;
    std::unique_ptr<PortLock> lock;
    bool exclusiveSet = false;
    detail::SavedLine saved{};
    bool lineSaved = false;
    DeviceControl kept;
    bool rs485On = false;
    UniqueFd wake;
    UniqueFd abort;
    UniqueFd epoll;
    struct Undo {
        Opening& o;
        bool done = false;
        ~Undo()
        {
            if (done || o.fd.Get() < 0)
                return;
            if (o.lineSaved)
                detail::RestoreLine(o.fd.Get(), o.saved);
            if (o.exclusiveSet)
                detail::Ioctl(o.fd.Get(), TIOCNXCL);
        }
    } undo{*this};
};

namespace {

using detail::Opening;

// The node is a serial port that nothing refuses; opened, and it is the
// node that was looked at.
bool OpenNode(std::string_view name, Opening& o)
{
    o.path = ResolveDeviceName(name);
    if (o.path.empty())
        return Refuse({ErrorFileNotFound, PortName(name, o.path), OpenFinding::Unmapped, {}});
    struct stat node {};
    if (auto refusal = NodeRefusal(name, o.path, node))
        return Refuse(std::move(*refusal));
    o.fd = UniqueFd(::open(o.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (o.fd.Get() < 0)
        return Refuse(OpenError(name, o.path, errno));
    struct stat st {};
    if (::fstat(o.fd.Get(), &st) != 0)
        return Fail(ErrorFromErrno(errno, ErrnoContext::Open));
    if (!S_ISCHR(st.st_mode) || st.st_rdev != node.st_rdev || !::isatty(o.fd.Get()))
        return Refuse({ErrorFileNotFound,
                       PortIs(name, o.path, "is not a serial port"),
                       OpenFinding::NotAPort,
                       {}});
    o.rdev = st.st_rdev;
    o.pseudoTerminal = IsPseudoTerminal(st);
    return true;
}

// Nobody else holds the device, and from here on nobody else can; what
// lines and counters it has.
bool ClaimDevice(std::string_view name, Opening& o)
{
    if (auto refusal = ExclusiveRefusal(name, o.path, o.fd.Get(), o.rdev))
        return Refuse(std::move(*refusal));
    int bits = 0;
    o.hasModem = detail::Ioctl(o.fd.Get(), TIOCMGET, &bits) == 0;
    if (!o.hasModem && IsGoneErrno(errno))
        return Refuse(
            {ErrorFileNotFound, PortIs(name, o.path, "is not there"), OpenFinding::Missing, {}});
    serial_icounter_struct counters{};
    o.hasCounters = detail::Ioctl(o.fd.Get(), TIOCGICOUNT, &counters) == 0;
    o.lineless = o.pseudoTerminal && !o.hasModem;
    o.lock = std::make_unique<PortLock>();
    if (auto refusal = OthersRefusal(name, o.path, o.fd.Get(), o.rdev, o.lineless, *o.lock))
        return Refuse(std::move(*refusal));
    o.exclusiveSet = detail::Ioctl(o.fd.Get(), TIOCEXCL) == 0;
    if (const int e = detail::SaveLine(o.fd.Get(), o.saved); e != 0)
        return Fail(ErrorFromErrno(e, ErrnoContext::Open));
    o.lineSaved = true;
    return true;
}

// Raw from the first byte: the line settings the device has, without the
// XON/XOFF a fresh terminal starts with, so that no 0x11 or 0x13 is taken
// out of the data before the program sets its flow control.
bool MakeRaw(Opening& o)
{
    if (const int e = detail::ReadLine(o.fd.Get(), o.kept, o.lineless, o.kept); e != 0)
        return Fail(ErrorFromErrno(e, ErrnoContext::Open));
    o.kept.flags &= ~(DcbOutX | DcbInX);
    serial_rs485 rs485{};
    o.rs485On = detail::Ioctl(o.fd.Get(), TIOCGRS485, &rs485) == 0 &&
                (rs485.flags & SER_RS485_ENABLED) != 0;
    if (o.rs485On)
        o.kept.flags = (o.kept.flags & ~DcbRtsControlMask) | RtsControlToggle;
    if (const int e = detail::WriteLine(o.fd.Get(), o.kept); e != 0)
        return Fail(ErrorFromErrno(e, ErrnoContext::Open));
    return true;
}

// The event wait's epoll over the device and the wake descriptor, and the
// descriptor that abandons a write.
bool MakeWaitDescriptors(Opening& o)
{
    o.wake = UniqueFd(detail::NewEventFd());
    o.abort = UniqueFd(detail::NewEventFd());
    o.epoll = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    if (o.epoll.Get() < 0)
        return Fail(ErrorFromErrno(errno, ErrnoContext::Open));
    // Edge-triggered: every arrival of data wakes the wait once, so that
    // bytes nobody has read yet do not wake it again and again.
    epoll_event deviceEvent{};
    deviceEvent.events = EPOLLIN | EPOLLET;
    deviceEvent.data.fd = o.fd.Get();
    epoll_event wakeEvent{};
    wakeEvent.events = EPOLLIN;
    wakeEvent.data.fd = o.wake.Get();
    if (::epoll_ctl(o.epoll.Get(), EPOLL_CTL_ADD, o.fd.Get(), &deviceEvent) != 0 ||
        ::epoll_ctl(o.epoll.Get(), EPOLL_CTL_ADD, o.wake.Get(), &wakeEvent) != 0)
        return Fail(ErrorFromErrno(errno, ErrnoContext::Open));
    return true;
}

} // namespace

SerialDevice::SerialDevice() = default;

SerialDevice::~SerialDevice()
{
    if (IsOpen())
        Close();
}

bool SerialDevice::Open(std::string_view name)
{
    SetLastErrorDetail({});
    SetLastOpenRefusal({});
    const LockGuard use(useMutex_);
    if (fd_ >= 0)
        return Fail(ErrorInvalidParameter);
    try {
        Opening opening;
        if (!OpenNode(name, opening) || !ClaimDevice(name, opening) || !MakeRaw(opening) ||
            !MakeWaitDescriptors(opening))
            return false;
        Adopt(opening);
        return true;
    } catch (const std::bad_alloc&) {
        return Fail(ErrorNotEnoughMemory);
    } catch (const std::system_error& e) {
        return Fail(ErrorFromErrno(e.code().value(), ErrnoContext::Open));
    }
}

void SerialDevice::Adopt(Opening& opening)
{
    const LockGuard fill(fillMutex_);
    const LockGuard state(stateMutex_);
    opening.undo.done = true;
    fd_ = opening.fd.Release();
    epollFd_ = opening.epoll.Release();
    wakeFd_ = opening.wake.Release();
    abortFd_ = opening.abort.Release();
    path_ = opening.path;
    lineless_ = opening.lineless;
    hasModem_ = opening.hasModem;
    hasCounters_ = opening.hasCounters;
    exclusiveSet_ = opening.exclusiveSet;
    savedLine_ = opening.saved;
    lock_ = std::move(opening.lock);
    closing_ = false;
    gone_ = false;
    mask_ = 0;
    ++maskGeneration_;
    rxSeen_ = 0; // bytes already held count as new for the first wait
    waitBase_ = Snapshot{};
    TakeSnapshot(waitBase_);
    errorBase_ = waitBase_;
    kept_ = opening.kept;
    rs485On_ = opening.rs485On;
    rs485Was_ = opening.rs485On;
    inQueueSize_ = 0;
    outQueueSize_ = 0;
    queue_.reset();
    queueCapacity_ = 0;
    Queue().Clear();
    queueBlocked_ = false;
    queueNews_ = false;
    throttled_ = false;
    fillPending_ = true;
}

bool SerialDevice::Probe(std::string_view name)
{
    SetLastErrorDetail({});
    SetLastOpenRefusal({});
    const std::string path = ResolveDeviceName(name);
    if (path.empty())
        return Fail(ErrorFileNotFound);
    struct stat node {};
    if (const auto refusal = NodeRefusal(name, path, node))
        return Fail(refusal->error);
    // Opened and closed, nothing else: no line settings, no lock, no
    // exclusivity, so that looking changes nothing for a program that has it.
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0)
        return Fail(ErrorFromErrno(errno, ErrnoContext::Open));
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISCHR(st.st_mode) || !::isatty(fd.Get()))
        return Fail(ErrorFileNotFound);
    int bits = 0;
    if (detail::Ioctl(fd.Get(), TIOCMGET, &bits) != 0 && IsGoneErrno(errno))
        return Fail(ErrorFileNotFound); // a ttyS node without a UART behind it
    return true;
}

bool SerialDevice::Close()
{
    {
        const SharedLockGuard use(useMutex_);
        if (fd_ < 0)
            return Fail(ErrorInvalidHandle);
        // Wake the event wait and a write, which hold useMutex_ shared.
        closing_ = true;
        detail::SignalFd(wakeFd_);
        detail::SignalFd(abortFd_);
    }
    const LockGuard use(useMutex_);
    if (fd_ >= 0)
        CloseDescriptors();
    return true;
}

void SerialDevice::CloseDescriptors()
{
    bool rs485On = false;
    {
        const LockGuard state(stateMutex_);
        rs485On = rs485On_;
    }
    // The device is left as it was found, unless it has gone.
    if (!gone_) {
        if (rs485On != rs485Was_) {
            serial_rs485 rs485{};
            if (detail::Ioctl(fd_, TIOCGRS485, &rs485) == 0) {
                if (rs485Was_)
                    rs485.flags |= SER_RS485_ENABLED;
                else
                    rs485.flags &= ~static_cast<decltype(rs485.flags)>(SER_RS485_ENABLED);
                detail::Ioctl(fd_, TIOCSRS485, &rs485);
            }
        }
        detail::RestoreLine(fd_, savedLine_);
    }
    // Only an exclusivity of ours is ours to clear.
    if (exclusiveSet_)
        detail::Ioctl(fd_, TIOCNXCL);
    exclusiveSet_ = false;
    ::close(epollFd_);
    ::close(wakeFd_);
    ::close(abortFd_);
    ::close(fd_); // also drops the flock
    fd_ = epollFd_ = wakeFd_ = abortFd_ = -1;
    path_.clear();
    lock_.reset();
    const LockGuard state(stateMutex_);
    queue_.reset();
    queueCapacity_ = 0;
    Queue().Clear();
    queueBlocked_ = false;
}

bool SerialDevice::IsOpen() const
{
    const SharedLockGuard use(useMutex_);
    return fd_ >= 0;
}

std::string SerialDevice::Path() const
{
    const SharedLockGuard use(useMutex_);
    return path_;
}

void SerialDevice::SetLockDirectory(std::string directory)
{
    platform::SetLockDirectory(std::move(directory));
}

bool SerialDevice::HasModemLines() const
{
    const SharedLockGuard use(useMutex_);
    return hasModem_;
}

bool SerialDevice::Usable(std::uint32_t& error) const
{
    if (fd_ < 0)
        error = ErrorInvalidHandle;
    else if (closing_)
        error = ErrorOperationAborted;
    else if (gone_)
        error = ErrorDeviceNotConnected;
    else
        return true;
    return false;
}

bool SerialDevice::FailErrno(int error)
{
    if (IsGoneErrno(error))
        gone_ = true;
    return Fail(ErrorFromErrno(error, ErrnoContext::Device));
}

bool SerialDevice::SetupQueues(std::uint32_t inSize, std::uint32_t outSize,
                               std::uint32_t queueBytes)
{
    const SharedLockGuard use(useMutex_);
    std::uint32_t error = 0;
    if (!Usable(error))
        return Fail(error);
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

void SerialDevice::UpdateThrottle()
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
        detail::Ioctl(fd_, hold ? TIOCMBIC : TIOCMBIS, &lines);
    if (xoff)
        ::tcflow(fd_, hold ? TCIOFF : TCION);
}

std::size_t SerialDevice::DriverHolds()
{
    int held = 0;
    if (detail::Ioctl(fd_, FIONREAD, &held) != 0) {
        if (IsGoneErrno(errno))
            gone_ = true;
        return 0;
    }
    return held > 0 ? static_cast<std::size_t>(held) : 0;
}

std::size_t SerialDevice::FillQueue(bool readable, bool& drained)
{
    drained = false;
    {
        const LockGuard state(stateMutex_);
        if (queueCapacity_ == 0)
            return 0; // reads go to the driver
    }
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
        {
            const LockGuard state(stateMutex_);
            Ring queue = Queue();
            if (queue.Free() == 0) {
                // The driver may hold more, and no new arrival need come to
                // say so: a read that makes room wakes the wait.
                queueBlocked_ = true;
                fillPending_ = true;
                return moved;
            }
            if (queue.Empty())
                queue.Clear(); // nobody reads an empty queue: one read fills it whole
            end = queue.AtHead();
            free = queue.FreeRun();
        }
        if (!held)
            held = DriverHolds();
        if (*held == 0) {
            drained = true;
            return moved;
        }
        const std::size_t room = std::min(*held, free);
        // Outside stateMutex_: readers take from the queue's front meanwhile,
        // and nothing else writes behind its end while fillMutex_ is held.
        const ssize_t n = ::read(fd_, end, room);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0 && IsGoneErrno(errno))
                gone_ = true;
            drained = n == 0 || errno == EAGAIN;
            return moved;
        }
        const auto got = static_cast<std::size_t>(n);
        {
            const LockGuard state(stateMutex_);
            Ring queue = Queue();
            queue.Produced(static_cast<std::uint32_t>(got));
            queueBlocked_ = queue.Free() == 0;
            // Held back as the count passes the limit, not after the whole
            // fill: a reader may see the count at once.
            UpdateThrottle();
        }
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

std::size_t SerialDevice::TakeFromQueue(std::uint8_t* data, std::size_t count)
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

void SerialDevice::QueueSizes(std::uint32_t& inSize, std::uint32_t& outSize) const
{
    const LockGuard state(stateMutex_);
    inSize = inQueueSize_;
    outSize = outQueueSize_;
}

bool SerialDevice::GetState(DeviceControl& dcb)
{
    const SharedLockGuard use(useMutex_);
    std::uint32_t error = 0;
    if (!Usable(error))
        return Fail(error);
    const LockGuard state(stateMutex_);
    DeviceControl now;
    if (const int e = detail::ReadLine(fd_, kept_, lineless_, now); e != 0)
        return FailErrno(e);
    dcb = now;
    return true;
}

bool SerialDevice::SetState(const DeviceControl& dcb)
{
    // Linux has no output flow on DSR: refused rather than pretended.
    if (dcb.baudRate == 0 || dcb.byteSize < 5 || dcb.byteSize > 8 || dcb.parity > SpaceParity ||
        dcb.stopBits > TwoStopBits || (dcb.flags & DcbOutxDsrFlow) != 0)
        return Fail(ErrorInvalidParameter);
    const SharedLockGuard use(useMutex_);
    std::uint32_t error = 0;
    if (!Usable(error))
        return Fail(error);
    const LockGuard state(stateMutex_);

    // RTS toggle is the kernel's RS-485 mode: check for it before changing anything.
    const bool toggle = (dcb.flags & DcbRtsControlMask) == RtsControlToggle;
    serial_rs485 rs485{};
    const bool hasRs485 = detail::Ioctl(fd_, TIOCGRS485, &rs485) == 0;
    if (toggle && !hasRs485)
        return Fail(ErrorInvalidParameter);

    if (const int e = detail::WriteLine(fd_, dcb); e != 0)
        return FailErrno(e);
    if (hasRs485 && toggle != rs485On_) {
        if (toggle) {
            // RTS up while sending, down once the last bit has left.
            rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
            rs485.flags &= ~static_cast<decltype(rs485.flags)>(SER_RS485_RTS_AFTER_SEND);
        } else {
            rs485.flags &= ~static_cast<decltype(rs485.flags)>(SER_RS485_ENABLED);
        }
        if (detail::Ioctl(fd_, TIOCSRS485, &rs485) != 0)
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

bool SerialDevice::ApplyLines(const DeviceControl& dcb)
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
    if ((set != 0 && detail::Ioctl(fd_, TIOCMBIS, &set) != 0) ||
        (clear != 0 && detail::Ioctl(fd_, TIOCMBIC, &clear) != 0))
        return FailErrno(errno);
    return true;
}

bool SerialDevice::Rs485Supported()
{
    const SharedLockGuard use(useMutex_);
    std::uint32_t error = 0;
    if (!Usable(error))
        return Fail(error);
    serial_rs485 rs485{};
    if (detail::Ioctl(fd_, TIOCGRS485, &rs485) != 0)
        return Fail(ErrorBadCommand);
    return true;
}

bool SerialDevice::SetMask(std::uint32_t mask)
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

std::uint32_t SerialDevice::GetMask() const
{
    const LockGuard state(stateMutex_);
    return mask_;
}

bool SerialDevice::TakeSnapshot(Snapshot& s)
{
    // A part that cannot be read now keeps its old values: no change seen.
    if (hasModem_) {
        int bits = 0;
        if (detail::Ioctl(fd_, TIOCMGET, &bits) == 0)
            s.modem =
                ((bits & TIOCM_CTS) != 0 ? MsCtsOn : 0) | ((bits & TIOCM_DSR) != 0 ? MsDsrOn : 0) |
                ((bits & TIOCM_RNG) != 0 ? MsRingOn : 0) | ((bits & TIOCM_CAR) != 0 ? MsRlsdOn : 0);
        else if (IsGoneErrno(errno))
            return false;
    }
    if (hasCounters_) {
        serial_icounter_struct c{};
        if (detail::Ioctl(fd_, TIOCGICOUNT, &c) == 0) {
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

std::uint32_t SerialDevice::CollectEvents(bool& gone, bool drained)
{
    gone = false;
    std::uint32_t events = 0;
    if (queueCapacity_ > 0) {
        // The wait moves every arrival into the queue and says so.
        if (std::exchange(queueNews_, false))
            events |= EvRxChar;
    } else {
        int held = 0;
        if (!drained && detail::Ioctl(fd_, FIONREAD, &held) != 0) {
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

bool SerialDevice::LineChanges(std::uint32_t& events)
{
    if ((mask_ & LineEvents) == 0 || !(hasModem_ || hasCounters_))
        return true;
    Snapshot now = waitBase_;
    if (!TakeSnapshot(now))
        return false;
    const Snapshot& was = waitBase_;
    // Counters catch pulses shorter than the time between two looks; levels
    // cover drivers that do not count.
    if (Delta(now.cts, was.cts) != 0 || ((now.modem ^ was.modem) & MsCtsOn) != 0)
        events |= EvCts;
    if (Delta(now.dsr, was.dsr) != 0 || ((now.modem ^ was.modem) & MsDsrOn) != 0)
        events |= EvDsr;
    if (Delta(now.dcd, was.dcd) != 0 || ((now.modem ^ was.modem) & MsRlsdOn) != 0)
        events |= EvRlsd;
    if (Delta(now.rng, was.rng) != 0 || (now.modem & ~was.modem & MsRingOn) != 0)
        events |= EvRing;
    if ((was.modem & ~now.modem & MsRingOn) != 0)
        events |= EvRingTrailingEdge;
    if (Delta(now.brk, was.brk) != 0)
        events |= EvBreak;
    if (Delta(now.frame, was.frame) != 0 || Delta(now.overrun, was.overrun) != 0 ||
        Delta(now.parity, was.parity) != 0)
        events |= EvErr;
    waitBase_ = now;
    return true;
}

bool SerialDevice::CheckLines(std::uint32_t& events)
{
    events = 0;
    const SharedLockGuard use(useMutex_);
    std::uint32_t error = 0;
    if (!Usable(error))
        return Fail(error);
    const LockGuard state(stateMutex_);
    if (!LineChanges(events)) {
        gone_ = true;
        return Fail(ErrorDeviceNotConnected);
    }
    events &= mask_;
    return true;
}

bool SerialDevice::WaitEvent(std::uint32_t& events)
{
    events = 0;
    const SharedLockGuard use(useMutex_);
    std::uint32_t error = 0;
    if (!Usable(error))
        return Fail(error);
    if (waiting_.exchange(true))
        return Fail(ErrorInvalidParameter);
    struct WaitingFlag {
        std::atomic<bool>& flag;
        ~WaitingFlag() { flag = false; }
    } waitingFlag{waiting_};

    std::uint64_t generation = 0;
    {
        const LockGuard state(stateMutex_);
        if (mask_ == 0)
            return Fail(ErrorInvalidParameter); // nothing could ever end it
        generation = maskGeneration_;
    }
    // Bytes may be waiting already, or come in while the queue was full.
    bool mayRead = true;
    bool readable = false;
    for (;;) {
        if (closing_)
            return Fail(ErrorOperationAborted);
        bool drained = false;
        std::size_t moved = 0;
        if (mayRead) {
            const LockGuard fill(fillMutex_);
            moved = FillQueue(readable, drained);
        }
        {
            const LockGuard state(stateMutex_);
            // What the queue took is news to the reader, which does not read
            // the driver itself while a wait fills the queue.
            queueNews_ = queueNews_ || moved > 0;
            if (maskGeneration_ != generation)
                return true; // the mask changed: the wait ends with no event
            bool gone = gone_;
            if (!gone)
                events = CollectEvents(gone, mayRead && drained);
            if (gone) {
                gone_ = true;
                events = 0;
                return Fail(ErrorDeviceNotConnected);
            }
            if (events != 0)
                return true;
        }
        // No time-out: the kernel has no descriptor for line changes, and
        // looking at them now and then is CheckLines', on the caller's own
        // round, so that an idle port wakes nothing here.
        epoll_event ready[2];
        const int n = ::epoll_wait(epollFd_, ready, 2, -1);
        if (n < 0 && errno != EINTR)
            return FailErrno(errno);
        mayRead = false;
        readable = false;
        for (int i = 0; i < n; ++i) {
            if (ready[i].data.fd == wakeFd_) {
                detail::DrainFd(wakeFd_);
                mayRead = true; // also when a read made room in the queue
            } else if ((ready[i].events & (EPOLLHUP | EPOLLERR)) != 0) {
                // Hung up: pseudo-terminal master closed, adapter unplugged.
                gone_ = true;
                return Fail(ErrorDeviceNotConnected);
            } else {
                mayRead = readable = true;
            }
        }
    }
}

bool SerialDevice::Read(void* data, std::size_t count, std::size_t& got)
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

bool SerialDevice::ReadLocked(std::uint8_t* bytes, std::size_t count, std::size_t& got,
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
        }
    } else if (got == 0 && gone_) {
        return Fail(ErrorDeviceNotConnected);
    }
    rxSeen_ -= std::min(rxSeen_, got);
    return true;
}

SerialDevice::WriteOutcome SerialDevice::Write(const void* data, std::size_t count,
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
    const auto abandoned = [] {
        SetLastError(ErrorOperationAborted);
        return WriteOutcome::Abandoned;
    };
    while (written < count) {
        if (closing_ || writeAborts_.load() != aborts)
            return abandoned();
        const ssize_t n = ::write(fd_, bytes + written, count - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            FailErrno(errno);
            return WriteOutcome::Failed;
        }
        // The driver is full: wait for room, a flush or a close.
        pollfd fds[3] = {{fd_, POLLOUT, 0},
                         {abortFd_, POLLIN, 0},
                         {abandon != nullptr ? abandon->Descriptor() : -1, POLLIN, 0}};
        if (detail::PollRetry(fds, 3, -1) < 0) {
            FailErrno(errno);
            return WriteOutcome::Failed;
        }
        if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
            gone_ = true;
            SetLastError(ErrorDeviceNotConnected);
            return WriteOutcome::Failed;
        }
        if ((fds[2].revents & POLLIN) != 0 && abandon->TryConsume())
            return abandoned();
        if ((fds[1].revents & POLLIN) != 0 && !closing_ && writeAborts_.load() == aborts)
            detail::DrainFd(abortFd_); // an abort meant for an earlier write
    }
    return WriteOutcome::Done;
}

bool SerialDevice::ClearErrors(std::uint32_t& errors, CommStatus* status, bool countOutput)
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
    if ((queueCapacity_ == 0 || !waiting_) && detail::Ioctl(fd_, FIONREAD, &in) != 0)
        return FailErrno(errno);
    int out = 0;
    if (status != nullptr && countOutput && detail::Ioctl(fd_, TIOCOUTQ, &out) != 0)
        out = 0;
    if (hasCounters_) {
        Snapshot now = errorBase_;
        if (!TakeSnapshot(now)) {
            gone_ = true;
            return Fail(ErrorDeviceNotConnected);
        }
        const Snapshot& was = errorBase_;
        if (Delta(now.bufOverrun, was.bufOverrun) != 0)
            errors |= CeRxOver;
        if (Delta(now.overrun, was.overrun) != 0)
            errors |= CeOverrun;
        if (Delta(now.parity, was.parity) != 0)
            errors |= CeRxParity;
        if (Delta(now.frame, was.frame) != 0)
            errors |= CeFrame;
        if (Delta(now.brk, was.brk) != 0)
            errors |= CeBreak;
        errorBase_ = now;
    }
    if (status != nullptr) {
        status->inQueue = static_cast<std::uint32_t>(static_cast<std::size_t>(in) + Queue().Held());
        status->outQueue = static_cast<std::uint32_t>(out);
    }
    return true;
}

bool SerialDevice::GetModemStatus(std::uint32_t& status)
{
    status = 0;
    const SharedLockGuard use(useMutex_);
    std::uint32_t error = 0;
    if (!Usable(error))
        return Fail(error);
    const LockGuard state(stateMutex_);
    Snapshot now = waitBase_;
    if (!TakeSnapshot(now)) {
        gone_ = true;
        return Fail(ErrorDeviceNotConnected);
    }
    status = now.modem;
    return true;
}

bool SerialDevice::Escape(std::uint32_t function)
{
    const SharedLockGuard use(useMutex_);
    std::uint32_t error = 0;
    if (!Usable(error))
        return Fail(error);
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
        result = detail::Ioctl(
            fd_, function == EscSetRts || function == EscSetDtr ? TIOCMBIS : TIOCMBIC, &line);
        break;
    case EscSetBreak:
        result = detail::Ioctl(fd_, TIOCSBRK);
        break;
    case EscClrBreak:
        result = detail::Ioctl(fd_, TIOCCBRK);
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

bool SerialDevice::Purge(std::uint32_t flags)
{
    if ((flags & ~(PurgeTxAbort | PurgeRxAbort | PurgeTxClear | PurgeRxClear)) != 0)
        return Fail(ErrorInvalidParameter);
    const SharedLockGuard use(useMutex_);
    std::uint32_t error = 0;
    if (!Usable(error))
        return Fail(error);
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

} // namespace platform
