// The port component's settings: stored while closed, applied to the
// dispatcher at once while open.
#include "serial/SerPort.h"

#include "SerPortScope.h"

#include "serial/SerExcept.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace {

constexpr std::uintptr_t MaxShortString = 255;

// Nearest integer, ties to even (the threshold rule: 409.5 gives 410, 368.5 gives 368).
std::uint16_t RoundEven(double value)
{
    return static_cast<std::uint16_t>(std::nearbyint(value));
}

// The dispatcher's trace or its log: the same steps for either.
class TRecorder {
public:
    TRecorder(TSerBaseDispatcher& d, bool log) : d(d), log(log) {}

    std::int32_t Init(std::uint32_t size) { return log ? d.InitLog(size) : d.InitTrace(size); }
    void Abort() { log ? d.AbortLog() : d.AbortTrace(); }
    void Resume() { log ? d.StartLog() : d.StartTrace(); }
    void Pause() { log ? d.StopLog() : d.StopTrace(); }
    std::int32_t Clear()
    {
        if (!log) {
            return d.ClearTrace();
        }
        d.ClearLog();
        return 0;
    }
    std::int32_t Save(bool append, const std::string& name, bool hex, bool allHex)
    {
        if (log) {
            return append ? d.AppendLog(name, hex, allHex) : d.DumpLog(name, hex, allHex);
        }
        return append ? d.AppendTrace(name, hex, allHex) : d.DumpTrace(name, hex, allHex);
    }

private:
    TSerBaseDispatcher& d;
    bool log;
};

} // namespace

// ---------------------------------------------------------------------------
// Settings

void TSerCustomComPort::SetDeviceLayer(TDeviceLayer value)
{
    if (value == deviceLayer || linkState != lsClosed || !SupportsLayer(value)) {
        return;
    }
    deviceLayer = value;
    DeviceLayerChanged();
}

void TSerCustomComPort::SetComNumber(std::uint16_t value)
{
    if (value == comNumber) {
        return;
    }
    const bool wasOpen = IsPortOpen();
    TTraceLogState formerTracing = tracing;
    TTraceLogState formerLogging = logging;
    if (wasOpen) {
        dispatcher->SaveTriggers(savedTriggers);
        SetOpen(false);
    }
    comNumber = value;
    if (!wasOpen) {
        return;
    }
    SetTracing(formerTracing);
    SetLogging(formerLogging);
    SetOpen(true);
    // The open restored the snapshot already unless it was put off until a
    // deferred close completes, which restores it then.
    if (IsPortOpen()) {
        dispatcher->RestoreTriggers(savedTriggers);
    }
}

void TSerCustomComPort::SetBaud(std::int32_t value)
{
    // No speed at all: 0 would keep the old speed silently at the next
    // open, and on a UART speed 0 hangs the line up (DTR drops).
    if (value <= 0) {
        CheckError(this, ecBadArgument);
        return;
    }
    baud = value;
    if (IsPortOpen()) {
        CheckError(this, dispatcher->SetLine(static_cast<std::uint32_t>(baud),
                                             static_cast<std::uint8_t>(parity),
                                             static_cast<std::uint8_t>(dataBits),
                                             static_cast<std::uint8_t>(stopBits)));
    }
}

void TSerCustomComPort::SetParity(TParity value)
{
    parity = value;
    SetBaud(baud);
}

void TSerCustomComPort::SetDataBits(std::uint16_t value)
{
    dataBits = value;
    SetBaud(baud);
}

void TSerCustomComPort::SetStopBits(std::uint16_t value)
{
    stopBits = value;
    SetBaud(baud);
}

void TSerCustomComPort::SetInSize(std::uint16_t value)
{
    inSize = value;
    if (IsPortOpen()) {
        // The driver keeps its own queue sizes when it cannot change them.
        dispatcher->SetupQueues(inSize, outSize);
    }
}

void TSerCustomComPort::SetOutSize(std::uint16_t value)
{
    outSize = value;
    if (IsPortOpen()) {
        dispatcher->SetupQueues(inSize, outSize);
    }
}

