#include "platform/SerialLine.h"

#include "platform/DeviceCalls.h"

// Only the kernel's own termios here: no <termios.h> in this file.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cerrno>
#include <cstring>

namespace platform::detail {

namespace {

struct StandardRate {
    std::uint32_t baud;
    tcflag_t code;
};

// Standard rates keep their classic codes, so that drivers which look only
// at CBAUD understand them; any other rate goes through BOTHER.
constexpr StandardRate standardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

tcflag_t CodeForBaud(std::uint32_t baud)
{
    for (const auto& r : standardRates)
        if (r.baud == baud)
            return r.code;
    return BOTHER;
}

std::uint32_t BaudOf(const termios2& t)
{
    const tcflag_t code = t.c_cflag & CBAUD;
    if (code != BOTHER)
        for (const auto& r : standardRates)
            if (r.code == code)
                return r.baud;
    return t.c_ospeed;
}

void MakeRaw(termios2& t)
{
    // A break shows as an error bit, not as a NUL byte in the data.
    t.c_iflag &= ~static_cast<tcflag_t>(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY |
                                        INPCK | IUCLC | IMAXBEL);
    t.c_iflag |= IGNBRK;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE | ICANON |
                                        ISIG | IEXTEN);
    // Modem lines are reported, never acted on: no hang-up when DCD drops.
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

} // namespace

void EncodeLine(const DeviceControl& dcb, termios2& t)
{
    MakeRaw(t);
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | PARODD |
                                        CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CodeForBaud(dcb.baudRate); // input rate 0: same as output
    t.c_ospeed = dcb.baudRate;
    t.c_ispeed = dcb.baudRate;

    switch (dcb.byteSize) {
    case 5:
        t.c_cflag |= CS5;
        break;
    case 6:
        t.c_cflag |= CS6;
        break;
    case 7:
        t.c_cflag |= CS7;
        break;
    default:
        t.c_cflag |= CS8;
        break;
    }
    switch (dcb.parity) {
    case OddParity:
        t.c_cflag |= PARENB | PARODD;
        break;
    case EvenParity:
        t.c_cflag |= PARENB;
        break;
    case MarkParity:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case SpaceParity:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    // One and a half stop bits: a UART gives 1.5 for CSTOPB with 5 data bits
    // and 2 otherwise; Linux has no separate setting.
    if (dcb.stopBits != OneStopBit)
        t.c_cflag |= CSTOPB;
    // Linux ties both directions to one flag: CTS gates our output, RTS
    // follows our input buffer.
    if ((dcb.flags & DcbOutxCtsFlow) != 0 || (dcb.flags & DcbRtsControlMask) == RtsControlHandshake)
        t.c_cflag |= CRTSCTS;

    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
    if ((dcb.flags & DcbOutX) != 0)
        t.c_iflag |= IXON;
    if ((dcb.flags & DcbInX) != 0)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.xonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.xoffChar);
}

DeviceControl DecodeLine(const termios2& t, const DeviceControl& kept, bool lineless)
{
    DeviceControl d = kept;
    d.baudRate = BaudOf(t);
    if (!lineless) {
        switch (t.c_cflag & CSIZE) {
        case CS5:
            d.byteSize = 5;
            break;
        case CS6:
            d.byteSize = 6;
            break;
        case CS7:
            d.byteSize = 7;
            break;
        default:
            d.byteSize = 8;
            break;
        }
        if ((t.c_cflag & PARENB) == 0)
            d.parity = NoParity;
        else if ((t.c_cflag & CMSPAR) != 0)
            d.parity = (t.c_cflag & PARODD) != 0 ? MarkParity : SpaceParity;
        else
            d.parity = (t.c_cflag & PARODD) != 0 ? OddParity : EvenParity;
    }
    if ((t.c_cflag & CSTOPB) == 0)
        d.stopBits = OneStopBit;
    else if (kept.stopBits != One5StopBits)
        d.stopBits = TwoStopBits;

    const bool keptRtsHandshake = (kept.flags & DcbRtsControlMask) == RtsControlHandshake;
    if ((t.c_cflag & CRTSCTS) == 0) {
        d.flags &= ~DcbOutxCtsFlow;
        if (keptRtsHandshake)
            d.flags = (d.flags & ~DcbRtsControlMask) | RtsControlEnable;
    } else if ((kept.flags & DcbOutxCtsFlow) == 0 && !keptRtsHandshake) {
        // Set by someone else: both directions are on.
        d.flags = (d.flags & ~DcbRtsControlMask) | RtsControlHandshake | DcbOutxCtsFlow;
    }

    d.flags &= ~(DcbOutX | DcbInX);
    if ((t.c_iflag & IXON) != 0)
        d.flags |= DcbOutX;
    if ((t.c_iflag & IXOFF) != 0)
        d.flags |= DcbInX;
    d.xonChar = static_cast<std::uint8_t>(t.c_cc[VSTART]);
    d.xoffChar = static_cast<std::uint8_t>(t.c_cc[VSTOP]);
    return d;
}

static_assert(sizeof(termios2) <= sizeof(SavedLine::bytes));

int SaveLine(const Driver& driver, SavedLine& saved)
{
    termios2 t{};
    if (driver.Ioctl(TCGETS2, &t) != 0)
        return errno;
    std::memcpy(saved.bytes, &t, sizeof t);
    return 0;
}

int RestoreLine(const Driver& driver, const SavedLine& saved)
{
    termios2 t{};
    std::memcpy(&t, saved.bytes, sizeof t);
    return driver.Ioctl(TCSETS2, &t) != 0 ? errno : 0;
}

int ReadLine(const Driver& driver, const DeviceControl& kept, bool lineless, DeviceControl& out)
{
    termios2 t{};
    if (driver.Ioctl(TCGETS2, &t) != 0)
        return errno;
    out = DecodeLine(t, kept, lineless);
    return 0;
}

int WriteLine(const Driver& driver, const DeviceControl& dcb)
{
    termios2 t{};
    if (driver.Ioctl(TCGETS2, &t) != 0)
        return errno;
    EncodeLine(dcb, t);
    if (driver.Ioctl(TCSETS2, &t) != 0)
        return errno;
    return 0;
}

} // namespace platform::detail
