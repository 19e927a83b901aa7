#pragma once

// The dispatcher core: one per open port. It owns the receive ring (the
// 8192-byte dispatch buffer) and the transmit ring, turns received bytes and
// line changes into notifications for the registered handlers, and keeps the
// line settings. It reaches the operating system only through the eighteen
// virtual operations below, which a platform subclass implements together
// with the threads that drive the passes.

#include "platform/CommBits.h"
#include "platform/DeviceControl.h"
#include "platform/MessageWindow.h"
#include "platform/Ring.h"
#include "serial/SerErrors.h"
#include "serial/SerTrace.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class TSerCustomComPort;

// The dispatcher's names for the result codes it produces (SerErrors.h holds
// them all); the component turns negative ones into exceptions.
inline constexpr int DispBadArgument = ecBadArgument;
inline constexpr int DispPutBlockFail = ecPutBlockFail;
inline constexpr int DispOutputBufferTooSmall = ecOutputBufferTooSmall;
inline constexpr int DispBufferIsEmpty = ecBufferIsEmpty;
inline constexpr int DispBaseAddressNotSet = ecBaseAddressNotSet;
inline constexpr int DispEventCreateFailed = ecOutOfMemory;

// Notification messages; lParam carries the dispatcher handle in its high 16 bits.
inline constexpr std::uint32_t TriggerAvailMsg = 0x7E01;
inline constexpr std::uint32_t TriggerDataMsg = 0x7E02;
inline constexpr std::uint32_t TriggerTimerMsg = 0x7E03;
inline constexpr std::uint32_t TriggerStatusMsg = 0x7E04;
inline constexpr std::uint32_t PortClosedMsg = 0x7E0A;

inline constexpr std::uint32_t DispatchBufferSize = 8192;
inline constexpr std::uint32_t NotifySendTimeoutMs = 3000;

// The line settings are the platform's device-control record itself; its
// flag bits and stop-bit codes are platform's (DeviceControl.h), and so are
// the event, error, escape and modem-line bits (CommBits.h).
using TLineState = platform::DeviceControl;

// Modem status byte: the line levels (platform::MsCtsOn...) in the high
// nibble, their changes in the low one.
inline constexpr std::uint8_t ModemDeltaCts = 0x01;
inline constexpr std::uint8_t ModemDeltaDsr = 0x02;
inline constexpr std::uint8_t ModemTrailingRing = 0x04;
inline constexpr std::uint8_t ModemDeltaDcd = 0x08;

// Driver status as ReadErrors fills it.
struct TCommStatus {
    std::uint32_t status = 0;
    std::uint32_t inQueue = 0;  // bytes waiting in the driver's receive queue
    std::uint32_t outQueue = 0; // bytes waiting for transmission
};

// Trigger records, kept in their stored layouts so that snapshots copy them whole.
struct TTimerTrigger {
    std::uint32_t handle = 0; // 16 bits used
    std::uint32_t startTick = 0;
    std::uint32_t expireTick = 0; // ticks of 55 ms
    std::uint32_t reserved[2] = {};
    std::uint8_t active = 0;
    std::uint8_t pad[3] = {};
};

inline constexpr std::size_t DataTriggerStates = 22;

struct TDataTrigger {
    std::uint32_t handle = 0;
    std::uint32_t matchLength = 0; // 0: empty record
    std::uint32_t state[DataTriggerStates] = {};
    std::uint32_t matched = 0; // all ones when matched
    std::uint32_t ignoreCase = 0;
    char match[24] = {};
};

struct TStatusTrigger {
    std::uint16_t handle = 0;
    std::uint16_t pad = 0;
    std::uint32_t kind = 0; // StatusKind...
    std::uint16_t value = 0;
    std::uint8_t active = 0;
    std::uint8_t hit = 0;
};

static_assert(sizeof(TTimerTrigger) == 24 && offsetof(TTimerTrigger, active) == 20);
static_assert(sizeof(TDataTrigger) == 128);
static_assert(sizeof(TStatusTrigger) == 12);

