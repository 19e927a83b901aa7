// Line control and status of TSerBaseDispatcher: line settings, flow control,
// DTR/RTS, RS-485, thread boost, modem status and line errors.
#include "serial/SerDisp.h"

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

constexpr std::uint32_t KeepBaud = 0;
constexpr std::uint8_t KeepParity = 5;
constexpr std::uint8_t KeepDataBits = 9;
constexpr std::uint8_t KeepStopBits = 3;

constexpr int DrainPolls = 5000;
constexpr std::uint32_t DrainPollMs = 2;

constexpr std::uint8_t HwUseDtr = 1;
constexpr std::uint8_t HwUseRts = 2;
constexpr std::uint8_t HwRequireDsr = 4;
constexpr std::uint8_t HwRequireCts = 8;
constexpr std::uint8_t SwTransmit = 1;
constexpr std::uint8_t SwReceive = 2;

void SetDtrControl(TLineState& state, std::uint32_t control)
{
    state.flags = (state.flags & ~platform::DcbDtrControlMask) | control;
}

void SetRtsControl(TLineState& state, std::uint32_t control)
{
    state.flags = (state.flags & ~platform::DcbRtsControlMask) | control;
}

} // namespace

std::uint32_t SerBaudFromCode(std::uint32_t baud)
{
    static constexpr std::uint32_t Codes[24] = {
        110, 300, 600, 1200,  2400, 4800, 9600, 14400,  19200, 0, 0, 38400,
        0,   0,   0,   56000, 0,    0,    0,    128000, 0,     0, 0, 256000,
    };
    if (baud == 0xFEFF) {
        return 115200;
    }
    if (baud >= 0xFF10 && baud <= 0xFF27 && Codes[baud - 0xFF10] != 0) {
        return Codes[baud - 0xFF10];
    }
    return baud;
}

int TSerBaseDispatcher::ApplyLineState(TLineState& state)
{
    Lock lock(mainLock);
    if (!dtrHandshake) {
        SetDtrControl(state, dtrOn ? platform::DtrControlEnable : platform::DtrControlDisable);
    }
    if (!rtsHandshake) {
        SetRtsControl(state, rtsOn ? platform::RtsControlEnable : platform::RtsControlDisable);
    }
    const int result = SetLineState(state);
    currentBaud = state.baudRate;
    // A line-state write may drop the lines; the remembered levels win.
    SetDtr(dtrOn ? 1 : 0);
    if (!rs485Enabled) {
        SetRts(rtsOn ? 1 : 0);
    }
    return result;
}

int TSerBaseDispatcher::SetLine(std::uint32_t baud, std::uint8_t parity, std::uint8_t dataBits,
                                std::uint8_t stopBits)
{
    TLineState current;
    std::uint8_t stopCode = 0;
    {
        Lock lock(mainLock);
        GetLineState(lineState);
        current = lineState;
        if (baud == KeepBaud) {
            baud = current.baudRate;
        }
        if (parity == KeepParity) {
            parity = current.parity;
        }
        if (dataBits == KeepDataBits) {
            dataBits = current.byteSize;
        }
        if (stopBits == KeepStopBits) {
            stopCode = current.stopBits;
        } else {
            stopCode = stopBits >= 2 ? platform::TwoStopBits : platform::OneStopBit;
        }
        if (dataBits == 5) {
            stopCode = platform::One5StopBits;
        }
        if (baud == current.baudRate && parity == current.parity && dataBits == current.byteSize &&
            stopCode == current.stopBits) {
            return 0;
        }
    }

    // Let the bytes still queued leave at the old settings, then wait out the
    // last character in the shift register.
    for (int i = 0; i < DrainPolls && OutputUsed() > 0; ++i) {
        SleepMs(DrainPollMs);
    }
    const std::uint32_t rate = SerBaudFromCode(currentBaud);
    if (rate != 0) {
        std::uint32_t bits = current.byteSize + 2u;
        bits += current.parity != 0 ? 1 : 0;
        bits += current.stopBits != platform::OneStopBit ? 1 : 0;
        const std::uint64_t t = std::uint64_t{10000000u / rate} * bits;
        std::uint64_t d = 18 * t;
        if (d < 10000) {
            d *= 2;
        }
        SleepMs(static_cast<std::uint32_t>((d + 9999) / 10000));
    }

    Lock lock(mainLock);
    GetLineState(lineState);
    lineState.baudRate = baud;
    lineState.parity = parity;
    lineState.byteSize = dataBits;
    lineState.stopBits = stopCode;
    return ApplyLineState(lineState);
}

int TSerBaseDispatcher::GetLineSettings(std::uint32_t& baud, std::uint8_t& parity,
                                        std::uint8_t& stopBits, std::uint8_t& dataBits)
{
    Lock lock(mainLock);
    const int result = GetLineState(lineState);
    baud = SerBaudFromCode(lineState.baudRate);
    parity = lineState.parity;
    stopBits = lineState.stopBits != platform::OneStopBit ? 2 : 1;
    dataBits = lineState.byteSize;
    return result;
}

