#include "serial/SerPort.h"

#include "serial/SerExcept.h"
#include "serial/SerWin32.h"

#include "platform/LastError.h"
#include "platform/Sync.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>
#include <utility>

namespace {

constexpr std::uintptr_t MaxShortString = 255;

std::mutex& SelectDialogMutex()
{
    static std::mutex mutex;
    return mutex;
}

TComSelectDialog& SelectDialog()
{
    static TComSelectDialog dialog;
    return dialog;
}

// Nearest integer, ties to even (the threshold rule: 409.5 gives 410, 368.5 gives 368).
std::uint16_t RoundEven(double value)
{
    return static_cast<std::uint16_t>(std::nearbyint(value));
}

std::uint16_t LowWord(std::intptr_t value)
{
    return static_cast<std::uint16_t>(static_cast<std::uintptr_t>(value) & 0xFFFF);
}

int HandleOf(std::intptr_t lParam)
{
    return static_cast<int>((static_cast<std::uintptr_t>(lParam) >> 16) & 0xFFFF);
}

// A flag (ForceApply, an open under way) set for the length of a scope,
// put back on every path.
class TFlagScope {
public:
    explicit TFlagScope(bool& flag) : flag(flag), former(flag) { flag = true; }
    ~TFlagScope() { flag = former; }
    TFlagScope(const TFlagScope&) = delete;
    TFlagScope& operator=(const TFlagScope&) = delete;

private:
    bool& flag;
    bool former;
};

} // namespace

void SetComSelectDialog(TComSelectDialog dialog)
{
    const std::lock_guard lock(SelectDialogMutex());
    SelectDialog() = std::move(dialog);
}

// ---------------------------------------------------------------------------
// Life cycle

TSerCustomComPort::TSerCustomComPort()
    : windowLink(std::make_shared<TWindowLink>()), ownerThread(std::this_thread::get_id())
{
    windowLink->port = this;
}

TSerCustomComPort::~TSerCustomComPort()
{
    if (linkState == lsOpen) {
        try {
            ClosePort();
        } catch (...) {
            // A destructor cannot raise; the failure still reaches the display.
            HandleApplicationException(std::current_exception());
        }
    }
    {
        // A window procedure running on another thread holds the table lock
        // while it uses the component: wait for it, and keep later ones out.
        const platform::LockGuard lock(TSerBaseDispatcher::TableLock());
        windowLink->port = nullptr;
    }
    // With the window go the messages still queued for it, a pending
    // PortClosedMsg among them.
    SetNotifyWindow(false);
    FreeDispatcher(TakeDispatcher(linkState));
    TSerBaseDispatcher::FreeTriggerSnapshot(savedTriggers);
}

std::unique_ptr<TSerBaseDispatcher> TSerCustomComPort::CreateDispatcher()
{
    if (deviceLayer != dlWin32) {
        throw ENullApi(ecNullApi);
    }
    if (tapiMode == tmOn) {
        // This system has no telephony layer to hand over an open device,
        // so the open reports that none was given.
        return std::make_unique<TSerTAPI32Dispatcher>(this, 0);
    }
    return std::make_unique<TSerWin32Dispatcher>(this);
}

