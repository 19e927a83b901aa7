// Unit under test: SerDispLine (line settings, flow control, DTR/RTS, modem status, line errors).
#include "FakeDispatcher.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

bool SameLine(const TLineState& a, const TLineState& b)
{
    return a.baudRate == b.baudRate && a.flags == b.flags && a.xonLim == b.xonLim &&
           a.xoffLim == b.xoffLim && a.byteSize == b.byteSize && a.parity == b.parity &&
           a.stopBits == b.stopBits && a.xonChar == b.xonChar && a.xoffChar == b.xoffChar;
}

} // namespace

TEST(SerDispLine, SetLineKeepsValuesAndWaitsForTheTransmitter)
{
    TFakeDispatcher d;
    d.device.baudRate = 4800; // the open applies 9600
    ASSERT_EQ(d.Open(), 0);
    EXPECT_EQ(d.device.baudRate, 9600u);
    d.sleeps.clear();
    const int writes = d.setLineCalls;
    EXPECT_EQ(d.SetLine(0, 5, 9, 3), 0);
    EXPECT_EQ(d.SetLine(9600, 0, 8, 1), 0);
    EXPECT_EQ(d.setLineCalls, writes);
    EXPECT_TRUE(d.sleeps.empty());

    // Three polls find bytes waiting, then the line is idle; one character
    // time at 9600 8N1 (10 bits) is 1.04 ms, times 18: 19 ms.
    d.drainScript = {5, 3, 1, 0};
    EXPECT_EQ(d.SetLine(0, 2, 9, 3), 0);
    EXPECT_EQ(d.sleeps, (std::vector<std::uint32_t>{2, 2, 2, 19}));
    EXPECT_EQ(d.device.baudRate, 9600u);
    EXPECT_EQ(d.device.parity, 2);
    EXPECT_EQ(d.device.byteSize, 8);
    EXPECT_EQ(d.device.stopBits, platform::OneStopBit);

    // A transmitter that never drains is given up after 5000 polls; the
    // delay now counts the parity bit: 11 bits, 21 ms.
    d.sleeps.clear();
    d.drainScript = {1};
    EXPECT_EQ(d.SetLine(19200, 5, 7, 2), 0);
    ASSERT_EQ(d.sleeps.size(), 5001u);
    EXPECT_EQ(d.sleeps.back(), 21u);
    EXPECT_EQ(d.device.stopBits, platform::TwoStopBits);
    EXPECT_EQ(d.device.byteSize, 7);
    d.drainScript.clear();

    // Five data bits always take one and a half stop bits.
    EXPECT_EQ(d.SetLine(0, 5, 5, 2), 0);
    EXPECT_EQ(d.device.stopBits, platform::One5StopBits);
    EXPECT_EQ(d.SetLine(0, 5, 9, 1), 0);
    EXPECT_EQ(d.device.stopBits, platform::One5StopBits);
    EXPECT_EQ(d.SetLine(0, 5, 8, 1), 0);
    EXPECT_EQ(d.device.stopBits, platform::OneStopBit);

    // Short character times are doubled: 256000 baud, 10 bits: 390 * 18 < 10000.
    EXPECT_EQ(d.SetLine(0xFF27, 0, 8, 1), 0);
    d.sleeps.clear();
    EXPECT_EQ(d.SetLine(9600, 0, 8, 1), 0);
    EXPECT_EQ(d.sleeps, (std::vector<std::uint32_t>{2}));

    d.setLineResult = -31;
    EXPECT_EQ(d.SetLine(4800, 0, 8, 1), -31);
}