inline constexpr std::uint32_t StatusKindModem = 1;
inline constexpr std::uint32_t StatusKindLineError = 2;
inline constexpr std::uint32_t StatusKindOutFree = 3;
inline constexpr std::uint32_t StatusKindOutUsed = 4;
inline constexpr std::uint32_t StatusKindOutSent = 5;

// What the component keeps of a dispatcher's triggers across a reopen.
struct TTriggerSnapshot {
    std::uint32_t availLevel = 0;
    std::vector<TTimerTrigger> timers;
    std::vector<TDataTrigger> data;
    std::vector<TStatusTrigger> status;
};

// Handlers receive (message, wParam, lParam).
using TTriggerProc = void (*)(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam);
using TTriggerMethod = void (*)(void* object, std::uint32_t msg, std::uintptr_t wParam,
                                std::intptr_t lParam);

// Baud rate read back from a line state, with the driver's baud codes resolved.
std::uint32_t SerBaudFromCode(std::uint32_t baud);

class TSerBaseDispatcher {
public:
    explicit TSerBaseDispatcher(TSerCustomComPort* owner);
    // The most derived class calls Destroy() in its destructor: the close
    // steps need the virtual operations, which are gone by the time this runs.
    virtual ~TSerBaseDispatcher();
    TSerBaseDispatcher(const TSerBaseDispatcher&) = delete;
    TSerBaseDispatcher& operator=(const TSerBaseDispatcher&) = delete;

    // --- The platform operations, in slot order.
    virtual int EscapeFunction(int code) = 0;
    virtual int FlushQueue(int queue) = 0; // 0 output, 1 input
    // Called with outputLock held; fills the transmit count from the transmit ring.
    virtual std::uint32_t ReadErrors(TCommStatus& status) = 0;
    virtual int ReadFailed(int code) = 0;
    virtual int GetLineState(TLineState& state) = 0;
    virtual std::uint32_t ReadPort(std::uint8_t* destination, std::uint32_t count) = 0;
    virtual int SetLineState(const TLineState& state) = 0;
    virtual int QueueOutput(const std::uint8_t* source, std::uint32_t count) = 0;
    virtual bool WaitPortEvent(std::uint32_t& mask, void* overlapped) = 0;
    // The driver queue sizes; the component-facing wrapper is SetupQueues.
    virtual bool SetupDriverQueues(std::uint32_t inSize, std::uint32_t outSize) = 0;
    virtual void ReleasePort();
    virtual void StartThreads() = 0;
    virtual void StopThreads() = 0;
    virtual std::intptr_t OpenDevice(const char* deviceName, std::uint32_t inSize,
                                     std::uint32_t outSize) = 0;
    virtual int CloseDevice() = 0;
    virtual int YieldSlice() = 0;
    virtual void SetThreadBoost(std::uint8_t boost);
    virtual void UpdateHandlerFlags(int mode); // 0 recompute, 1 component on, 2 component off

    // --- Life cycle.
    // lineFlags: 0x01 DTR on, 0x02 RTS on, 0x10 DTR handshake, 0x20 RTS handshake.
    int OpenDispatcher(const char* deviceName, std::uint32_t baud, std::uint8_t parity,
                       std::uint8_t dataBits, std::uint8_t stopBits, std::uint32_t inSize,
                       std::uint32_t outSize, std::uint8_t lineFlags);
    void CloseDispatcher();
    void Destroy();
    int SetupQueues(std::uint32_t inSize, std::uint32_t outSize);

    // --- Data.
    std::uint32_t InputCount();
    std::uint32_t OutputUsed();
    std::uint32_t OutputFree();
    int FlushInput();
    int FlushOutput();
    int ReadBlock(std::uint8_t* destination, std::uint32_t count);
    int WriteBlock(const std::uint8_t* source, std::uint32_t count);

