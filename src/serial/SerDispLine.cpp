// Line control and status of TSerBaseDispatcher: line settings, flow control,
// DTR/RTS, RS-485, thread boost, modem status and line errors.
#include "serial/SerDisp.h"

namespace {

using Lock = platform::LockGuard<platform::RecursiveMutex>;

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

// A flow control stops the sender at bufferFull and resumes it at
// bufferResume: not above the receive queue, and not the other way round.
bool FlowLevelsFit(std::uint32_t bufferFull, std::uint32_t bufferResume, std::uint32_t inSize)
{
    return bufferResume <= bufferFull && bufferFull <= inSize;
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

int TSerBaseDispatcher::ApplyLineStateLocked(TLineState& state)
{
    if (!registry.dtrHandshake) {
        SetDtrControl(state,
                      registry.dtrOn ? platform::DtrControlEnable : platform::DtrControlDisable);
    }
    if (!registry.rtsHandshake) {
        SetRtsControl(state,
                      registry.rtsOn ? platform::RtsControlEnable : platform::RtsControlDisable);
    }
    const int result = SetLineState(state);
    registry.currentBaud = state.baudRate;
    // A line-state write may drop the lines; the remembered levels win.
    ReapplyLevelsLocked();
    return result;
}

void TSerBaseDispatcher::ReapplyLevelsLocked()
{
    SetLineLevelLocked(registry.dtrOn, registry.dtrHandshake, registry.dtrOn ? 1 : 0,
                       platform::EscSetDtr, platform::EscClrDtr);
    if (!registry.rs485Enabled) {
        SetLineLevelLocked(registry.rtsOn, registry.rtsHandshake, registry.rtsOn ? 1 : 0,
                           platform::EscSetRts, platform::EscClrRts);
    }
}

int TSerBaseDispatcher::SetLine(std::uint32_t baud, std::uint8_t parity, std::uint8_t dataBits,
                                std::uint8_t stopBits)
{
    TLineState current;
    std::uint8_t stopCode = 0;
    std::uint32_t oldBaud = 0;
    {
        Lock lock(registry.mainLock);
        GetLineState(registry.lineState);
        current = registry.lineState;
        oldBaud = registry.currentBaud;
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
    DrainAtOldSettings(current, oldBaud);

    Lock lock(registry.mainLock);
    GetLineState(registry.lineState);
    registry.lineState.baudRate = baud;
    registry.lineState.parity = parity;
    registry.lineState.byteSize = dataBits;
    registry.lineState.stopBits = stopCode;
    return ApplyLineStateLocked(registry.lineState);
}

// Lets the bytes still queued leave at the old settings, then waits out the
// last character in the shift register.
void TSerBaseDispatcher::DrainAtOldSettings(const TLineState& old, std::uint32_t oldBaud)
{
    for (int i = 0; i < DrainPolls && OutputUsed() > 0; ++i) {
        SleepMs(DrainPollMs);
    }
    const std::uint32_t rate = SerBaudFromCode(oldBaud);
    if (rate == 0) {
        return;
    }
    std::uint32_t bits = old.byteSize + 2u;
    bits += old.parity != 0 ? 1 : 0;
    bits += old.stopBits != platform::OneStopBit ? 1 : 0;
    const std::uint64_t t = std::uint64_t{10000000u / rate} * bits;
    std::uint64_t d = 18 * t;
    if (d < 10000) {
        d *= 2;
    }
    SleepMs(static_cast<std::uint32_t>((d + 9999) / 10000));
}

int TSerBaseDispatcher::GetLineSettings(std::uint32_t& baud, std::uint8_t& parity,
                                        std::uint8_t& stopBits, std::uint8_t& dataBits)
{
    Lock lock(registry.mainLock);
    const int result = GetLineState(registry.lineState);
    baud = SerBaudFromCode(registry.lineState.baudRate);
    parity = registry.lineState.parity;
    stopBits = registry.lineState.stopBits != platform::OneStopBit ? 2 : 1;
    dataBits = registry.lineState.byteSize;
    return result;
}

int TSerBaseDispatcher::SetHardwareFlow(std::uint32_t bufferFull, std::uint32_t bufferResume,
                                        std::uint8_t options)
{
    const std::uint32_t inSize = inQueueSize.load();
    if (!FlowLevelsFit(bufferFull, bufferResume, inSize)) {
        return DispBadArgument;
    }
    Lock lock(registry.mainLock);
    GetLineState(registry.lineState);
    const bool dtrWas = registry.dtrHandshake;
    const bool rtsWas = registry.rtsHandshake;
    registry.lineState.flags &= ~(platform::DcbOutxCtsFlow | platform::DcbOutxDsrFlow |
                                  platform::DcbDtrControlMask | platform::DcbRtsControlMask);
    registry.dtrHandshake = false;
    registry.rtsHandshake = false;
    if (options & HwUseDtr) {
        SetDtrControl(registry.lineState, platform::DtrControlHandshake);
        registry.dtrHandshake = true;
    } else if (registry.dtrOn) {
        SetDtrControl(registry.lineState, platform::DtrControlEnable);
    }
    if (options & HwUseRts) {
        SetRtsControl(registry.lineState, platform::RtsControlHandshake);
        registry.rtsHandshake = true;
    } else if (registry.rtsOn) {
        SetRtsControl(registry.lineState, platform::RtsControlEnable);
    }
    if (registry.rs485Enabled) {
        SetRtsControl(registry.lineState, platform::RtsControlToggle);
        registry.rtsHandshake = true;
    }
    registry.lineState.xoffLim = static_cast<std::uint16_t>(inSize - bufferFull);
    registry.lineState.xonLim = static_cast<std::uint16_t>(bufferResume);
    if (options & HwRequireDsr) {
        registry.lineState.flags |= platform::DcbOutxDsrFlow;
    }
    if (options & HwRequireCts) {
        registry.lineState.flags |= platform::DcbOutxCtsFlow;
    }
    return ApplyOrRestoreLocked(dtrWas, rtsWas);
}

int TSerBaseDispatcher::ApplyOrRestoreLocked(bool dtrWas, bool rtsWas)
{
    const int result = ApplyLineStateLocked(registry.lineState);
    if (result < 0) {
        // The line kept its old state: so do the handshake flags, or DTR and
        // RTS would stay stuck (SetDtr and SetRts doing nothing).
        registry.dtrHandshake = dtrWas;
        registry.rtsHandshake = rtsWas;
        GetLineState(registry.lineState);
        ReapplyLevelsLocked();
    }
    return result;
}

int TSerBaseDispatcher::SetSoftwareFlow(std::uint32_t bufferFull, std::uint32_t bufferResume,
                                        std::uint8_t options)
{
    const std::uint32_t inSize = inQueueSize.load();
    if (!FlowLevelsFit(bufferFull, bufferResume, inSize)) {
        return DispBadArgument;
    }
    Lock lock(registry.mainLock);
    GetLineState(registry.lineState);
    // A side left out of the options is switched off, so that narrowing the
    // options takes effect.
    registry.lineState.flags &= ~(platform::DcbInX | platform::DcbOutX);
    if (options & SwReceive) {
        registry.lineState.flags |= platform::DcbInX;
        registry.lineState.xoffLim = static_cast<std::uint16_t>(inSize - bufferFull);
        registry.lineState.xonLim = static_cast<std::uint16_t>(bufferResume);
    }
    if (options & SwTransmit) {
        registry.lineState.flags |= platform::DcbOutX;
    }
    if (options & (SwReceive | SwTransmit)) {
        registry.lineState.xonChar = platform::XonChar;
        registry.lineState.xoffChar = platform::XoffChar;
    }
    return ApplyLineStateLocked(registry.lineState);
}

int TSerBaseDispatcher::ClearSoftwareFlow()
{
    Lock lock(registry.mainLock);
    GetLineState(registry.lineState);
    registry.lineState.flags &= ~(platform::DcbInX | platform::DcbOutX);
    return ApplyLineStateLocked(registry.lineState);
}

int TSerBaseDispatcher::SetFlowChars(std::uint8_t xon, std::uint8_t xoff)
{
    Lock lock(registry.mainLock);
    GetLineState(registry.lineState);
    registry.lineState.xonChar = xon;
    registry.lineState.xoffChar = xoff;
    return ApplyLineStateLocked(registry.lineState);
}

int TSerBaseDispatcher::GetFlowSettings(std::uint8_t& hwOptions, std::uint8_t& swOptions,
                                        std::uint8_t& xoff, std::uint8_t& xon)
{
    Lock lock(registry.mainLock);
    const int result = GetLineState(registry.lineState);
    const std::uint32_t flags = registry.lineState.flags;
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
    xoff = registry.lineState.xoffChar;
    xon = registry.lineState.xonChar;
    return result;
}

int TSerBaseDispatcher::SetLineLevelLocked(bool& level, bool handshake, int on,
                                           std::uint32_t setEscape, std::uint32_t clearEscape)
{
    if (handshake) {
        return 1;
    }
    const bool high = on == 1;
    const int result = EscapeFunction(static_cast<int>(high ? setEscape : clearEscape));
    level = high;
    return result == 0 ? 0 : DispBadArgument;
}

int TSerBaseDispatcher::SetDtr(int on)
{
    Lock lock(registry.mainLock);
    return SetLineLevelLocked(registry.dtrOn, registry.dtrHandshake, on, platform::EscSetDtr,
                              platform::EscClrDtr);
}

int TSerBaseDispatcher::SetRts(int on)
{
    Lock lock(registry.mainLock);
    return SetLineLevelLocked(registry.rtsOn, registry.rtsHandshake, on, platform::EscSetRts,
                              platform::EscClrRts);
}

int TSerBaseDispatcher::SetRs485(bool on)
{
    Lock lock(registry.mainLock);
    const bool was = registry.rs485Enabled;
    registry.rs485Enabled = on;
    ApplyThreadPriorities(registry.rs485Enabled, registry.threadBoost);
    // The driver turns the line around (RTS toggle): on or off, it reaches
    // the line now, not only with the next hardware flow setting.
    GetLineState(registry.lineState);
    const bool dtrWas = registry.dtrHandshake;
    const bool rtsWas = registry.rtsHandshake;
    if (on) {
        SetRtsControl(registry.lineState, platform::RtsControlToggle);
        registry.rtsHandshake = true;
    } else if ((registry.lineState.flags & platform::DcbRtsControlMask) ==
               platform::RtsControlToggle) {
        registry.rtsHandshake = false; // RTS goes back to its remembered level
    }
    const int result = ApplyOrRestoreLocked(dtrWas, rtsWas);
    if (result < 0) {
        registry.rs485Enabled = was;
        ApplyThreadPriorities(registry.rs485Enabled, registry.threadBoost);
    }
    return result;
}

void TSerBaseDispatcher::SetThreadBoost(std::uint8_t boost)
{
    Lock lock(registry.mainLock);
    if (boost == registry.threadBoost) {
        return;
    }
    registry.threadBoost = boost;
    ApplyThreadPriorities(registry.rs485Enabled, registry.threadBoost);
}

void TSerBaseDispatcher::SetOptionBits(std::uint32_t bits)
{
    Lock lock(registry.mainLock);
    registry.optionFlags |= bits;
}

void TSerBaseDispatcher::ClearOptionBits(std::uint32_t bits)
{
    Lock lock(registry.mainLock);
    registry.optionFlags &= ~bits;
}

std::uint8_t TSerBaseDispatcher::GetModemStatusLocked(std::uint8_t keepMask)
{
    std::uint8_t& status = registry.modemStatusByte;
    status = static_cast<std::uint8_t>((ReadModemLines() & ModemLevels) | (status & ModemDeltas));
    if (ringSeen.exchange(false)) {
        status |= ModemTrailingRing;
    }
    const std::uint8_t result = status;
    status &= keepMask;
    return result;
}

std::uint8_t TSerBaseDispatcher::GetModemStatus(std::uint8_t keepMask)
{
    Lock lock(registry.mainLock);
    return GetModemStatusLocked(keepMask);
}

void TSerBaseDispatcher::UpdateModemChanges()
{
    Lock lock(registry.mainLock);
    std::uint8_t& status = registry.modemStatusByte;
    const std::uint8_t before = status;
    GetModemStatusLocked(0xFF);
    // Each level that changed marks its delta bit, four places lower.
    status |= static_cast<std::uint8_t>(((before ^ status) & ModemLevels) >> 4);
}

void TSerBaseDispatcher::RefreshLineErrors()
{
    lineErrorBits.fetch_or(RefreshCommStatus() & platform::CeLineErrors);
}

int TSerBaseDispatcher::GetLineError()
{
    static constexpr struct {
        std::uint32_t bit;
        int code;
    } Order[] = {{platform::CeRxOver, LineErrorRxOver},
                 {platform::CeOverrun, LineErrorOverrun},
                 {platform::CeRxParity, LineErrorParity},
                 {platform::CeFrame, LineErrorFrame},
                 {platform::CeBreak, LineErrorBreak}};
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
        if (lineErrorBits.compare_exchange_weak(
                bits, bits & ~(platform::CeLineErrors & ~platform::CeBreak))) {
            return code;
        }
    }
}

bool TSerBaseDispatcher::CheckLineBreak()
{
    return (lineErrorBits.fetch_and(~platform::CeBreak) & platform::CeBreak) != 0;
}

std::uint8_t TSerBaseDispatcher::ModemStatusByte()
{
    Lock lock(registry.mainLock);
    return registry.modemStatusByte;
}

std::uint32_t TSerBaseDispatcher::OptionFlags()
{
    Lock lock(registry.mainLock);
    return registry.optionFlags;
}