TEST(SerDispLine, AppliedStateCarriesTheRememberedLineLevels)
{
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(4096, 4096, 0x01), 0); // DTR on, RTS off
    d.escapes.clear();
    EXPECT_EQ(d.SetFlowChars('Q', 'S'), 0);
    EXPECT_EQ(d.device.flags & platform::DcbDtrControlMask, platform::DtrControlEnable);
    EXPECT_EQ(d.device.flags & platform::DcbRtsControlMask, platform::RtsControlDisable);
    EXPECT_EQ(d.escapes, (std::vector<int>{platform::EscSetDtr, platform::EscClrRts}));

    EXPECT_EQ(d.SetRts(2), 0); // only 1 means on
    EXPECT_EQ(d.escapes.back(), platform::EscClrRts);
    EXPECT_EQ(d.SetRts(1), 0);
    EXPECT_EQ(d.escapes.back(), platform::EscSetRts);
    d.escapeResult = 1;
    EXPECT_EQ(d.SetDtr(0), DispBadArgument);
    d.escapeResult = 0;

    std::uint32_t baud = 0;
    std::uint8_t parity = 9, stop = 9, bits = 0;
    d.device.baudRate = 0xFF16;
    d.device.stopBits = platform::One5StopBits;
    d.GetLineSettings(baud, parity, stop, bits);
    EXPECT_EQ(baud, 9600u);
    EXPECT_EQ(stop, 2);
    EXPECT_EQ(bits, 8);
    d.device.baudRate = 0xFEFF;
    d.GetLineSettings(baud, parity, stop, bits);
    EXPECT_EQ(baud, 115200u);
    EXPECT_EQ(SerBaudFromCode(0xFF19), 0xFF19u); // a code without a rate passes unchanged
    EXPECT_EQ(SerBaudFromCode(0xFF10), 110u);
    EXPECT_EQ(SerBaudFromCode(57600), 57600u);
}

TEST(SerDispLine, FlowControlSettingsAndRefusedThresholds)
{
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(4096, 4096, 0x03), 0);
    const TLineState before = d.device;
    const int writes = d.setLineCalls;
    EXPECT_EQ(d.SetHardwareFlow(100, 200, 1), DispBadArgument);
    EXPECT_EQ(d.SetHardwareFlow(4097, 10, 1), DispBadArgument);
    EXPECT_EQ(d.SetSoftwareFlow(100, 200, 3), DispBadArgument);
    EXPECT_EQ(d.setLineCalls, writes);
    EXPECT_TRUE(SameLine(d.device, before));

    EXPECT_EQ(d.SetHardwareFlow(3686, 410, 1 | 2 | 8), 0);
    EXPECT_EQ(d.device.flags & platform::DcbDtrControlMask, platform::DtrControlHandshake);
    EXPECT_EQ(d.device.flags & platform::DcbRtsControlMask, platform::RtsControlHandshake);
    EXPECT_EQ(d.device.flags & (platform::DcbOutxCtsFlow | platform::DcbOutxDsrFlow),
              platform::DcbOutxCtsFlow);
    EXPECT_EQ(d.device.xoffLim, 410);
    EXPECT_EQ(d.device.xonLim, 410);
    EXPECT_EQ(d.SetDtr(0), 1); // under handshake: no effect
    EXPECT_EQ(d.SetRts(0), 1);

    d.SetRs485(true);
    EXPECT_EQ(d.SetHardwareFlow(3686, 410, 4), 0);
    EXPECT_EQ(d.device.flags & platform::DcbRtsControlMask, platform::RtsControlToggle);
    EXPECT_EQ(d.device.flags & platform::DcbDtrControlMask, platform::DtrControlEnable);

    EXPECT_EQ(d.SetFlowChars('A', 'B'), 0);
    EXPECT_EQ(d.SetSoftwareFlow(3072, 1024, 3), 0);
    EXPECT_EQ(d.device.xonChar, 17);
    EXPECT_EQ(d.device.xoffChar, 19);
    EXPECT_EQ(d.device.xoffLim, 4096 - 3072);
    std::uint8_t hw = 0, sw = 0, xoff = 0, xon = 0;
    d.GetFlowSettings(hw, sw, xoff, xon);
    EXPECT_EQ(hw, 4);
    EXPECT_EQ(sw, 3);
    EXPECT_EQ(d.SetSoftwareFlow(3072, 1024, 1), 0); // narrowing switches the receive side off
    d.GetFlowSettings(hw, sw, xoff, xon);
    EXPECT_EQ(sw, 1);
    EXPECT_EQ(d.ClearSoftwareFlow(), 0);
    d.GetFlowSettings(hw, sw, xoff, xon);
    EXPECT_EQ(sw, 0);
}

