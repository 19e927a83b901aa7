#include "SerialDeviceImpl.h"

#include "ComPortMap.h"
#include "Hooks.h"
#include "WaitUtil.h"
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

using detail::Fail;
using detail::IsGoneErrno;

namespace {

bool IsPseudoTerminal(const struct stat& st)
{
    // Unix98 slaves use majors 136..143, the old BSD slaves major 3.
    const unsigned m = major(st.st_rdev);
    return (m >= 136 && m <= 143) || m == 3;
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
std::optional<Refusal> ExclusiveRefusal(std::string_view name, const std::string& path,
                                        const detail::Driver& driver, dev_t rdev)
{
    int exclusive = 0;
    if (driver.Ioctl(TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        auto holders = ProcessesHolding(rdev, driver.fd);
        if (!holders.empty())
            return Held(name, path, holders);
        driver.Ioctl(TIOCNXCL);
    }
    if (::flock(driver.fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        if (e == EWOULDBLOCK)
            return Held(name, path, ProcessesHolding(rdev, driver.fd));
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
    if (!(pseudoTerminal ? PortLock::Free(path, why, lock.Directory()) : lock.Acquire(path, why))) {
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
    explicit Opening(DeviceOptions options) : options(std::move(options)) {}
    DeviceOptions options;
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
    detail::Driver Driver() const { return {fd.Get(), options.calls}; }
    int Ioctl(unsigned long request, void* arg = nullptr) const
    {
        return Driver().Ioctl(request, arg);
    }
    struct Undo {
        Opening& o;
        bool done = false;
        ~Undo()
        {
            if (done || o.fd.Get() < 0)
                return;
            if (o.lineSaved)
                detail::RestoreLine(o.Driver(), o.saved);
            if (o.exclusiveSet)
                o.Ioctl(TIOCNXCL);
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
    if (auto refusal = ExclusiveRefusal(name, o.path, o.Driver(), o.rdev))
        return Refuse(std::move(*refusal));
    int bits = 0;
    o.hasModem = o.Ioctl(TIOCMGET, &bits) == 0;
    if (!o.hasModem && IsGoneErrno(errno))
        return Refuse(
            {ErrorFileNotFound, PortIs(name, o.path, "is not there"), OpenFinding::Missing, {}});
    serial_icounter_struct counters{};
    o.hasCounters = o.Ioctl(TIOCGICOUNT, &counters) == 0;
    o.lineless = o.pseudoTerminal && !o.hasModem;
    o.lock = std::make_unique<PortLock>(o.options.lockDirectory);
    if (auto refusal = OthersRefusal(name, o.path, o.fd.Get(), o.rdev, o.lineless, *o.lock))
        return Refuse(std::move(*refusal));
    o.exclusiveSet = o.Ioctl(TIOCEXCL) == 0;
    if (const int e = detail::SaveLine(o.Driver(), o.saved); e != 0)
        return Fail(ErrorFromErrno(e, ErrnoContext::Open));
    o.lineSaved = true;
    return true;
}

// Raw from the first byte: the line settings the device has, without the
// XON/XOFF a fresh terminal starts with, so that no 0x11 or 0x13 is taken
// out of the data before the program sets its flow control.
bool MakeRaw(Opening& o)
{
    if (const int e = detail::ReadLine(o.Driver(), o.kept, o.lineless, o.kept); e != 0)
        return Fail(ErrorFromErrno(e, ErrnoContext::Open));
    o.kept.flags &= ~(DcbOutX | DcbInX);
    serial_rs485 rs485{};
    o.rs485On = o.Ioctl(TIOCGRS485, &rs485) == 0 && (rs485.flags & SER_RS485_ENABLED) != 0;
    if (o.rs485On)
        o.kept.flags = (o.kept.flags & ~DcbRtsControlMask) | RtsControlToggle;
    if (const int e = detail::WriteLine(o.Driver(), o.kept); e != 0)
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

bool SerialDevice::Impl::Open(std::string_view name)
{
    SetLastErrorDetail({});
    SetLastOpenRefusal({});
    const LockGuard use(useMutex_);
    if (fd_ >= 0)
        return Fail(ErrorInvalidParameter);
    try {
        Opening opening(options_ ? *options_ : detail::DefaultDeviceOptions());
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

void SerialDevice::Impl::Adopt(Opening& opening)
{
    const LockGuard fill(fillMutex_);
    const LockGuard state(stateMutex_);
    opening.undo.done = true;
    fd_ = opening.fd.Release();
    calls_ = opening.options.calls;
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
    if (detail::Driver{fd.Get(), detail::DefaultDeviceOptions().calls}.Ioctl(TIOCMGET, &bits) !=
            0 &&
        IsGoneErrno(errno))
        return Fail(ErrorFileNotFound); // a ttyS node without a UART behind it
    return true;
}

bool SerialDevice::Impl::Close()
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

void SerialDevice::Impl::CloseDescriptors()
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
            if (Ioctl(TIOCGRS485, &rs485) == 0) {
                if (rs485Was_)
                    rs485.flags |= SER_RS485_ENABLED;
                else
                    rs485.flags &= ~static_cast<decltype(rs485.flags)>(SER_RS485_ENABLED);
                Ioctl(TIOCSRS485, &rs485);
            }
        }
        detail::RestoreLine(Driver(), savedLine_);
    }
    // Only an exclusivity of ours is ours to clear.
    if (exclusiveSet_)
        Ioctl(TIOCNXCL);
    exclusiveSet_ = false;
    ::close(epollFd_);
    ::close(wakeFd_);
    ::close(abortFd_);
    ::close(fd_); // also drops the flock
    fd_ = epollFd_ = wakeFd_ = abortFd_ = -1;
    calls_ = nullptr;
    path_.clear();
    lock_.reset();
    const LockGuard state(stateMutex_);
    queue_.reset();
    queueCapacity_ = 0;
    Queue().Clear();
    queueBlocked_ = false;
}

bool SerialDevice::Impl::IsOpen() const
{
    const SharedLockGuard use(useMutex_);
    return fd_ >= 0;
}

std::string SerialDevice::Impl::Path() const
{
    const SharedLockGuard use(useMutex_);
    return path_;
}

bool SerialDevice::Impl::HasModemLines() const
{
    const SharedLockGuard use(useMutex_);
    return hasModem_;
}

bool SerialDevice::Impl::Usable(std::uint32_t& error) const
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

bool SerialDevice::Impl::Ready() const
{
    std::uint32_t error = 0;
    return Usable(error) || Fail(error);
}

bool SerialDevice::Impl::Gone()
{
    gone_ = true;
    return Fail(ErrorDeviceNotConnected);
}

bool SerialDevice::Impl::FailErrno(int error)
{
    if (IsGoneErrno(error))
        gone_ = true;
    return Fail(ErrorFromErrno(error, ErrnoContext::Device));
}

} // namespace platform
