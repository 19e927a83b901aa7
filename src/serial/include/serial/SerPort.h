#pragma once

// The serial port component: the settings of one port, the open on demand
// through a dispatcher, the data operations, and the dispatcher's trigger
// notifications raised as events on the thread that opened the port.

#include "platform/MessageWindow.h"
#include "serial/SerDisp.h"
#include "serial/SerMisc.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <shared_mutex>
#include <string>
#include <thread>

enum TDeviceLayer : std::uint8_t { dlWin16, dlFossil, dlWin32, dlWinsock };
enum TParity : std::uint8_t { pNone, pOdd, pEven, pMark, pSpace };
enum THWFlowOptions : std::uint8_t { hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS };
enum TSWFlowOptions : std::uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState : std::uint8_t { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
enum TTapiMode : std::uint8_t { tmNone, tmAuto, tmOn, tmOff };
enum TLinkState : std::uint8_t { lsClosed, lsClosing, lsOpen };

// A set of THWFlowOptions held in one byte, bit n for element n: the same
// bits the dispatcher's hardware flow call takes.
class THWFlowOptionSet {
public:
    constexpr THWFlowOptionSet() = default;
    constexpr THWFlowOptionSet(std::initializer_list<THWFlowOptions> options)
    {
        for (const THWFlowOptions o : options) {
            bits |= Bit(o);
        }
    }
    static constexpr THWFlowOptionSet FromBits(std::uint8_t value)
    {
        THWFlowOptionSet set;
        set.bits = value & 0x0F;
        return set;
    }

    constexpr std::uint8_t Bits() const { return bits; }
    constexpr bool Empty() const { return bits == 0; }
    constexpr bool Contains(THWFlowOptions o) const { return (bits & Bit(o)) != 0; }
    constexpr THWFlowOptionSet Without(THWFlowOptionSet other) const
    {
        return FromBits(static_cast<std::uint8_t>(bits & ~other.bits));
    }
    constexpr bool operator==(const THWFlowOptionSet&) const = default;

private:
    static constexpr std::uint8_t Bit(THWFlowOptions o)
    {
        return static_cast<std::uint8_t>(1u << static_cast<unsigned>(o));
    }
    std::uint8_t bits = 0;
};

class TSerCustomComPort;

// Method callbacks: bind the receiving object into the function. CP is the
// component that raised the event.
using TNotifyEvent = std::function<void(TSerBaseComponent* sender)>;
using TTriggerEvent = std::function<void(TSerCustomComPort* cp, std::uint16_t msg,
                                         std::uint16_t triggerHandle, std::uint16_t data)>;
using TTriggerAvailEvent = std::function<void(TSerCustomComPort* cp, std::uint16_t count)>;
using TTriggerDataEvent = std::function<void(TSerCustomComPort* cp, std::uint16_t triggerHandle)>;
using TTriggerStatusEvent = TTriggerDataEvent;
using TTriggerTimerEvent = TTriggerDataEvent;
using TTriggerLineErrorEvent =
    std::function<void(TSerCustomComPort* cp, std::uint16_t error, bool lineBreak)>;
using TWaitCharEvent = std::function<void(TSerCustomComPort* cp, char c)>;

// Shows the port selection dialog modally and returns its modal result
// (1 OK, 2 Cancel, 3 Abort); on OK, selected receives the chosen number.
using TComSelectDialog = std::function<int(std::uint16_t& selected)>;
// The dialog lives with the user interface; it installs itself here so that
// the component needs no screen. Without one a port is never confirmed.
// Returns the dialog it replaces.
TComSelectDialog SetComSelectDialog(TComSelectDialog dialog);

inline constexpr int ModalResultOk = 1;
inline constexpr int ModalResultCancel = 2;
inline constexpr int ModalResultAbort = 3;

class TSerCustomComPort : public TSerBaseComponent {
public:
    static constexpr std::uint32_t MaxTraceSize = 4000000;
    static constexpr std::uint32_t MaxLogSize = 16000000;
    // UseEventWord's bit among the dispatcher's option bits.
    static constexpr std::uint32_t OptionUseEventWord = 4;