    // --- Handlers and triggers.
    void SetAvailLevel(std::uint32_t level);
    // Call from the window's own thread: during a notification to this window
    // that thread reads ahead like every other handler, while any other
    // thread's block reads take bytes for real.
    void AddWindowHandler(platform::WindowHandle window);
    void RemoveWindowHandler(platform::WindowHandle window);
    void AddProcedureHandler(TTriggerProc proc);
    void RemoveProcedureHandler(TTriggerProc proc);
    // A synchronized method runs on the user-interface thread (SynchronizeCall).
    void AddMethodHandler(TTriggerMethod code, void* object, bool synchronize);
    void RemoveMethodHandler(TTriggerMethod code, void* object);
    void ClearTriggers();
    void SaveTriggers(TTriggerSnapshot& snapshot);
    void RestoreTriggers(const TTriggerSnapshot& snapshot);
    static void FreeTriggerSnapshot(TTriggerSnapshot& snapshot);
    // Kind of the status trigger with that handle, 0 when there is none.
    std::uint32_t StatusTriggerKind(std::uint32_t handle);

    // --- Trace and log, each under mainLock. Results are 0 or a negative
    // code: -1002 for a size above the cap, -8 when memory runs out, the
    // negated I/O error number of a dump. A dump releases its recorder (a
    // log whose file cannot be opened keeps its entries, logging off).
    int InitTrace(std::uint32_t entries);
    int ClearTrace();
    void AbortTrace();
    void StartTrace();
    void StopTrace();
    int DumpTrace(const std::string& fileName, bool hexNonPrintable, bool allHex);
    int AppendTrace(const std::string& fileName, bool hexNonPrintable, bool allHex);
    // The ring has size bytes; entries pass through a block of the larger
    // of the open's InSize and OutSize when they are taken out.
    int InitLog(std::uint32_t size);
    void ClearLog();
    void AbortLog();
    void StartLog();
    void StopLog();
    int DumpLog(const std::string& fileName, bool hexNonPrintable, bool allHex);
    int AppendLog(const std::string& fileName, bool hexNonPrintable, bool allHex);
    bool TracingOn();
    bool LoggingOn();

    // --- Passes, run by the dispatch thread.
    void ProcessCommEvents();
    void ProcessTimers();
    void FillInputBuffer();
    bool CheckDataAndAvail();
    bool CheckStatusTriggers();
    bool CheckTimerTriggers();
    bool NotifyHandlers(std::uint32_t message, std::uint32_t wParam, std::uint16_t data);

    // --- Line control and status.
    int SetLine(std::uint32_t baud, std::uint8_t parity, std::uint8_t dataBits,
                std::uint8_t stopBits);
    int GetLineSettings(std::uint32_t& baud, std::uint8_t& parity, std::uint8_t& stopBits,
                        std::uint8_t& dataBits);
    int SetHardwareFlow(std::uint32_t bufferFull, std::uint32_t bufferResume, std::uint8_t options);
    int SetSoftwareFlow(std::uint32_t bufferFull, std::uint32_t bufferResume, std::uint8_t options);
    int ClearSoftwareFlow();
    int SetFlowChars(std::uint8_t xon, std::uint8_t xoff);
    int GetFlowSettings(std::uint8_t& hwOptions, std::uint8_t& swOptions, std::uint8_t& xoff,
                        std::uint8_t& xon);
    int SetDtr(int on);
    int SetRts(int on);
    // 0, or the line state write's failure (a driver without RS-485 mode),
    // which leaves RS-485 as it was.
    int SetRs485(bool on);
    void SetOptionBits(std::uint32_t bits);
    void ClearOptionBits(std::uint32_t bits);
    std::uint8_t GetModemStatus(std::uint8_t keepMask);
    void UpdateModemChanges();
    void RefreshLineErrors();
    int GetLineError();
    bool CheckLineBreak();

