#include "FakeUart.h"

#include "Hooks.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>
#include <utility>

namespace testutil {

namespace {

constexpr unsigned LineBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CBAUD;

} // namespace

FakeUart::FakeUart(bool hasRs485, Reach reach)
    : hasRs485_(hasRs485), lines_(TIOCM_DSR | TIOCM_CAR), processWide_(reach == Reach::Process)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "velmor-lock-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("no temporary directory");
    lockDir_ = pattern;
    if (processWide_)
        previous_ = platform::detail::SetDefaultDeviceOptions(Options());
}

FakeUart::~FakeUart()
{
    if (processWide_)
        platform::detail::SetDefaultDeviceOptions(std::move(previous_));
    std::error_code ignored;
    std::filesystem::remove_all(lockDir_, ignored);
}

int FakeUart::Ioctl(int fd, unsigned long request, void* arg)
{
    const std::lock_guard lock(mutex_);
    ++calls_[request];
    switch (request) {
    case TIOCMGET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMSET:
    case TIOCGICOUNT:
        return LinesIoctl(request, arg);
    case TIOCEXCL:
    case TIOCNXCL:
        exclusive_ = request == TIOCEXCL;
        return 0;
    case TIOCGEXCL:
        *static_cast<int*>(arg) = exclusive_ ? 1 : 0;
        return 0;
    case TIOCGRS485:
    case TIOCSRS485:
        return Rs485Ioctl(request, static_cast<serial_rs485*>(arg));
    case TCSETS2:
        return SetLine(fd, static_cast<termios2*>(arg));
    case TCGETS2:
        return GetLine(fd, static_cast<termios2*>(arg));
    default:
        return ::ioctl(fd, request, arg);
    }
}

int FakeUart::LinesIoctl(unsigned long request, void* arg)
{
    switch (request) {
    case TIOCMGET:
        *static_cast<int*>(arg) = lines_;
        return 0;
    case TIOCGICOUNT: {
        serial_icounter_struct c{};
        c.cts = static_cast<int>(cts_);
        c.dsr = static_cast<int>(dsr_);
        c.frame = static_cast<int>(frame_);
        std::memcpy(arg, &c, sizeof c);
        return 0;
    }
    default:
        break;
    }
    const int bits = *static_cast<const int*>(arg) & (TIOCM_DTR | TIOCM_RTS);
    if (request == TIOCMBIS)
        lines_ |= bits;
    else if (request == TIOCMBIC)
        lines_ &= ~bits;
    else
        lines_ = (lines_ & ~(TIOCM_DTR | TIOCM_RTS)) | bits;
    if (loop_ && ((lines_ & TIOCM_RTS) != 0) != ((lines_ & TIOCM_CTS) != 0)) {
        lines_ ^= TIOCM_CTS;
        ++cts_;
    }
    return 0;
}

int FakeUart::Rs485Ioctl(unsigned long request, serial_rs485* r)
{
    if (!hasRs485_) {
        errno = ENOTTY;
        return -1;
    }
    if (request == TIOCGRS485) {
        std::memset(r, 0, sizeof *r);
        r->flags = rs485On_ ? SER_RS485_ENABLED : 0;
    } else {
        rs485On_ = (r->flags & SER_RS485_ENABLED) != 0;
    }
    return 0;
}

int FakeUart::SetLine(int fd, termios2* t)
{
    haveLine_ = true;
    cflag_ = t->c_cflag & LineBits;
    ispeed_ = t->c_ispeed;
    ospeed_ = t->c_ospeed;
    if ((t->c_cflag & CBAUD) == B0) {
        speed_ = 0;
        lines_ &= ~(TIOCM_DTR | TIOCM_RTS); // a UART hangs up at speed 0
        return 0;
    }
    speed_ = t->c_ospeed;
    // The pty takes the rest (raw mode), but forces 8 bits, no parity.
    return ::ioctl(fd, TCSETS2, t);
}

int FakeUart::GetLine(int fd, termios2* t)
{
    const int result = ::ioctl(fd, TCGETS2, t);
    if (result == 0 && haveLine_) {
        t->c_cflag = (t->c_cflag & ~LineBits) | cflag_;
        t->c_ispeed = ispeed_;
        t->c_ospeed = ospeed_;
    }
    return result;
}

bool FakeUart::Dtr() const
{
    const std::lock_guard lock(mutex_);
    return (lines_ & TIOCM_DTR) != 0;
}

bool FakeUart::Rts() const
{
    const std::lock_guard lock(mutex_);
    return (lines_ & TIOCM_RTS) != 0;
}

void FakeUart::SetInput(int bit, bool on, std::uint32_t& counter)
{
    const std::lock_guard lock(mutex_);
    if (((lines_ & bit) != 0) != on) {
        lines_ ^= bit;
        ++counter;
    }
}

void FakeUart::SetCts(bool on)
{
    SetInput(TIOCM_CTS, on, cts_);
}

void FakeUart::SetDsr(bool on)
{
    SetInput(TIOCM_DSR, on, dsr_);
}

void FakeUart::LoopRtsToCts(bool on)
{
    {
        const std::lock_guard lock(mutex_);
        loop_ = on;
    }
    if (on)
        SetCts(Rts());
}

void FakeUart::CountFrameError()
{
    const std::lock_guard lock(mutex_);
    ++frame_;
}

void FakeUart::SetExclusive(bool on)
{
    const std::lock_guard lock(mutex_);
    exclusive_ = on;
}

bool FakeUart::Exclusive() const
{
    const std::lock_guard lock(mutex_);
    return exclusive_;
}

bool FakeUart::Rs485Enabled() const
{
    const std::lock_guard lock(mutex_);
    return rs485On_;
}

std::uint32_t FakeUart::Speed() const
{
    const std::lock_guard lock(mutex_);
    return speed_;
}

int FakeUart::Calls(unsigned long request) const
{
    const std::lock_guard lock(mutex_);
    const auto found = calls_.find(request);
    return found == calls_.end() ? 0 : found->second;
}

int FakeUart::LineLooks() const
{
    return Calls(TIOCMGET) + Calls(TIOCGICOUNT);
}

} // namespace testutil