TEST(SerDispLine, AFailedLineWriteLeavesNoHandshakeBehindAndRs485ReachesTheLine)
{
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(4096, 4096, 0x03), 0);
    d.setLineResult = -87; // a driver that takes neither
    EXPECT_EQ(d.SetHardwareFlow(3686, 410, 2), -87);
    EXPECT_EQ(d.SetRts(1), 0) << "RTS stuck under a handshake that never reached the line";
    EXPECT_EQ(d.SetRs485(true), -87);
    EXPECT_EQ(d.SetRts(0), 0);
    std::uint8_t hw = 0, sw = 0, xoff = 0, xon = 0;
    d.GetFlowSettings(hw, sw, xoff, xon);
    EXPECT_EQ(hw, 0);

    d.setLineResult = 0;
    EXPECT_EQ(d.SetRs485(true), 0);
    EXPECT_EQ(d.device.flags & platform::DcbRtsControlMask, platform::RtsControlToggle);
    EXPECT_EQ(d.SetRts(1), 1); // the driver's now
    EXPECT_EQ(d.SetRs485(false), 0);
    EXPECT_EQ(d.device.flags & platform::DcbRtsControlMask,
              platform::RtsControlDisable); // RTS was set off
    EXPECT_EQ(d.SetRts(1), 0);
}

TEST(SerDispLine, Rs485ThreadBoostAndOptions)
{
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(64), 0);
    const std::uint8_t block[2] = {1, 2};
    // The driver turns the line around: a write under RS-485 raises no RTS itself.
    ASSERT_EQ(d.SetRs485(true), 0);
    d.escapes.clear();
    EXPECT_EQ(d.WriteBlock(block, 2), 0);
    EXPECT_EQ(d.OutputUsed(), 2u);
    EXPECT_TRUE(d.escapes.empty());

    const int calls = d.priorityCalls;
    d.SetThreadBoost(0);
    EXPECT_EQ(d.priorityCalls, calls);
    d.SetThreadBoost(2);
    EXPECT_EQ(d.priorityCalls, calls + 1);
}

TEST(SerDispLine, ModemStatusAndLineErrorsAreReportedOnce)
{
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    d.modemLines = platform::MsCtsOn | platform::MsRlsdOn;
    d.NoteRing();
    EXPECT_EQ(d.GetModemStatus(0xF0), platform::MsCtsOn | platform::MsRlsdOn | ModemTrailingRing);
    EXPECT_EQ(d.GetModemStatus(0xF0), platform::MsCtsOn | platform::MsRlsdOn);

    d.modemLines = platform::MsRlsdOn | platform::MsDsrOn;
    d.UpdateModemChanges();
    EXPECT_EQ(d.ModemStatusByte(),
              platform::MsRlsdOn | platform::MsDsrOn | ModemDeltaCts | ModemDeltaDsr);
    EXPECT_EQ(d.GetModemStatus(0xF0),
              platform::MsRlsdOn | platform::MsDsrOn | ModemDeltaCts | ModemDeltaDsr);
    EXPECT_EQ(d.ModemStatusByte(), platform::MsRlsdOn | platform::MsDsrOn);

    d.pendingErrors = platform::CeRxParity | platform::CeBreak;
    d.RefreshLineErrors();
    EXPECT_EQ(d.GetLineError(), 3);
    EXPECT_EQ(d.GetLineError(), 9);
    EXPECT_TRUE(d.CheckLineBreak());
    EXPECT_FALSE(d.CheckLineBreak());
    EXPECT_EQ(d.GetLineError(), 0);

    // Errors collect until read; the first in order is reported, the others go with it.
    d.pendingErrors = platform::CeFrame;
    d.RefreshLineErrors();
    d.pendingErrors = platform::CeOverrun | 0x100;
    d.RefreshLineErrors();
    EXPECT_EQ(d.GetLineError(), 2);
    EXPECT_EQ(d.GetLineError(), 0);

    d.SetOptionBits(0x14);
    d.ClearOptionBits(0x04);
    EXPECT_EQ(d.OptionFlags(), 0x10u);
    d.pendingErrors = platform::CeRxOver;
    d.SetLastEventMask(platform::EvErr);
    d.ProcessCommEvents();
    EXPECT_EQ(d.GetLineError(), 1);
}