    // --- State the component and the threads look at.
    int DispatcherHandle() const { return dispatcherHandle; }
    TSerCustomComPort* OwnerPort() const { return ownerPort; }
    bool IsDispatching() const { return dispatching.load(); }
    bool IsStarted() const { return started.load(); }
    // Threads that have entered their loop and not yet left it.
    int ActiveThreads() const { return activeThreads.load(); }
    // The last close came while a notification was delivered; the dispatch
    // thread finishes the teardown.
    bool IsCloseDeferred() const { return closeDeferred.load(); }
    std::intptr_t PortHandle() const { return portHandle.load(); }
    // The receive thread saw a ring; shows as TERI at the next modem-status read.
    void NoteRing() { ringSeen.store(true); }
    void SetLastEventMask(std::uint32_t mask)
    {
        pendingEventMask.store(0);
        lastEventMask.store(mask);
    }
    // Events of a completed port wait. They add up until a pass takes them,
    // so that no event goes unseen when several waits complete during one
    // pass; a pass that finds none keeps the mask it had.
    void NoteEvents(std::uint32_t mask) { pendingEventMask.fetch_or(mask); }
    // The last fill left bytes in the driver and the ring has room for them now.
    bool FillWouldRead();

    // The process-wide dispatcher table. Hold TableLock() while using FromHandle's result.
    static std::recursive_mutex& TableLock();
    static TSerBaseDispatcher* FromHandle(int handle);
    static std::size_t TableSlots();

protected:
    // --- Seams the platform subclass (and tests) provide.
    virtual std::uint8_t ReadModemLines() = 0; // CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80
    virtual std::uint32_t LastOsError() const = 0;
    virtual void SleepMs(std::uint32_t ms);
    // Also the log's clock, read under mainLock.
    virtual std::uint32_t ClockMs();
    virtual bool SendToWindow(platform::WindowHandle window, std::uint32_t msg,
                              std::uintptr_t wParam, std::intptr_t lParam);
    // Runs call on the user-interface thread and waits for it; the thread
    // class overrides this. Without one the call runs on the calling thread.
    virtual void SynchronizeCall(const std::function<void()>& call);
    // Re-prioritises the threads from ThreadBoost() and Rs485Enabled(); called
    // under mainLock.
    virtual void ApplyThreadPriorities() {}
    virtual void CreateSignals() {}
    // End of an event pass: lets the receive thread wait for the next event.
    virtual void EventPassDone() {}
    virtual bool IsNtPlatform() const { return true; }

    // --- Recorder feeds. Each takes mainLock (so none may be called with
    // outputLock held) and records only while its recorder is on.
    void AddTraceEntry(char kind, std::uint8_t value);
    // One block's bytes under one hold of mainLock, so that a block is never
    // split by another thread's.
    void TraceBlock(char kind, const std::uint8_t* bytes, std::uint32_t count);
    void AddLogEntry(std::uint8_t type, std::uint8_t subtype, std::uint32_t data,
                     const std::uint8_t* bytes, std::uint32_t count);
    // For an opening port: both off and released; the log times from now.
    void ResetRecorders();

    // --- The transmit ring as the platform half drives it. Each takes
    // outputLock, so none may be called with mainLock held.
    std::uint32_t OutputWaiting();
    // QueueOutput's copy of count bytes at outHead, across the end; the
    // caller (WriteBlock) checked the room.
    void CopyToOutputRing(const std::uint8_t* source, std::uint32_t count);
    void ResetOutputRing();
    struct TOutputChunk {
        const std::uint8_t* bytes = nullptr;
        std::uint32_t count = 0;
    };
    // The waiting bytes that lie in one piece from outTail. They are the
    // transmitter's until ReleaseOutputChunk: writers only add behind the
    // head, and a flush waits. None while nothing waits or a flush is pending.
    TOutputChunk TakeOutputChunk();
    // The transmitter let go of its chunk; consumed bytes of it are done
    // with (sent, or dropped with a failed write), and sent tells that they
    // reached the driver. True when a flush is waiting for this.
    bool ReleaseOutputChunk(std::uint32_t consumed, bool sent);
    // An output flush: unless the transmitter has a chunk out (and has not
    // gone, writerGone), empties the ring and, under the same hold of
    // outputLock, has purge empty the driver's transmit side; its result.
    // Otherwise marks the flush pending, so that no new chunk is taken until
    // the transmitter lets go and the flush asks again, and returns nothing.
    std::optional<int> DropOutput(const std::function<int()>& purge, bool writerGone);