    TSerCustomComPort();
    ~TSerCustomComPort() override;

    // --- Settings (getter named like the property, setter Set<Name>).
    TDeviceLayer DeviceLayer() const { return deviceLayer; }
    void SetDeviceLayer(TDeviceLayer value);
    std::uint16_t ComNumber() const { return comNumber; }
    void SetComNumber(std::uint16_t value);
    std::int32_t Baud() const { return baud; }
    void SetBaud(std::int32_t value);
    bool PromptForPort() const { return promptForPort; }
    void SetPromptForPort(bool value) { promptForPort = value; }
    TParity Parity() const { return parity; }
    void SetParity(TParity value);
    std::uint16_t DataBits() const { return dataBits; }
    void SetDataBits(std::uint16_t value);
    std::uint16_t StopBits() const { return stopBits; }
    void SetStopBits(std::uint16_t value);
    std::uint16_t InSize() const { return inSize; }
    void SetInSize(std::uint16_t value);
    std::uint16_t OutSize() const { return outSize; }
    void SetOutSize(std::uint16_t value);
    bool AutoOpen() const { return autoOpen; }
    void SetAutoOpen(bool value) { autoOpen = value; }
    bool Open() const { return open; }
    void SetOpen(bool value);
    bool DTR() const { return dtr; }
    void SetDTR(bool value);
    bool RTS() const { return rts; }
    void SetRTS(bool value);
    THWFlowOptionSet HWFlowOptions() const { return hwFlowOptions; }
    void SetHWFlowOptions(THWFlowOptionSet value);
    TSWFlowOptions SWFlowOptions() const { return swFlowOptions; }
    void SetSWFlowOptions(TSWFlowOptions value);
    char XOnChar() const { return xOnChar; }
    void SetXOnChar(char value);
    char XOffChar() const { return xOffChar; }
    void SetXOffChar(char value);
    std::uint16_t BufferFull() const { return bufferFull; }
    void SetBufferFull(std::uint16_t value);
    std::uint16_t BufferResume() const { return bufferResume; }
    void SetBufferResume(std::uint16_t value);
    TTraceLogState Tracing() const { return tracing; }
    void SetTracing(TTraceLogState value);
    std::uint32_t TraceSize() const { return traceSize; }
    void SetTraceSize(std::uint32_t value);
    const std::string& TraceName() const { return traceName; }
    void SetTraceName(const std::string& value);
    bool TraceHex() const { return traceHex; }
    void SetTraceHex(bool value) { traceHex = value; }
    bool TraceAllHex() const { return traceAllHex; }
    void SetTraceAllHex(bool value) { traceAllHex = value; }
    TTraceLogState Logging() const { return logging; }
    void SetLogging(TTraceLogState value);
    std::uint32_t LogSize() const { return logSize; }
    void SetLogSize(std::uint32_t value);
    const std::string& LogName() const { return logName; }
    void SetLogName(const std::string& value);
    bool LogHex() const { return logHex; }
    void SetLogHex(bool value) { logHex = value; }
    bool LogAllHex() const { return logAllHex; }
    void SetLogAllHex(bool value) { logAllHex = value; }
    // Always True: the shadow cannot be switched off.
    bool UseMSRShadow() const { return useMSRShadow; }
    virtual void SetUseMSRShadow(bool value);
    bool UseEventWord() const { return useEventWord; }
    void SetUseEventWord(bool value);
    std::uint16_t CommNotificationLevel() const { return commNotificationLevel; }
    void SetCommNotificationLevel(std::uint16_t value) { commNotificationLevel = value; }
    TTapiMode TapiMode() const { return tapiMode; }
    void SetTapiMode(TTapiMode value) { tapiMode = value; }
    bool RS485Mode() const { return rs485Mode; }
    void SetRS485Mode(bool value);
    std::uint16_t AvailTriggerLength() const { return availTriggerLength; }
    void SetAvailTriggerLength(std::uint16_t value);
    std::uint8_t ThreadPriorityBoost() const { return threadPriorityBoost; }
    void SetThreadPriorityBoost(std::uint8_t value);

