// The port component's life cycle: creating the dispatcher, the open with
// everything stored while closed, the close (also one deferred to the
// notification window), the window, loading and copying.
#include "serial/SerPort.h"

#include "SerPortScope.h"

#include "serial/SerExcept.h"
#include "serial/SerWin32.h"

#include "platform/LastError.h"
#include "platform/Sync.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>

namespace {

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

} // namespace

TComSelectDialog SetComSelectDialog(TComSelectDialog dialog)
{
    const std::lock_guard lock(SelectDialogMutex());
    return std::exchange(SelectDialog(), std::move(dialog));
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
    // The bodies, not the virtual operations: a derived part is gone by now.
    if (linkState == lsOpen) {
        try {
            CloseLink();
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
    DestroyNotifyWindow();
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
    InstallDispatcher(CreateDispatcher());
    try {
        if (tapiMode == tmOn) {
            TakeTapiSettings();
        }
        OpenDispatcherPort();
        SetLinkState(lsOpen);
        UpdateHandlerFlags();
        ApplyStoredSettings();
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

void TSerCustomComPort::InstallDispatcher(std::unique_ptr<TSerBaseDispatcher> created)
{
    if (!created) {
        throw ENullApi(ecNullApi);
    }
    const std::unique_lock guard(dispatcherGuard);
    dispatcher = std::move(created);
}

void TSerCustomComPort::TakeTapiSettings()
{
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
    static constexpr TSWFlowOptions FromOption[4] = {swfNone, swfTransmit, swfReceive, swfBoth};
    swFlowOptions = FromOption[sw & 3];
    xOnChar = static_cast<char>(xon);
    xOffChar = static_cast<char>(xoff);
}

void TSerCustomComPort::ApplyStoredSettings()
{
    // Everything stored while closed reaches the new port.
    const TFlagScope force(forceApply);
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

std::string TSerCustomComPort::DeviceName() const
{
    return tapiMode == tmOn ? std::string() : "\\\\.\\COM" + std::to_string(comNumber);
}

void TSerCustomComPort::OpenDispatcherPort()
{
    const std::string name = DeviceName();
    std::uint8_t options = 0;
    options |= dtr ? TSerBaseDispatcher::LineDtrOn : 0;
    options |= rts ? TSerBaseDispatcher::LineRtsOn : 0;
    options |= hwFlowOptions.Contains(hwfUseDTR) ? TSerBaseDispatcher::LineDtrHandshake : 0;
    options |= hwFlowOptions.Contains(hwfUseRTS) ? TSerBaseDispatcher::LineRtsHandshake : 0;
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
    CloseLink();
}

void TSerCustomComPort::CloseLink()
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
        platform::PostMessage(notifyWindow, PortClosedMsg, 0,
                              NotificationParam(dispatcher->DispatcherHandle(), 0));
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
    DestroyNotifyWindow();
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
        CreateNotifyWindow();
    } else {
        DestroyNotifyWindow();
    }
}

void TSerCustomComPort::CreateNotifyWindow()
{
    if (notifyWindow == 0) {
        notifyWindow = platform::CreateMessageWindow(
            [link = windowLink](std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
                return NotifyWindowProc(link, msg, wParam, lParam);
            });
    }
    // Every new dispatcher gets the window, also one that outlived another.
    if (dispatcher) {
        // From this thread: the dispatcher reads ahead for this window on it.
        dispatcher->AddWindowHandler(notifyWindow);
    }
}

void TSerCustomComPort::DestroyNotifyWindow()
{
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