    // --- The threads' life, through atomics (no lock).
    bool StopRequested() const { return stopRequested.load(); }
    void RequestStop() { stopRequested.store(true); }
    // StartThreads, under mainLock (OpenDispatcher holds it): false when the
    // threads are started already; else started, the stop request cleared
    // and threads counted in before any of them runs.
    bool EnterStarted(std::int32_t threads);
    // A thread has left its loop. The dispatch thread first finishes a
    // teardown that a stop or a deferred close left to it (ReleasePort);
    // the last thread out clears started.
    void ThreadEnded(bool dispatchThread);
    // CloseDevice closed the handle.
    void MarkPortClosed() { portHandle.store(-1); }

    // --- Read-outs, for the thread priorities (under mainLock) and for fakes.
    bool Rs485Enabled() const { return rs485Enabled; }
    std::uint8_t ThreadBoost() const { return threadBoost; }
    std::uint8_t ModemStatusByte(); // takes mainLock
    std::uint32_t OptionFlags();    // takes mainLock
    std::uint32_t LineErrorBits() const { return lineErrorBits.load(); }
    // The recorders as they stand; read them while no other thread records.
    const TSerTrace& ByteTrace() const { return byteTrace; }
    const TSerLog& DispatchLog() const { return dispatchLog; }

    // Negated last OS error, never 0.
    int NegatedOsError() const;

    // Refreshes commStatus under outputLock and returns the driver error bits.
    std::uint32_t ReadErrorsLocked(TCommStatus* copy = nullptr);

private:
    struct TWindowHandler {
        platform::WindowHandle window = 0;
        bool removed = false;
        // Message windows are bound to their thread; register from that thread.
        std::thread::id ownerThread;
    };
    struct TProcedureHandler {
        TTriggerProc proc = nullptr;
        bool removed = false;
    };
    struct TMethodHandler {
        TTriggerMethod code = nullptr;
        void* object = nullptr;
        bool removed = false;
        bool synchronize = false;
    };

    // The two rings' arithmetic over their fields, under inputLock and
    // outputLock respectively.
    platform::Ring InputRing()
    {
        return {inBuffer.get(), DispatchBufferSize, inHead, inTail, inputFull};
    }
    platform::Ring OutputRing()
    {
        return {outBuffer.get(), outQueueSize, outHead, outTail, outFull};
    }
    // The transmitter finished n bytes at outTail.
    void AdvanceOutputTail(std::uint32_t n);

    std::uint32_t HeldLocked();
    bool IsReadAheadReaderLocked() const;
    std::uint32_t HandlerFrontierLocked() const;
    void StatusTriggerLoop();
    void ClearStatusHits();
    bool RunHandlers(std::uint32_t message, std::uint32_t wParam, std::intptr_t lParam);
    void BeginHandler(std::thread::id thread);
    bool EndHandler();
    void PurgeRemovedHandlers();
    void RecomputeNotifyLocked();
    int ApplyLineState(TLineState& state);
    // ApplyLineState(lineState); on failure the handshake flags go back to
    // dtrWas and rtsWas and the remembered levels are applied again.
    int ApplyOrRestore(bool dtrWas, bool rtsWas);
    void LeaveTable();

    // --- Fields.
    TSerCustomComPort* ownerPort;
    int dispatcherHandle = -1;
    std::atomic<std::intptr_t> portHandle{0};
    std::atomic<std::uint32_t> lineErrorBits{0};
    std::uint32_t inQueueSize = 0;
    std::uint32_t outQueueSize = 0;
    std::uint8_t modemStatusByte = 0; // mainLock
    TCommStatus commStatus;           // outputLock
    TLineState lineState;             // mainLock
    std::uint32_t currentBaud = 0;
    std::uint32_t optionFlags = 0;
    bool dtrOn = false;
    bool dtrHandshake = false;
    bool rtsOn = false;
    bool rtsHandshake = false;
    bool rs485Enabled = false;
    std::uint16_t uartBaseAddress = 0;
    std::uint8_t threadBoost = 0;