int TSerBaseDispatcher::SetHardwareFlow(std::uint32_t bufferFull, std::uint32_t bufferResume,
                                        std::uint8_t options)
{
    if (bufferFull < bufferResume || bufferFull > inQueueSize) {
        return DispBadArgument;
    }
    Lock lock(mainLock);
    GetLineState(lineState);
    const bool dtrWas = dtrHandshake;
    const bool rtsWas = rtsHandshake;
    lineState.flags &= ~(platform::DcbOutxCtsFlow | platform::DcbOutxDsrFlow |
                         platform::DcbDtrControlMask | platform::DcbRtsControlMask);
    dtrHandshake = false;
    rtsHandshake = false;
    if (options & HwUseDtr) {
        SetDtrControl(lineState, platform::DtrControlHandshake);
        dtrHandshake = true;
    } else if (dtrOn) {
        SetDtrControl(lineState, platform::DtrControlEnable);
    }
    if (options & HwUseRts) {
        SetRtsControl(lineState, platform::RtsControlHandshake);
        rtsHandshake = true;
    } else if (rtsOn) {
        SetRtsControl(lineState, platform::RtsControlEnable);
    }
    if (rs485Enabled && IsNtPlatform()) {
        SetRtsControl(lineState, platform::RtsControlToggle);
        rtsHandshake = true;
    }
    lineState.xoffLim = static_cast<std::uint16_t>(inQueueSize - bufferFull);
    lineState.xonLim = static_cast<std::uint16_t>(bufferResume);
    if (options & HwRequireDsr) {
        lineState.flags |= platform::DcbOutxDsrFlow;
    }
    if (options & HwRequireCts) {
        lineState.flags |= platform::DcbOutxCtsFlow;
    }
    return ApplyOrRestore(dtrWas, rtsWas);
}

int TSerBaseDispatcher::ApplyOrRestore(bool dtrWas, bool rtsWas)
{
    const int result = ApplyLineState(lineState);
    if (result < 0) {
        // The line kept its old state: so do the handshake flags, or DTR and
        // RTS would stay stuck (SetDtr and SetRts doing nothing).
        dtrHandshake = dtrWas;
        rtsHandshake = rtsWas;
        GetLineState(lineState);
        SetDtr(dtrOn ? 1 : 0);
        if (!rs485Enabled) {
            SetRts(rtsOn ? 1 : 0);
        }
    }
    return result;
}

int TSerBaseDispatcher::SetSoftwareFlow(std::uint32_t bufferFull, std::uint32_t bufferResume,
                                        std::uint8_t options)
{
    if (bufferFull < bufferResume || bufferFull > inQueueSize) {
        return DispBadArgument;
    }
    Lock lock(mainLock);
    GetLineState(lineState);
    // A side left out of the options is switched off, so that narrowing the
    // options takes effect.
    lineState.flags &= ~(platform::DcbInX | platform::DcbOutX);
    if (options & SwReceive) {
        lineState.flags |= platform::DcbInX;
        lineState.xoffLim = static_cast<std::uint16_t>(inQueueSize - bufferFull);
        lineState.xonLim = static_cast<std::uint16_t>(bufferResume);
    }
    if (options & SwTransmit) {
        lineState.flags |= platform::DcbOutX;
    }
    if (options & (SwReceive | SwTransmit)) {
        lineState.xonChar = 17;
        lineState.xoffChar = 19;
    }
    return ApplyLineState(lineState);
}

int TSerBaseDispatcher::ClearSoftwareFlow()
{
    Lock lock(mainLock);
    GetLineState(lineState);
    lineState.flags &= ~(platform::DcbInX | platform::DcbOutX);
    return ApplyLineState(lineState);
}

int TSerBaseDispatcher::SetFlowChars(std::uint8_t xon, std::uint8_t xoff)
{
    Lock lock(mainLock);
    GetLineState(lineState);
    lineState.xonChar = xon;
    lineState.xoffChar = xoff;
    return ApplyLineState(lineState);
}

int TSerBaseDispatcher::GetFlowSettings(std::uint8_t& hwOptions, std::uint8_t& swOptions,
                                        std::uint8_t& xoff, std::uint8_t& xon)
{
    Lock lock(mainLock);
    const int result = GetLineState(lineState);
    const std::uint32_t flags = lineState.flags;
    hwOptions = 0;
    if ((flags & platform::DcbDtrControlMask) == platform::DtrControlHandshake) {
        hwOptions |= HwUseDtr;
    }
    if ((flags & platform::DcbRtsControlMask) == platform::RtsControlHandshake) {
        hwOptions |= HwUseRts;
    }
    if (flags & platform::DcbOutxDsrFlow) {
        hwOptions |= HwRequireDsr;
    }
    if (flags & platform::DcbOutxCtsFlow) {
        hwOptions |= HwRequireCts;
    }
    swOptions = 0;
    if (flags & platform::DcbOutX) {
        swOptions |= SwTransmit;
    }
    if (flags & platform::DcbInX) {
        swOptions |= SwReceive;
    }
    xoff = lineState.xoffChar;
    xon = lineState.xonChar;
    return result;
}

