// Unit under test: SerialLine (device-control record to termios2 and back).
#include "platform/SerialLine.h"

#include <asm/termbits.h>

#include <gtest/gtest.h>

using namespace platform;
using platform::detail::DecodeLine;
using platform::detail::EncodeLine;

namespace {

termios2 Cooked()
{
    termios2 t{};
    t.c_iflag = ICRNL | IXON | BRKINT | INPCK;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    t.c_cflag = B38400 | CS7 | PARENB | HUPCL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    return t;
}

} // namespace

TEST(SerialLine, EncodesRawModeRatesFramingAndFlow)
{
    termios2 t = Cooked();
    DeviceControl d;
    d.baudRate = 9600;
    EncodeLine(d, t);
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(B9600)); // a standard code
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | BRKINT | INPCK | IXON | IXOFF), 0u);
    EXPECT_NE(t.c_iflag & IGNBRK, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    d.baudRate = 31250; // no standard code: BOTHER with the rate itself
    d.byteSize = 5;
    d.stopBits = One5StopBits;
    d.parity = MarkParity;
    d.flags = DcbBinary | DcbOutxCtsFlow | DcbOutX | DcbInX | RtsControlEnable;
    d.xonChar = 0x01;
    d.xoffChar = 0x02;
    EncodeLine(d, t);
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    EXPECT_EQ(t.c_ospeed, 31250u);
    EXPECT_EQ(t.c_ispeed, 31250u);
    EXPECT_EQ(t.c_cflag & (CBAUD << IBSHIFT), 0u); // input follows output
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS5));
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR),
              static_cast<tcflag_t>(PARENB | PARODD | CMSPAR));
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 0x01);
    EXPECT_EQ(t.c_cc[VSTOP], 0x02);

    const struct {
        std::uint8_t parity;
        tcflag_t bits;
    } parities[] = {{NoParity, 0},
                    {OddParity, PARENB | PARODD},
                    {EvenParity, PARENB},
                    {MarkParity, PARENB | PARODD | CMSPAR},
                    {SpaceParity, PARENB | CMSPAR}};
    for (const auto& p : parities) {
        d.parity = p.parity;
        EncodeLine(d, t);
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), p.bits) << int(p.parity);
    }

    // Only CTS output flow and RTS handshake have a kernel flag; DSR and DTR do not.
    d.flags = DcbBinary | DcbOutxDsrFlow | DtrControlHandshake | RtsControlEnable;
    EncodeLine(d, t);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    d.flags = DcbBinary | RtsControlHandshake;
    EncodeLine(d, t);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
}

TEST(SerialLine, DecodingWhatWasEncodedGivesTheRecordBack)
{
    int checked = 0;
    for (const std::uint32_t baud : {50u, 110u, 9600u, 38400u, 115200u, 31250u, 1000000u, 7u})
        for (std::uint8_t bits = 5; bits <= 8; ++bits)
            for (std::uint8_t parity = NoParity; parity <= SpaceParity; ++parity)
                for (const std::uint8_t stop : {OneStopBit, One5StopBits, TwoStopBits})
                    for (const std::uint32_t flags :
                         {DcbBinary | DtrControlEnable | RtsControlEnable,
                          DcbBinary | DcbOutxCtsFlow | RtsControlDisable | DcbInX,
                          DcbBinary | RtsControlHandshake | DtrControlDisable | DcbOutX,
                          DcbBinary | RtsControlToggle | DcbOutxDsrFlow | DtrControlHandshake}) {
                        DeviceControl d;
                        d.baudRate = baud;
                        d.byteSize = bits;
                        d.parity = parity;
                        d.stopBits = stop;
                        d.flags = flags;
                        d.xonLim = 77;
                        d.xoffLim = 88;
                        termios2 t = Cooked();
                        EncodeLine(d, t);
                        ASSERT_EQ(DecodeLine(t, d, false), d)
                            << baud << " " << int(bits) << int(parity) << int(stop) << " " << flags;
                        ++checked;
                    }
    EXPECT_EQ(checked, 8 * 4 * 5 * 3 * 4);
}

TEST(SerialLine, DecodingTakesWhatTheKernelHoldsOverTheKeptRecord)
{
    DeviceControl kept;
    kept.byteSize = 7;
    kept.parity = EvenParity;
    kept.stopBits = One5StopBits;
    kept.flags = DcbBinary | RtsControlHandshake;

    termios2 t{};
    t.c_cflag = B19200 | CS8 | CRTSCTS; // one stop bit, no parity
    t.c_iflag = IXOFF;
    t.c_cc[VSTART] = 5;
    t.c_cc[VSTOP] = 6;
    DeviceControl d = DecodeLine(t, kept, false);
    EXPECT_EQ(d.baudRate, 19200u);
    EXPECT_EQ(d.byteSize, 8);
    EXPECT_EQ(d.parity, NoParity);
    EXPECT_EQ(d.stopBits, OneStopBit);
    EXPECT_EQ(d.flags, DcbBinary | RtsControlHandshake | DcbInX);
    EXPECT_EQ(d.xonChar, 5);
    EXPECT_EQ(d.xoffChar, 6);

    // A pseudo-terminal forces 8N: the record keeps what was asked for.
    d = DecodeLine(t, kept, true);
    EXPECT_EQ(d.byteSize, 7);
    EXPECT_EQ(d.parity, EvenParity);

    // Flow control that someone else switched on shows in both directions;
    // switched off, it leaves RTS simply raised.
    kept.flags = DcbBinary | RtsControlEnable;
    d = DecodeLine(t, kept, false);
    EXPECT_EQ(d.flags & (DcbOutxCtsFlow | DcbRtsControlMask), DcbOutxCtsFlow | RtsControlHandshake);
    kept.flags = DcbBinary | DcbOutxCtsFlow | RtsControlHandshake;
    kept.stopBits = OneStopBit;
    t.c_cflag = B19200 | CS8 | CSTOPB;
    d = DecodeLine(t, kept, false);
    EXPECT_EQ(d.flags & (DcbOutxCtsFlow | DcbRtsControlMask), RtsControlEnable);
    EXPECT_EQ(d.stopBits, TwoStopBits);
}