    // mainLock: handler lists, trigger lists, flags.
    bool componentWantsTriggers = false;
    bool notifyEnabled = false;
    std::vector<TWindowHandler> windowHandlers;
    std::vector<TProcedureHandler> procedureHandlers;
    std::vector<TMethodHandler> methodHandlers;
    std::vector<TTimerTrigger> timerTriggers;
    std::vector<TDataTrigger> dataTriggers;
    std::vector<TStatusTrigger> statusTriggers;
    std::uint32_t availLevel = 0;
    bool statusHitSeen = false;
    std::atomic<bool> dispatching{false};
    bool removalPending = false;
    // Their on/off state is theirs alone; the log reads ClockMs().
    TSerTrace byteTrace;
    TSerLog dispatchLog;

    // Dispatch thread only.
    std::uint32_t scanPosition = 0;
    std::uint32_t lastNoticePosition = 0;
    // receivedTotal at the last avail notice: a head back at the noticed
    // position after a whole ring's worth of bytes is still new data.
    std::uint64_t noticedTotal = 0;
    // Bytes from scanPosition to inHead, counted for the same reason.
    std::uint32_t unscannedBytes = 0;

    // inputLock: the dispatch buffer and the read-ahead state.
    std::unique_ptr<std::uint8_t[]> inBuffer;
    std::uint32_t inHead = 0;
    std::uint32_t inTail = 0;
    bool inputFull = false;
    // Bytes ever put into the dispatch buffer since the open.
    std::uint64_t receivedTotal = 0;
    bool readAheadMode = false;
    // Bytes taken by the running handler, counted from readAheadFloor.
    std::int32_t readAheadCount = 0;
    // Largest readAheadCount of the handlers already run.
    std::uint32_t readAheadMax = 0;
    // Where every handler starts reading, as an offset from inTail; a flush
    // during the notification moves it past everything held.
    std::uint32_t readAheadFloor = 0;
    // Once another thread took bytes during the notification, the handlers
    // may not read beyond readAheadLimit: the bytes after it are that thread's.
    bool readAheadFrozen = false;
    std::uint32_t readAheadLimit = 0;
    std::uint32_t foreignTaken = 0;
    std::thread::id notifyThread;  // the thread delivering the notification
    std::thread::id handlerThread; // the thread running the current handler

    // outputLock: the transmit ring, and who has it. A chunk the transmitter
    // is writing is its own until the write is over; a flush waits for that
    // before it empties the ring, and meanwhile no new chunk is taken.
    std::unique_ptr<std::uint8_t[]> outBuffer;
    std::uint32_t outHead = 0;
    std::uint32_t outTail = 0;
    bool outFull = false;
    bool writeInFlight = false;
    bool flushPending = false;

    std::atomic<bool> stopRequested{false};
    std::atomic<bool> started{false};
    std::atomic<bool> teardownPending{false};
    std::atomic<std::int32_t> activeThreads{0};
    std::atomic<bool> closeDeferred{false};
    std::atomic<bool> outputSent{false};
    std::atomic<bool> ringSeen{false};
    std::atomic<std::uint32_t> lastEventMask{0};
    std::atomic<std::uint32_t> pendingEventMask{0};
    // inputLock: the driver held more than the last fill could take.
    bool driverBacklog = false;

    // Nesting: outputLock or mainLock may be taken inside inputLock, never
    // the reverse; outputLock and mainLock are never held together.
    std::recursive_mutex mainLock;
    std::recursive_mutex outputLock;
    std::recursive_mutex inputLock;

    bool destroyed = false;
};