void TSerCustomComPort::SetOpen(bool value)
{
    if (value == open) {
        return;
    }
    if (Loading()) {
        open = value;
        if (value) {
            openAfterLoad = true;
        }
        return;
    }
    if (!value) {
        ClosePort();
    } else if (linkState == lsClosed) {
        OpenPort();
    } else {
        reopenPending = true;
    }
}

template <class T, class Apply>
void TSerCustomComPort::StoreAndApply(T value, T& setting, Apply apply)
{
    if (value == setting && !forceApply) {
        return;
    }
    setting = value;
    if (IsPortOpen()) {
        apply(*dispatcher);
    }
}

void TSerCustomComPort::SetLineLevel(bool value, bool& level, int (TSerBaseDispatcher::*set)(int))
{
    if (value == level && !forceApply) {
        return;
    }
    if (!IsPortOpen()) {
        level = value;
        return;
    }
    if (CheckError(this, ((*dispatcher).*set)(value ? 1 : 0)) == 0) {
        level = value;
    }
}

void TSerCustomComPort::SetDTR(bool value)
{
    SetLineLevel(value, dtr, &TSerBaseDispatcher::SetDtr);
}

void TSerCustomComPort::SetRTS(bool value)
{
    SetLineLevel(value, rts, &TSerBaseDispatcher::SetRts);
}

void TSerCustomComPort::DefaultBufferLevels(double fullShare, double resumeShare)
{
    if (bufferFull == 0 || bufferFull > inSize) {
        bufferFull = RoundEven(inSize * fullShare);
    }
    if (bufferResume == 0 || bufferResume > bufferFull) {
        bufferResume = RoundEven(inSize * resumeShare);
    }
}

void TSerCustomComPort::SetHWFlowOptions(THWFlowOptionSet value)
{
    if (value == hwFlowOptions && !forceApply) {
        return;
    }
    if (!value.Empty()) {
        DefaultBufferLevels(0.9, 0.1);
    }
    if (IsPortOpen()) {
        CheckError(this, dispatcher->SetHardwareFlow(bufferFull, bufferResume, value.Bits()));
    }
    hwFlowOptions = value;
    if (value.Contains(hwfUseRTS) || value.Contains(hwfRequireCTS)) {
        SetRS485Mode(false);
    }
}

void TSerCustomComPort::SetSWFlowOptions(TSWFlowOptions value)
{
    if (value == swFlowOptions && !forceApply) {
        return;
    }
    static constexpr std::uint8_t Option[4] = {0, 2, 1, 3};
    const std::uint8_t option = Option[value & 3];
    if (option != 0) {
        DefaultBufferLevels(0.75, 0.25);
    }
    if (IsPortOpen()) {
        CheckError(this, option != 0 ? dispatcher->SetSoftwareFlow(bufferFull, bufferResume, option)
                                     : dispatcher->ClearSoftwareFlow());
    }
    swFlowOptions = value;
}

void TSerCustomComPort::ReapplyFlowControl()
{
    TFlagScope force(forceApply);
    SetHWFlowOptions(hwFlowOptions);
    SetSWFlowOptions(swFlowOptions);
}

void TSerCustomComPort::SetBufferFull(std::uint16_t value)
{
    if (value == bufferFull && !forceApply) {
        return;
    }
    bufferFull = value > inSize ? RoundEven(inSize * 0.9) : value;
    ReapplyFlowControl();
}

void TSerCustomComPort::SetBufferResume(std::uint16_t value)
{
    if (value == bufferResume && !forceApply) {
        return;
    }
    bufferResume = value > bufferFull ? RoundEven(bufferFull * 0.1) : value;
    ReapplyFlowControl();
}

void TSerCustomComPort::SetFlowChar(char value, char& flowChar)
{
    StoreAndApply(value, flowChar, [this](TSerBaseDispatcher& d) {
        CheckError(this, d.SetFlowChars(static_cast<std::uint8_t>(xOnChar),
                                        static_cast<std::uint8_t>(xOffChar)));
    });
}

void TSerCustomComPort::SetXOnChar(char value)
{
    SetFlowChar(value, xOnChar);
}