    // --- Events.
    const TTriggerEvent& OnTrigger() const { return onTrigger; }
    void SetOnTrigger(TTriggerEvent value);
    const TTriggerAvailEvent& OnTriggerAvail() const { return onTriggerAvail; }
    void SetOnTriggerAvail(TTriggerAvailEvent value);
    const TTriggerDataEvent& OnTriggerData() const { return onTriggerData; }
    void SetOnTriggerData(TTriggerDataEvent value);
    const TTriggerStatusEvent& OnTriggerStatus() const { return onTriggerStatus; }
    void SetOnTriggerStatus(TTriggerStatusEvent value);
    const TTriggerTimerEvent& OnTriggerTimer() const { return onTriggerTimer; }
    void SetOnTriggerTimer(TTriggerTimerEvent value);
    const TTriggerLineErrorEvent& OnTriggerLineError() const { return onTriggerLineError; }
    void SetOnTriggerLineError(TTriggerLineErrorEvent value);
    const TNotifyEvent& OnTriggerModemStatus() const { return onTriggerModemStatus; }
    void SetOnTriggerModemStatus(TNotifyEvent value);
    const TNotifyEvent& OnTriggerOutbuffFree() const { return onTriggerOutbuffFree; }
    void SetOnTriggerOutbuffFree(TNotifyEvent value);
    const TNotifyEvent& OnTriggerOutbuffUsed() const { return onTriggerOutbuffUsed; }
    void SetOnTriggerOutbuffUsed(TNotifyEvent value);
    const TNotifyEvent& OnTriggerOutSent() const { return onTriggerOutSent; }
    void SetOnTriggerOutSent(TNotifyEvent value);
    const TWaitCharEvent& OnWaitChar() const { return onWaitChar; }
    void SetOnWaitChar(TWaitCharEvent value) { onWaitChar = std::move(value); }
    const TNotifyEvent& OnPortOpened() const { return onPortOpened; }
    void SetOnPortOpened(TNotifyEvent value) { onPortOpened = std::move(value); }
    const TNotifyEvent& OnPortClosing() const { return onPortClosing; }
    void SetOnPortClosing(TNotifyEvent value) { onPortClosing = std::move(value); }

    // --- State.
    TLinkState LinkState() const { return linkState; }
    bool ForceApply() const { return forceApply; }
    bool ReopenPending() const { return reopenPending; }
    bool OpenAfterLoad() const { return openAfterLoad; }
    bool RestoreTriggersPending() const { return restoreTriggersPending; }
    const TTriggerSnapshot& SavedTriggers() const { return savedTriggers; }
    platform::WindowHandle NotifyWindow() const { return notifyWindow; }
    static constexpr bool SupportsLayer(TDeviceLayer layer) { return layer == dlWin32; }

    // --- Operations.
    // The component belongs to the thread that owns it (the one that
    // created it). InputWaiting and GetBlock may also be called from one
    // other thread (a worker that takes the replies) while the owner uses
    // the port, also while it closes it. Only the owner opens on demand:
    // from another thread a port that is not open reads as 0 waiting, and
    // the data operations raise ECommNotOpen.

    // Unread bytes on an open port, else 0. Never opens the port, never raises.
    std::uint16_t InputWaiting();
    // When the newest of them came off the line (steady clock); the epoch
    // on a port that is not open or cannot tell. Never raises.
    std::chrono::steady_clock::time_point LastArrival();
    void PurgeInput();
    void PurgeOutput();
    // Queues the whole block or raises; returns 0.
    std::int32_t PutBlock(const void* block, std::uint16_t len);
    // Moves exactly len bytes or raises; returns len.
    std::int32_t GetBlock(void* block, std::uint16_t len);
    virtual void ProcessCommunications();
    std::uint16_t LineError();
    bool LineBreak();