void TSerCustomComPort::OpenPort()
{
    // A request made while this open waits for the operator (the port
    // selection dialog runs a message loop) finds the port not open yet:
    // opening again from there would put a second open inside this one.
    if (openInProgress) {
        CheckError(this, ecCommNotOpen);
        return;
    }
    const TFlagScope opening(openInProgress);
    if (tapiMode != tmOn) {
        ValidateComNumber();
    }
    std::unique_ptr<TSerBaseDispatcher> created = CreateDispatcher();
    if (!created) {
        throw ENullApi(ecNullApi);
    }
    {
        const std::unique_lock guard(dispatcherGuard);
        dispatcher = std::move(created);
    }
    try {
        if (tapiMode == tmOn) {
            if (dispatcher->PortHandle() <= 0) {
                CheckError(this, ecNotOpenedByTapi);
            }
            std::uint32_t lineBaud = 0;
            std::uint8_t lineParity = 0, lineStop = 0, lineData = 0;
            CheckError(this, dispatcher->GetLineSettings(lineBaud, lineParity, lineStop, lineData));
            baud = static_cast<std::int32_t>(lineBaud);
            parity = static_cast<TParity>(std::min<std::uint8_t>(lineParity, pSpace));
            stopBits = lineStop;
            dataBits = lineData;
            std::uint8_t hw = 0, sw = 0, xoff = 0, xon = 0;
            CheckError(this, dispatcher->GetFlowSettings(hw, sw, xoff, xon));
            hwFlowOptions = THWFlowOptionSet::FromBits(hw);
            static constexpr TSWFlowOptions FromOption[4] = {swfNone, swfTransmit, swfReceive,
                                                             swfBoth};
            swFlowOptions = FromOption[sw & 3];
            xOnChar = static_cast<char>(xon);
            xOffChar = static_cast<char>(xoff);
        }

        OpenDispatcherPort();

        SetLinkState(lsOpen);
        UpdateHandlerFlags();
        {
            // Everything stored while closed reaches the new port.
            TFlagScope force(forceApply);
            SetTracing(tracing);
            SetLogging(logging);
            SetHWFlowOptions(hwFlowOptions);
            SetSWFlowOptions(swFlowOptions);
            SetXOnChar(xOnChar);
            SetXOffChar(xOffChar);
            SetAvailTriggerLength(availTriggerLength);
            SetDTR(dtr);
            if (deviceLayer != dlFossil) {
                SetRTS(rts);
            }
            SetUseMSRShadow(useMSRShadow);
            SetUseEventWord(useEventWord);
            SetCommNotificationLevel(commNotificationLevel);
            SetRS485Mode(rs485Mode);
            SetThreadPriorityBoost(threadPriorityBoost);
        }

        open = true;
        SetNotifyWindow(true);
        if (restoreTriggersPending) {
            restoreTriggersPending = false;
            dispatcher->RestoreTriggers(savedTriggers);
        }
        DoPortOpened();
    } catch (...) {
        open = false;
        SetNotifyWindow(false);
        FreeDispatcher(TakeDispatcher(lsClosed));
        throw;
    }
}

std::string TSerCustomComPort::DeviceName() const
{
    return tapiMode == tmOn ? std::string() : "\\\\.\\COM" + std::to_string(comNumber);
}

void TSerCustomComPort::OpenDispatcherPort()
{
    const std::string name = DeviceName();
    std::uint8_t options = 0;
    options |= dtr ? 0x01 : 0;
    options |= rts ? 0x02 : 0;
    options |= hwFlowOptions.Contains(hwfUseDTR) ? 0x10 : 0;
    options |= hwFlowOptions.Contains(hwfUseRTS) ? 0x20 : 0;
    std::int32_t result = dispatcher->OpenDispatcher(
        name.c_str(), static_cast<std::uint32_t>(baud), static_cast<std::uint8_t>(parity),
        static_cast<std::uint8_t>(dataBits), static_cast<std::uint8_t>(stopBits), inSize, outSize,
        options);
    if (result == SystemErrorCode(platform::ErrorAccessDenied)) {
        result = ecAlreadyOpen;
    } else if (result == SystemErrorCode(platform::ErrorFileNotFound) ||
               result == SystemErrorCode(platform::ErrorPathNotFound)) {
        result = ecBadId;
    }
    // The device behind the COM number, and who holds it or why it may not
    // be opened, as the device's open found out.
    CheckError(this, result, result < 0 ? platform::LastErrorDetail() : std::string());
}

void TSerCustomComPort::ValidateComNumber()
{
    if (comNumber != 0) {
        return;
    }
    if (!promptForPort) {
        throw ENoPortSelected(ecNoPortSelected);
    }
    TComSelectDialog dialog;
    {
        const std::lock_guard lock(SelectDialogMutex());
        dialog = SelectDialog();
    }
    std::uint16_t selected = 0;
    const int result = dialog ? dialog(selected) : ModalResultCancel;
    if (result != ModalResultOk) {
        throw ENoPortSelected(ecNoPortSelected);
    }
    comNumber = selected;
}