int TSerBaseDispatcher::SetDtr(int on)
{
    if (dtrHandshake) {
        return 1;
    }
    const bool level = on == 1;
    const int result = EscapeFunction(level ? platform::EscSetDtr : platform::EscClrDtr);
    dtrOn = level;
    return result == 0 ? 0 : DispBadArgument;
}

int TSerBaseDispatcher::SetRts(int on)
{
    if (rtsHandshake) {
        return 1;
    }
    const bool level = on == 1;
    const int result = EscapeFunction(level ? platform::EscSetRts : platform::EscClrRts);
    rtsOn = level;
    return result == 0 ? 0 : DispBadArgument;
}

int TSerBaseDispatcher::SetRs485(bool on)
{
    Lock lock(mainLock);
    const bool was = rs485Enabled;
    rs485Enabled = on;
    if (on && !IsNtPlatform()) {
        uartBaseAddress = static_cast<std::uint16_t>(EscapeFunction(platform::EscGetBaseAddress));
    }
    ApplyThreadPriorities();
    if (!IsNtPlatform()) {
        return 0; // the transmitter turns the line around itself
    }
    // The driver turns the line around (RTS toggle): on or off, it reaches
    // the line now, not only with the next hardware flow setting.
    GetLineState(lineState);
    const bool dtrWas = dtrHandshake;
    const bool rtsWas = rtsHandshake;
    if (on) {
        SetRtsControl(lineState, platform::RtsControlToggle);
        rtsHandshake = true;
    } else if ((lineState.flags & platform::DcbRtsControlMask) == platform::RtsControlToggle) {
        rtsHandshake = false; // RTS goes back to its remembered level
    }
    const int result = ApplyOrRestore(dtrWas, rtsWas);
    if (result < 0) {
        rs485Enabled = was;
        ApplyThreadPriorities();
    }
    return result;
}

void TSerBaseDispatcher::SetThreadBoost(std::uint8_t boost)
{
    Lock lock(mainLock);
    if (boost == threadBoost) {
        return;
    }
    threadBoost = boost;
    ApplyThreadPriorities();
}

void TSerBaseDispatcher::SetOptionBits(std::uint32_t bits)
{
    Lock lock(mainLock);
    optionFlags |= bits;
}

void TSerBaseDispatcher::ClearOptionBits(std::uint32_t bits)
{
    Lock lock(mainLock);
    optionFlags &= ~bits;
}

std::uint8_t TSerBaseDispatcher::GetModemStatus(std::uint8_t keepMask)
{
    Lock lock(mainLock);
    modemStatusByte =
        static_cast<std::uint8_t>((ReadModemLines() & 0xF0) | (modemStatusByte & 0x0F));
    if (ringSeen.exchange(false)) {
        modemStatusByte |= ModemTrailingRing;
    }
    const std::uint8_t result = modemStatusByte;
    modemStatusByte &= keepMask;
    return result;
}

void TSerBaseDispatcher::UpdateModemChanges()
{
    Lock lock(mainLock);
    const std::uint8_t before = modemStatusByte;
    GetModemStatus(0xFF);
    modemStatusByte |= static_cast<std::uint8_t>(((before ^ modemStatusByte) & 0xF0) >> 4);
}

void TSerBaseDispatcher::RefreshLineErrors()
{
    lineErrorBits.fetch_or(ReadErrorsLocked() & 0x1F);
}

int TSerBaseDispatcher::GetLineError()
{
    static constexpr struct {
        std::uint32_t bit;
        int code;
    } Order[] = {{platform::CeRxOver, 1},
                 {platform::CeOverrun, 2},
                 {platform::CeRxParity, 3},
                 {platform::CeFrame, 4},
                 {platform::CeBreak, 9}};
    Lock lock(mainLock);
    std::uint32_t bits = lineErrorBits.load();
    for (;;) {
        int code = 0;
        for (const auto& e : Order) {
            if (bits & e.bit) {
                code = e.code;
                break;
            }
        }
        if (code == 0) {
            return 0;
        }
        // The break stays for CheckLineBreak.
        if (lineErrorBits.compare_exchange_weak(bits, bits & ~0x0Fu)) {
            return code;
        }
    }
}

bool TSerBaseDispatcher::CheckLineBreak()
{
    Lock lock(mainLock);
    return (lineErrorBits.fetch_and(~platform::CeBreak) & platform::CeBreak) != 0;
}

std::uint8_t TSerBaseDispatcher::ModemStatusByte()
{
    Lock lock(mainLock);
    return modemStatusByte;
}

std::uint32_t TSerBaseDispatcher::OptionFlags()
{
    Lock lock(mainLock);
    return optionFlags;
}