    // The dispatcher, opening the port first when AutoOpen allows; may be null.
    TSerBaseDispatcher* Dispatcher();
    // The dispatcher, or ECommNotOpen. Null only while loading (the error is
    // passed over then).
    TSerBaseDispatcher* RequireDispatcher();

    // Copies the settings of source; this port ends up closed.
    virtual void Assign(TSerCustomComPort& source);
    void Loaded() override;

    virtual void OpenPort();
    virtual void ClosePort();

protected:
    virtual std::unique_ptr<TSerBaseDispatcher> CreateDispatcher();
    virtual void DeviceLayerChanged() {}
    virtual void OpenDispatcherPort();
    // The name the dispatcher opens: "\\.\COMn" for the COM number; a
    // subclass may name a device of its own.
    virtual std::string DeviceName() const;
    virtual void SetNotifyWindow(bool create);
    virtual void ValidateComNumber();
    virtual void DoTrigger(std::uint16_t msg, std::uint16_t triggerHandle, std::uint16_t data);
    virtual void DoTriggerAvail(std::uint16_t count);
    virtual void DoTriggerData(std::uint16_t triggerHandle);
    virtual void DoTriggerStatus(std::uint16_t triggerHandle);
    virtual void DoTriggerTimer(std::uint16_t triggerHandle);
    virtual void UpdateHandlerFlags();
    virtual void DoTriggerLineError(std::uint16_t error, bool lineBreak);
    virtual void DoTriggerModemStatus();
    virtual void DoTriggerOutbuffFree();
    virtual void DoTriggerOutbuffUsed();
    virtual void DoTriggerOutSent();
    virtual void DoWaitChar(char c);
    virtual void DoPortOpened();
    virtual void DoPortClosing();

private:
    // Shared with the notification window's procedure, which must never reach
    // a destroyed component: cleared under the dispatcher table lock.
    struct TWindowLink {
        TSerCustomComPort* port = nullptr;
    };

    static std::intptr_t NotifyWindowProc(const std::shared_ptr<TWindowLink>& link,
                                          std::uint32_t msg, std::uintptr_t wParam,
                                          std::intptr_t lParam);
    void HandleNotification(const std::shared_ptr<TWindowLink>& link, TSerBaseDispatcher& d,
                            std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam);
    void CompleteDeferredClose(const std::shared_ptr<TWindowLink>& link, TSerBaseDispatcher& d,
                               std::intptr_t lParam);
    void ReleaseDispatcher();
    // The steps of OpenPort.
    void InstallDispatcher(std::unique_ptr<TSerBaseDispatcher> created);
    // The line and flow settings of the device the telephony layer opened.
    void TakeTapiSettings();
    // Everything stored while closed, applied with ForceApply on.
    void ApplyStoredSettings();
    // The bodies of ClosePort and SetNotifyWindow, which the destructor calls.
    void CloseLink();
    void CreateNotifyWindow();
    void DestroyNotifyWindow();
    // SetDTR's and SetRTS's body: level is dtr or rts, set the dispatcher's call.
    void SetLineLevel(bool value, bool& level, int (TSerBaseDispatcher::*set)(int));
    // SetXOnChar's and SetXOffChar's body.
    void SetFlowChar(char value, char& flowChar);
    // The buffer levels a flow control starts from when none are set: the
    // shares of InSize at which the receiver stops and resumes the sender.
    void DefaultBufferLevels(double fullShare, double resumeShare);
    static void FreeDispatcher(std::unique_ptr<TSerBaseDispatcher> d);
    bool OnOwnerThread() const { return std::this_thread::get_id() == ownerThread; }
    // The owner thread's changes of the link state and the dispatcher, made
    // under dispatcherGuard so that other threads' reads see them whole.
    void SetLinkState(TLinkState state);
    std::unique_ptr<TSerBaseDispatcher> TakeDispatcher(TLinkState state);
    // Runs op on the open port's dispatcher, opening the port on demand;
    // 0 without running it while the port is closing.
    template <class Op> std::int32_t WithDispatcher(Op op);
    // CheckError for the owner's operations; a device that has gone also
    // closes the port. Not under dispatcherGuard.
    std::int32_t CheckDeviceResult(std::int32_t code);
    // On the owner thread, which alone changes them.
    bool IsPortOpen() const { return linkState == lsOpen && dispatcher != nullptr; }
    bool AnyTriggerEvent() const;
    // A trigger event's setter: the dispatcher learns whether any is set.
    template <class Event> void SetTriggerEvent(Event& event, Event value);
    // A setting that goes to an open port's dispatcher as apply(dispatcher),
    // stored and applied unless it is there already and ForceApply is off.
    template <class T, class Apply> void StoreAndApply(T value, T& setting, Apply apply);
    // Sets HWFlowOptions and SWFlowOptions to themselves with ForceApply on.
    void ReapplyFlowControl();
    // The trace's (log false) or the log's state and size.
    void ApplyTraceState(TTraceLogState value, bool log);
    void SetRecorderSize(std::uint32_t value, bool log);