void TSerCustomComPort::ClosePort()
{
    open = false;
    if (linkState != lsOpen) {
        return;
    }
    // A trace that cannot be written or a closing handler that raises must
    // not leave the port half closed: the close goes on, the first failure
    // is raised at the end.
    std::exception_ptr failure;
    auto attempt = [&failure](auto&& step) {
        try {
            step();
        } catch (...) {
            if (!failure) {
                failure = std::current_exception();
            }
        }
    };
    attempt([this] { SetTracing(tlDump); });
    attempt([this] { SetLogging(tlDump); });
    SetLinkState(lsClosing);
    attempt([this] { DoPortClosing(); });

    dispatcher->SaveTriggers(savedTriggers);
    restoreTriggersPending = true;
    dispatcher->CloseDispatcher();
    if (dispatcher->IsCloseDeferred()) {
        // A notification is being delivered (this close may come from inside
        // it): the dispatch thread finishes the teardown, PortClosedMsg
        // releases the rest once it has.
        const std::intptr_t lParam = static_cast<std::intptr_t>(dispatcher->DispatcherHandle())
                                     << 16;
        platform::PostMessage(notifyWindow, PortClosedMsg, 0, lParam);
        platform::ProcessOnePendingMessage();
    } else {
        ReleaseDispatcher();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void TSerCustomComPort::ReleaseDispatcher()
{
    SetNotifyWindow(false);
    // Freed outside the guard: stopping the threads may deliver messages.
    FreeDispatcher(TakeDispatcher(lsClosed));
}

void TSerCustomComPort::FreeDispatcher(std::unique_ptr<TSerBaseDispatcher> d)
{
    if (d) {
        // Its threads stop while the whole object is there: they call its
        // virtual operations, which a derived class's destructor takes away.
        d->Destroy();
    }
}

void TSerCustomComPort::SetLinkState(TLinkState state)
{
    const std::unique_lock guard(dispatcherGuard);
    linkState = state;
}

std::unique_ptr<TSerBaseDispatcher> TSerCustomComPort::TakeDispatcher(TLinkState state)
{
    const std::unique_lock guard(dispatcherGuard);
    linkState = state;
    return std::move(dispatcher);
}

void TSerCustomComPort::SetNotifyWindow(bool create)
{
    if (create) {
        if (notifyWindow == 0) {
            notifyWindow = platform::CreateMessageWindow([link = windowLink](std::uint32_t msg,
                                                                             std::uintptr_t wParam,
                                                                             std::intptr_t lParam) {
                return NotifyWindowProc(link, msg, wParam, lParam);
            });
        }
        // Every new dispatcher gets the window, also one that outlived another.
        if (dispatcher) {
            // From this thread: the dispatcher reads ahead for this window on it.
            dispatcher->AddWindowHandler(notifyWindow);
        }
        return;
    }
    if (notifyWindow == 0) {
        return;
    }
    if (dispatcher) {
        dispatcher->RemoveWindowHandler(notifyWindow);
    }
    platform::DestroyMessageWindow(std::exchange(notifyWindow, 0));
}

void TSerCustomComPort::Loaded()
{
    TSerBaseComponent::Loaded();
    if (openAfterLoad) {
        open = true;
    }
    if (!open) {
        return;
    }
    openAfterLoad = false;
    try {
        OpenPort();
    } catch (...) {
        // The form loads all the same; the operator sees why the port is shut.
        open = false;
        HandleApplicationException(std::current_exception());
    }
}

void TSerCustomComPort::Assign(TSerCustomComPort& source)
{
    if (&source == this) {
        return;
    }
    SetOpen(false);
    deviceLayer = source.deviceLayer;
    comNumber = source.comNumber;
    baud = source.baud;
    promptForPort = source.promptForPort;
    parity = source.parity;
    dataBits = source.dataBits;
    stopBits = source.stopBits;
    inSize = source.inSize;
    outSize = source.outSize;
    autoOpen = source.autoOpen;
    dtr = source.dtr;
    rts = source.rts;
    hwFlowOptions = source.hwFlowOptions;
    swFlowOptions = source.swFlowOptions;
    xOnChar = source.xOnChar;
    xOffChar = source.xOffChar;
    bufferFull = source.bufferFull;
    bufferResume = source.bufferResume;
    // A closed port keeps only on or off.
    tracing = source.tracing == tlOn ? tlOn : tlOff;
    traceSize = source.traceSize;
    traceName = source.traceName;
    traceHex = source.traceHex;
    traceAllHex = source.traceAllHex;
    logging = source.logging == tlOn ? tlOn : tlOff;
    logSize = source.logSize;
    logName = source.logName;
    logHex = source.logHex;
    logAllHex = source.logAllHex;
    rs485Mode = source.rs485Mode;
    availTriggerLength = source.availTriggerLength;
    threadPriorityBoost = source.threadPriorityBoost;
    tapiMode = source.tapiMode;
    SetOnTrigger(source.onTrigger);
    SetOnTriggerAvail(source.onTriggerAvail);
    SetOnTriggerData(source.onTriggerData);
    SetOnTriggerStatus(source.onTriggerStatus);
    SetOnTriggerTimer(source.onTriggerTimer);
    onPortOpened = source.onPortOpened;
    onPortClosing = source.onPortClosing;
    if (source.IsPortOpen()) {
        source.dispatcher->SaveTriggers(savedTriggers);
        restoreTriggersPending = true;
    }
}

// ---------------------------------------------------------------------------
// Dispatcher access and data

TSerBaseDispatcher* TSerCustomComPort::Dispatcher()
{
    bool closed = false;
    {
        const std::shared_lock guard(dispatcherGuard);
        closed = !dispatcher && linkState != lsOpen;
    }
    // Only the owner opens on demand: the window that receives the
    // notifications, and the close that may be deferred to it, belong to
    // the thread that opens. Elsewhere a closed port stays closed.
    if (closed && !Loading() && autoOpen && OnOwnerThread()) {
        SetOpen(true);
    }
    const std::shared_lock guard(dispatcherGuard);
    return dispatcher.get();
}

TSerBaseDispatcher* TSerCustomComPort::RequireDispatcher()
{
    TSerBaseDispatcher* d = Dispatcher();
    if (d == nullptr) {
        CheckError(this, ecCommNotOpen);
    }
    return d;
}

template <class Op> std::int32_t TSerCustomComPort::WithDispatcher(Op op)
{
    {
        const std::shared_lock guard(dispatcherGuard);
        if (linkState == lsClosing) {
            // The owner's operations do nothing meanwhile; another thread
            // (the reply worker) learns that nothing was done.
            return OnOwnerThread() ? 0 : ecCommNotOpen;
        }
        if (linkState == lsOpen && dispatcher) {
            return op(*dispatcher);
        }
    }
    // Closed: open on demand, or raise. Null only while loading.
    if (RequireDispatcher() == nullptr) {
        return 0;
    }
    const std::shared_lock guard(dispatcherGuard);
    if (linkState == lsOpen && dispatcher) {
        return op(*dispatcher);
    }
    return 0;
}

std::uint16_t TSerCustomComPort::InputWaiting()
{
    const std::shared_lock guard(dispatcherGuard);
    if (linkState != lsOpen || !dispatcher) {
        return 0;
    }
    return static_cast<std::uint16_t>(dispatcher->InputCount());
}

std::int32_t TSerCustomComPort::CheckDeviceResult(std::int32_t code)
{
    constexpr auto gone = static_cast<std::int32_t>(platform::ErrorDeviceNotConnected);
    if (code == -gone && !Loading()) {
        // An unplugged adapter never comes back on this descriptor: close,
        // so that the next use opens the device anew once it is back. The
        // close's own flushes fail on the vanished device as well. Only the
        // owner closes; another thread just hears of it.
        if (OnOwnerThread()) {
            try {
                SetOpen(false);
            } catch (const std::exception&) {
            }
        }
        throw EInOutError(ErrorText(static_cast<std::int16_t>(gone)), gone);
    }
    return CheckError(this, code);
}

void TSerCustomComPort::PurgeInput()
{
    CheckDeviceResult(WithDispatcher([](TSerBaseDispatcher& d) { return d.FlushInput(); }));
}

void TSerCustomComPort::PurgeOutput()
{
    CheckDeviceResult(WithDispatcher([](TSerBaseDispatcher& d) { return d.FlushOutput(); }));
}

std::int32_t TSerCustomComPort::PutBlock(const void* block, std::uint16_t len)
{
    CheckDeviceResult(WithDispatcher([&](TSerBaseDispatcher& d) {
        return d.WriteBlock(static_cast<const std::uint8_t*>(block), len);
    }));
    return 0;
}

std::int32_t TSerCustomComPort::GetBlock(void* block, std::uint16_t len)
{
    return CheckError(this, WithDispatcher([&](TSerBaseDispatcher& d) {
                          return d.ReadBlock(static_cast<std::uint8_t*>(block), len);
                      }));
}

void TSerCustomComPort::ProcessCommunications()
{
    CheckError(this, WithDispatcher([](TSerBaseDispatcher& d) { return d.YieldSlice(); }));
}

std::uint16_t TSerCustomComPort::LineError()
{
    const std::shared_lock guard(dispatcherGuard);
    if (linkState != lsOpen || !dispatcher) {
        return 0;
    }
    return static_cast<std::uint16_t>(CheckError(this, dispatcher->GetLineError()));
}

bool TSerCustomComPort::LineBreak()
{
    const std::shared_lock guard(dispatcherGuard);
    return linkState == lsOpen && dispatcher && dispatcher->CheckLineBreak();
}

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

void TSerCustomComPort::SetDTR(bool value)
{
    if (value == dtr && !forceApply) {
        return;
    }
    if (!IsPortOpen()) {
        dtr = value;
        return;
    }
    if (CheckError(this, dispatcher->SetDtr(value ? 1 : 0)) == 0) {
        dtr = value;
    }
}

void TSerCustomComPort::SetRTS(bool value)
{
    if (value == rts && !forceApply) {
        return;
    }
    if (!IsPortOpen()) {
        rts = value;
        return;
    }
    if (CheckError(this, dispatcher->SetRts(value ? 1 : 0)) == 0) {
        rts = value;
    }
}

void TSerCustomComPort::SetHWFlowOptions(THWFlowOptionSet value)
{
    if (value == hwFlowOptions && !forceApply) {
        return;
    }
    if (!value.Empty()) {
        if (bufferFull == 0 || bufferFull > inSize) {
            bufferFull = RoundEven(inSize * 0.9);
        }
        if (bufferResume == 0 || bufferResume > bufferFull) {
            bufferResume = RoundEven(inSize * 0.1);
        }
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
        if (bufferFull == 0 || bufferFull > inSize) {
            bufferFull = RoundEven(inSize * 0.75);
        }
        if (bufferResume == 0 || bufferResume > bufferFull) {
            bufferResume = RoundEven(inSize * 0.25);
        }
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

void TSerCustomComPort::SetXOnChar(char value)
{
    if (value == xOnChar && !forceApply) {
        return;
    }
    xOnChar = value;
    if (IsPortOpen()) {
        CheckError(this, dispatcher->SetFlowChars(static_cast<std::uint8_t>(xOnChar),
                                                  static_cast<std::uint8_t>(xOffChar)));
    }
}

void TSerCustomComPort::SetXOffChar(char value)
{
    if (value == xOffChar && !forceApply) {
        return;
    }
    xOffChar = value;
    if (IsPortOpen()) {
        CheckError(this, dispatcher->SetFlowChars(static_cast<std::uint8_t>(xOnChar),
                                                  static_cast<std::uint8_t>(xOffChar)));
    }
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
    TSerBaseDispatcher& d = *dispatcher;
    const bool wasOn = state == tlOn;
    const bool paused = state == tlPause;
    switch (value) {
    case tlOff:
        if (wasOn || paused) {
            log ? d.AbortLog() : d.AbortTrace();
            state = tlOff;
        }
        break;
    case tlOn:
        if (paused) {
            log ? d.StartLog() : d.StartTrace();
        } else {
            CheckError(this, log ? d.InitLog(logSize) : d.InitTrace(traceSize));
        }
        state = tlOn;
        break;
    case tlDump:
    case tlAppend:
        if (wasOn || paused) {
            log ? d.StartLog() : d.StartTrace();
            // The recorder is released whether or not the file could be written.
            state = tlOff;
            const bool append = value == tlAppend;
            std::int32_t result = 0;
            if (log) {
                result = append ? d.AppendLog(logName, logHex, logAllHex)
                                : d.DumpLog(logName, logHex, logAllHex);
            } else {
                result = append ? d.AppendTrace(traceName, traceHex, traceAllHex)
                                : d.DumpTrace(traceName, traceHex, traceAllHex);
            }
            CheckError(this, result);
        }
        break;
    case tlClear:
        if (wasOn || paused) {
            if (log) {
                d.ClearLog();
            } else {
                CheckError(this, d.ClearTrace());
            }
        }
        break;
    case tlPause:
        if (wasOn) {
            log ? d.StopLog() : d.StopTrace();
            state = tlPause;
        }
        break;
    }
}

void TSerCustomComPort::SetTraceSize(std::uint32_t value)
{
    value = std::min(value, MaxTraceSize);
    if (value == traceSize) {
        return;
    }
    traceSize = value;
    if (IsPortOpen() && (tracing == tlOn || tracing == tlPause)) {
        // A running trace starts again, empty, at the new size; a paused one stays off.
        const TTraceLogState former = tracing;
        SetTracing(tlOff);
        SetTracing(former);
    }
}

void TSerCustomComPort::SetLogSize(std::uint32_t value)
{
    value = std::min(value, MaxLogSize);
    if (value == logSize) {
        return;
    }
    logSize = value;
    if (IsPortOpen() && (logging == tlOn || logging == tlPause)) {
        const TTraceLogState former = logging;
        SetLogging(tlOff);
        SetLogging(former);
    }
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
    if (value == useEventWord && !forceApply) {
        return;
    }
    useEventWord = value;
    if (IsPortOpen()) {
        if (value) {
            dispatcher->SetOptionBits(OptionUseEventWord);
        } else {
            dispatcher->ClearOptionBits(OptionUseEventWord);
        }
    }
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
    if (value == availTriggerLength && !forceApply) {
        return;
    }
    availTriggerLength = value;
    if (IsPortOpen()) {
        dispatcher->SetAvailLevel(value);
    }
}

void TSerCustomComPort::SetThreadPriorityBoost(std::uint8_t value)
{
    if (value == threadPriorityBoost && !forceApply) {
        return;
    }
    threadPriorityBoost = value;
    if (IsPortOpen()) {
        dispatcher->SetThreadBoost(value);
    }
}

// ---------------------------------------------------------------------------
// Events

bool TSerCustomComPort::AnyTriggerEvent() const
{
    return onTrigger || onTriggerAvail || onTriggerData || onTriggerStatus || onTriggerTimer ||
           onTriggerLineError || onTriggerModemStatus || onTriggerOutbuffFree ||
           onTriggerOutbuffUsed || onTriggerOutSent;
}

void TSerCustomComPort::UpdateHandlerFlags()
{
    if (!IsPortOpen()) {
        return;
    }
    dispatcher->UpdateHandlerFlags(AnyTriggerEvent()
                                       ? TSerBaseDispatcher::THandlerFlags::ComponentOn
                                       : TSerBaseDispatcher::THandlerFlags::ComponentOff);
}

void TSerCustomComPort::SetOnTrigger(TTriggerEvent value)
{
    onTrigger = std::move(value);
    UpdateHandlerFlags();
}

void TSerCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent value)
{
    onTriggerAvail = std::move(value);
    UpdateHandlerFlags();
}

void TSerCustomComPort::SetOnTriggerData(TTriggerDataEvent value)
{
    onTriggerData = std::move(value);
    UpdateHandlerFlags();
}

void TSerCustomComPort::SetOnTriggerStatus(TTriggerStatusEvent value)
{
    onTriggerStatus = std::move(value);
    UpdateHandlerFlags();
}

void TSerCustomComPort::SetOnTriggerTimer(TTriggerTimerEvent value)
{
    onTriggerTimer = std::move(value);
    UpdateHandlerFlags();
}

void TSerCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent value)
{
    onTriggerLineError = std::move(value);
    UpdateHandlerFlags();
}

void TSerCustomComPort::SetOnTriggerModemStatus(TNotifyEvent value)
{
    onTriggerModemStatus = std::move(value);
    UpdateHandlerFlags();
}

void TSerCustomComPort::SetOnTriggerOutbuffFree(TNotifyEvent value)
{
    onTriggerOutbuffFree = std::move(value);
    UpdateHandlerFlags();
}

void TSerCustomComPort::SetOnTriggerOutbuffUsed(TNotifyEvent value)
{
    onTriggerOutbuffUsed = std::move(value);
    UpdateHandlerFlags();
}

void TSerCustomComPort::SetOnTriggerOutSent(TNotifyEvent value)
{
    onTriggerOutSent = std::move(value);
    UpdateHandlerFlags();
}

void TSerCustomComPort::DoTrigger(std::uint16_t msg, std::uint16_t triggerHandle,
                                  std::uint16_t data)
{
    if (onTrigger) {
        onTrigger(this, msg, triggerHandle, data);
    }
}

void TSerCustomComPort::DoTriggerAvail(std::uint16_t count)
{
    if (onTriggerAvail) {
        onTriggerAvail(this, count);
    }
}

void TSerCustomComPort::DoTriggerData(std::uint16_t triggerHandle)
{
    if (onTriggerData) {
        onTriggerData(this, triggerHandle);
    }
}

void TSerCustomComPort::DoTriggerStatus(std::uint16_t triggerHandle)
{
    if (onTriggerStatus) {
        onTriggerStatus(this, triggerHandle);
    }
}

void TSerCustomComPort::DoTriggerTimer(std::uint16_t triggerHandle)
{
    if (onTriggerTimer) {
        onTriggerTimer(this, triggerHandle);
    }
}

void TSerCustomComPort::DoTriggerLineError(std::uint16_t error, bool lineBreak)
{
    if (onTriggerLineError) {
        onTriggerLineError(this, error, lineBreak);
    }
}

void TSerCustomComPort::DoTriggerModemStatus()
{
    if (onTriggerModemStatus) {
        onTriggerModemStatus(this);
    }
}

void TSerCustomComPort::DoTriggerOutbuffFree()
{
    if (onTriggerOutbuffFree) {
        onTriggerOutbuffFree(this);
    }
}

void TSerCustomComPort::DoTriggerOutbuffUsed()
{
    if (onTriggerOutbuffUsed) {
        onTriggerOutbuffUsed(this);
    }
}

void TSerCustomComPort::DoTriggerOutSent()
{
    if (onTriggerOutSent) {
        onTriggerOutSent(this);
    }
}

void TSerCustomComPort::DoWaitChar(char c)
{
    if (onWaitChar) {
        onWaitChar(this, c);
    }
}

void TSerCustomComPort::DoPortOpened()
{
    if (onPortOpened) {
        onPortOpened(this);
    }
}

void TSerCustomComPort::DoPortClosing()
{
    if (onPortClosing) {
        onPortClosing(this);
    }
}

// ---------------------------------------------------------------------------
// Trigger delivery

std::intptr_t TSerCustomComPort::NotifyWindowProc(const std::shared_ptr<TWindowLink>& link,
                                                  std::uint32_t msg, std::uintptr_t wParam,
                                                  std::intptr_t lParam)
{
    const bool trigger = msg >= TriggerAvailMsg && msg <= TriggerStatusMsg;
    if (!trigger && msg != PortClosedMsg) {
        return 0;
    }
    const platform::LockGuard lock(TSerBaseDispatcher::TableLock());
    TSerCustomComPort* port = link->port;
    TSerBaseDispatcher* d = TSerBaseDispatcher::FromHandle(HandleOf(lParam));
    // The slot may belong to another component's dispatcher by now.
    if (port == nullptr || d == nullptr || d->OwnerPort() != port) {
        return 0;
    }
    try {
        port->HandleNotification(link, *d, msg, wParam, lParam);
    } catch (...) {
        if (IsApplicationMainThread()) {
            HandleApplicationException(std::current_exception());
        }
    }
    return 0;
}

void TSerCustomComPort::HandleNotification(const std::shared_ptr<TWindowLink>& link,
                                           TSerBaseDispatcher& d, std::uint32_t msg,
                                           std::uintptr_t wParam, std::intptr_t lParam)
{
    if (msg == PortClosedMsg) {
        if (&d == dispatcher.get() && linkState == lsClosing) {
            CompleteDeferredClose(link, d, lParam);
        }
        return;
    }
    const auto handle = static_cast<std::uint16_t>(wParam);
    const std::uint16_t data = msg == TriggerAvailMsg ? handle : LowWord(lParam);
    DoTrigger(static_cast<std::uint16_t>(msg), handle, data);
    // The event may have closed the port or destroyed the component.
    if (link->port == nullptr) {
        return;
    }
    switch (msg) {
    case TriggerAvailMsg:
        DoTriggerAvail(handle);
        break;
    case TriggerDataMsg:
        DoTriggerData(handle);
        break;
    case TriggerTimerMsg:
        DoTriggerTimer(handle);
        break;
    case TriggerStatusMsg:
        DoTriggerStatus(handle);
        if (link->port == nullptr || dispatcher.get() != &d) {
            return;
        }
        switch (d.StatusTriggerKind(handle)) {
        case StatusKindModem:
            DoTriggerModemStatus();
            break;
        case StatusKindLineError: {
            const std::uint16_t error = LineError();
            DoTriggerLineError(error, LineBreak());
            break;
        }
        case StatusKindOutFree:
            DoTriggerOutbuffFree();
            break;
        case StatusKindOutUsed:
            DoTriggerOutbuffUsed();
            break;
        case StatusKindOutSent:
            DoTriggerOutSent();
            break;
        default:
            break;
        }
        break;
    default:
        break;
    }
}

void TSerCustomComPort::CompleteDeferredClose(const std::shared_ptr<TWindowLink>& link,
                                              TSerBaseDispatcher& d, std::intptr_t lParam)
{
    if (d.IsStarted()) {
        // The dispatch thread is on its way out; give it the processor
        // rather than spin on the message queue.
        platform::Sleep(1);
        platform::PostMessage(notifyWindow, PortClosedMsg, 0, lParam);
        return;
    }
    // The close is complete: the handler hears of it once, and a failing
    // handler does not keep the port half closed.
    std::exception_ptr failure;
    try {
        DoTrigger(static_cast<std::uint16_t>(PortClosedMsg), 0, LowWord(lParam));
    } catch (...) {
        failure = std::current_exception();
    }
    if (link->port == nullptr) {
        return;
    }
    ReleaseDispatcher();
    if (reopenPending) {
        reopenPending = false;
        try {
            OpenPort();
        } catch (...) {
            if (!failure) {
                failure = std::current_exception();
            }
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}