void TSerCustomComPort::SetXOffChar(char value)
{
    SetFlowChar(value, xOffChar);
}

void TSerCustomComPort::SetTracing(TTraceLogState value)
{
    ApplyTraceState(value, false);
}

void TSerCustomComPort::SetLogging(TTraceLogState value)
{
    ApplyTraceState(value, true);
}

void TSerCustomComPort::ApplyTraceState(TTraceLogState value, bool log)
{
    TTraceLogState& state = log ? logging : tracing;
    if (value == state && !forceApply) {
        return;
    }
    if (!IsPortOpen()) {
        state = value == tlOn ? tlOn : tlOff;
        return;
    }
    TRecorder recorder(*dispatcher, log);
    const bool running = state == tlOn || state == tlPause;
    switch (value) {
    case tlOff:
        if (running) {
            recorder.Abort();
            state = tlOff;
        }
        break;
    case tlOn:
        if (state == tlPause) {
            recorder.Resume();
        } else {
            CheckError(this, recorder.Init(log ? logSize : traceSize));
        }
        state = tlOn;
        break;
    case tlDump:
    case tlAppend:
        if (running) {
            recorder.Resume();
            // The recorder is released whether or not the file could be written.
            state = tlOff;
            CheckError(this,
                       log ? recorder.Save(value == tlAppend, logName, logHex, logAllHex)
                           : recorder.Save(value == tlAppend, traceName, traceHex, traceAllHex));
        }
        break;
    case tlClear:
        if (running) {
            CheckError(this, recorder.Clear());
        }
        break;
    case tlPause:
        if (state == tlOn) {
            recorder.Pause();
            state = tlPause;
        }
        break;
    }
}

void TSerCustomComPort::SetRecorderSize(std::uint32_t value, bool log)
{
    std::uint32_t& size = log ? logSize : traceSize;
    value = std::min(value, log ? MaxLogSize : MaxTraceSize);
    if (value == size) {
        return;
    }
    size = value;
    const TTraceLogState former = log ? logging : tracing;
    if (IsPortOpen() && (former == tlOn || former == tlPause)) {
        // A running recorder starts again, empty, at the new size; a paused one stays off.
        ApplyTraceState(tlOff, log);
        ApplyTraceState(former, log);
    }
}

void TSerCustomComPort::SetTraceSize(std::uint32_t value)
{
    SetRecorderSize(value, false);
}

void TSerCustomComPort::SetLogSize(std::uint32_t value)
{
    SetRecorderSize(value, true);
}

void TSerCustomComPort::SetTraceName(const std::string& value)
{
    traceName = CutText(value, MaxShortString);
}

void TSerCustomComPort::SetLogName(const std::string& value)
{
    logName = CutText(value, MaxShortString);
}

void TSerCustomComPort::SetUseMSRShadow(bool) {}

void TSerCustomComPort::SetUseEventWord(bool value)
{
    StoreAndApply(value, useEventWord, [value](TSerBaseDispatcher& d) {
        if (value) {
            d.SetOptionBits(OptionUseEventWord);
        } else {
            d.ClearOptionBits(OptionUseEventWord);
        }
    });
}

void TSerCustomComPort::SetRS485Mode(bool value)
{
    if (value == rs485Mode && !forceApply) {
        return;
    }
    if (IsPortOpen()) {
        // A driver without RS-485 mode refuses it; the mode stays as it was.
        CheckError(this, dispatcher->SetRs485(value));
    }
    rs485Mode = value;
    if (value) {
        // The driver turns the line around with RTS: nothing else may use it.
        SetHWFlowOptions(hwFlowOptions.Without({hwfUseRTS, hwfRequireCTS}));
        SetRTS(false);
    }
}

void TSerCustomComPort::SetAvailTriggerLength(std::uint16_t value)
{
    StoreAndApply(value, availTriggerLength,
                  [value](TSerBaseDispatcher& d) { d.SetAvailLevel(value); });
}

void TSerCustomComPort::SetThreadPriorityBoost(std::uint8_t value)
{
    StoreAndApply(value, threadPriorityBoost,
                  [value](TSerBaseDispatcher& d) { d.SetThreadBoost(value); });
}