    TDeviceLayer deviceLayer = dlWin32;
    std::uint16_t comNumber = 0;
    std::int32_t baud = 19200;
    bool promptForPort = true;
    TParity parity = pNone;
    std::uint16_t dataBits = 8;
    std::uint16_t stopBits = 1;
    std::uint16_t inSize = 4096;
    std::uint16_t outSize = 4096;
    bool autoOpen = true;
    bool open = false;
    bool dtr = true;
    bool rts = true;
    THWFlowOptionSet hwFlowOptions;
    TSWFlowOptions swFlowOptions = swfNone;
    char xOnChar = 17;
    char xOffChar = 19;
    std::uint16_t bufferFull = 0;
    std::uint16_t bufferResume = 0;
    TTraceLogState tracing = tlOff;
    std::uint32_t traceSize = 10000;
    std::string traceName = "SERIAL.TRC";
    bool traceHex = true;
    bool traceAllHex = false;
    TTraceLogState logging = tlOff;
    std::uint32_t logSize = 10000;
    std::string logName = "SERIAL.LOG";
    bool logHex = true;
    bool logAllHex = false;
    bool useMSRShadow = true;
    bool useEventWord = true;
    std::uint16_t commNotificationLevel = 10;
    TTapiMode tapiMode = tmAuto;
    bool rs485Mode = false;
    std::uint16_t availTriggerLength = 1;
    std::uint8_t threadPriorityBoost = 0;

    TTriggerEvent onTrigger;
    TTriggerAvailEvent onTriggerAvail;
    TTriggerDataEvent onTriggerData;
    TTriggerStatusEvent onTriggerStatus;
    TTriggerTimerEvent onTriggerTimer;
    TTriggerLineErrorEvent onTriggerLineError;
    TNotifyEvent onTriggerModemStatus;
    TNotifyEvent onTriggerOutbuffFree;
    TNotifyEvent onTriggerOutbuffUsed;
    TNotifyEvent onTriggerOutSent;
    TWaitCharEvent onWaitChar;
    TNotifyEvent onPortOpened;
    TNotifyEvent onPortClosing;

    TLinkState linkState = lsClosed;
    bool forceApply = false;
    // OpenPort is under way (it may be waiting for the operator).
    bool openInProgress = false;
    bool reopenPending = false;
    bool openAfterLoad = false;
    bool restoreTriggersPending = false;
    TTriggerSnapshot savedTriggers;
    platform::WindowHandle notifyWindow = 0;
    std::shared_ptr<TWindowLink> windowLink;
    std::unique_ptr<TSerBaseDispatcher> dispatcher;
    // Taken shared by the data operations, exclusively (and briefly) by the
    // owner thread as it changes linkState or dispatcher.
    mutable std::shared_mutex dispatcherGuard;
    const std::thread::id ownerThread;
};

// The published component: the same, with every setting available.
class TSerComPort : public TSerCustomComPort {
public:
    using TSerCustomComPort::TSerCustomComPort;
};
