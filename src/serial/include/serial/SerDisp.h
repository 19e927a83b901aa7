#pragma once

// The dispatcher core: one per open port. It owns the receive ring (the
// 8192-byte dispatch buffer) and the transmit ring, turns received bytes and
// line changes into notifications for the registered handlers, and keeps the
// line settings. It reaches the operating system only through the virtual
// operations below (the platform operations, which a platform subclass
// implements together with the threads that drive the passes, and the
// seams with a default), 26 in all.
//
// Its state is in three parts, each with its own lock: the input side
// (inputLock), the output side (outputLock) and the registry of handlers,
// triggers, recorders and line settings (mainLock). Clang checks the locking
// (platform/Mutex.h). Nesting: outputLock or mainLock may be taken inside
// inputLock, never the reverse; outputLock and mainLock are never held
// together.

#include "platform/CommBits.h"
#include "platform/DeviceControl.h"
#include "platform/MessageWindow.h"
#include "platform/Mutex.h"
#include "platform/Ring.h"
#include "serial/SerErrors.h"
#include "serial/SerTrace.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
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
inline constexpr int DispEventCreateFailed = ecOutOfMemory;

// Notification messages; lParam carries the dispatcher handle in its high 16 bits.
inline constexpr std::uint32_t TriggerAvailMsg = 0x7E01;
inline constexpr std::uint32_t TriggerDataMsg = 0x7E02;
inline constexpr std::uint32_t TriggerTimerMsg = 0x7E03;
inline constexpr std::uint32_t TriggerStatusMsg = 0x7E04;
inline constexpr std::uint32_t PortClosedMsg = 0x7E0A;

// A notification's lParam: the dispatcher handle in the high 16 bits, the
// message's data in the low ones.
constexpr std::intptr_t NotificationParam(int dispatcherHandle, std::uint16_t data)
{
    return static_cast<std::intptr_t>(static_cast<std::uintptr_t>(dispatcherHandle) << 16 | data);
}
constexpr int NotificationHandle(std::intptr_t lParam)
{
    return static_cast<int>((static_cast<std::uintptr_t>(lParam) >> 16) & 0xFFFF);
}
constexpr std::uint16_t NotificationData(std::intptr_t lParam)
{
    return static_cast<std::uint16_t>(static_cast<std::uintptr_t>(lParam) & 0xFFFF);
}

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
inline constexpr std::uint8_t ModemLevels = 0xF0;
inline constexpr std::uint8_t ModemDeltas = 0x0F;

// GetLineError's codes, the first error in this order.
inline constexpr int LineErrorRxOver = 1;
inline constexpr int LineErrorOverrun = 2;
inline constexpr int LineErrorParity = 3;
inline constexpr int LineErrorFrame = 4;
inline constexpr int LineErrorBreak = 9;

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

    // Which queue FlushQueue empties.
    enum TQueue : int { OutputQueue = 0, InputQueue = 1 };
    // What UpdateHandlerFlags does besides recomputing whether to notify.
    enum class THandlerFlags : int { Recompute = 0, ComponentOn = 1, ComponentOff = 2 };

    // --- The platform operations, in slot order.
    virtual int EscapeFunction(int code) = 0;
    virtual int FlushQueue(int queue) = 0; // a TQueue
    // Fills the transmit count from the transmit ring (OutputWaiting, which
    // takes outputLock again).
    virtual std::uint32_t ReadErrors(TCommStatus& status) REQUIRES(output.outputLock) = 0;
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
    virtual void SetThreadBoost(std::uint8_t boost) EXCLUDES(registry.mainLock);
    virtual void UpdateHandlerFlags(THandlerFlags flags) EXCLUDES(registry.mainLock);

    // --- Life cycle.
    // The lines as the open leaves them (lineFlags): levels, or handshakes.
    static constexpr std::uint8_t LineDtrOn = 0x01;
    static constexpr std::uint8_t LineRtsOn = 0x02;
    static constexpr std::uint8_t LineDtrHandshake = 0x10;
    static constexpr std::uint8_t LineRtsHandshake = 0x20;
    int OpenDispatcher(const char* deviceName, std::uint32_t baud, std::uint8_t parity,
                       std::uint8_t dataBits, std::uint8_t stopBits, std::uint32_t inSize,
                       std::uint32_t outSize, std::uint8_t lineFlags)
        EXCLUDES(input.inputLock, output.outputLock, registry.mainLock);
    void CloseDispatcher() EXCLUDES(input.inputLock, output.outputLock, registry.mainLock);
    void Destroy() EXCLUDES(input.inputLock, output.outputLock, registry.mainLock);
    int SetupQueues(std::uint32_t inSize, std::uint32_t outSize);

    // --- Data.
    std::uint32_t InputCount() EXCLUDES(input.inputLock);
    // When the newest received bytes came off the line, as near as the
    // platform can tell; the epoch when it cannot.
    virtual std::chrono::steady_clock::time_point LastArrival() { return {}; }
    std::uint32_t OutputUsed() EXCLUDES(output.outputLock);
    std::uint32_t OutputFree() EXCLUDES(output.outputLock);
    int FlushInput() EXCLUDES(input.inputLock, registry.mainLock);
    int FlushOutput() EXCLUDES(output.outputLock);
    int ReadBlock(std::uint8_t* destination, std::uint32_t count)
        EXCLUDES(input.inputLock, registry.mainLock);
    int WriteBlock(const std::uint8_t* source, std::uint32_t count)
        EXCLUDES(output.outputLock, registry.mainLock);

    // --- Handlers and triggers, under mainLock.
    void SetAvailLevel(std::uint32_t level) EXCLUDES(registry.mainLock);
    // Call from the window's own thread: during a notification to this window
    // that thread reads ahead like every other handler, while any other
    // thread's block reads take bytes for real.
    void AddWindowHandler(platform::WindowHandle window) EXCLUDES(registry.mainLock);
    void RemoveWindowHandler(platform::WindowHandle window) EXCLUDES(registry.mainLock);
    void AddProcedureHandler(TTriggerProc proc) EXCLUDES(registry.mainLock);
    void RemoveProcedureHandler(TTriggerProc proc) EXCLUDES(registry.mainLock);
    // A synchronized method runs on the user-interface thread (SynchronizeCall).
    void AddMethodHandler(TTriggerMethod code, void* object, bool synchronize)
        EXCLUDES(registry.mainLock);
    void RemoveMethodHandler(TTriggerMethod code, void* object) EXCLUDES(registry.mainLock);
    void ClearTriggers() EXCLUDES(registry.mainLock);
    void SaveTriggers(TTriggerSnapshot& snapshot) EXCLUDES(registry.mainLock);
    void RestoreTriggers(const TTriggerSnapshot& snapshot) EXCLUDES(registry.mainLock);
    static void FreeTriggerSnapshot(TTriggerSnapshot& snapshot);
    // Kind of the status trigger with that handle, 0 when there is none.
    std::uint32_t StatusTriggerKind(std::uint32_t handle) EXCLUDES(registry.mainLock);

    // --- Trace and log, each under mainLock. Results are 0 or a negative
    // code: -1002 for a size above the cap, -8 when memory runs out, the
    // negated I/O error number of a dump. A dump releases its recorder (a
    // log whose file cannot be opened keeps its entries, logging off).
    int InitTrace(std::uint32_t entries) EXCLUDES(registry.mainLock);
    int ClearTrace() EXCLUDES(registry.mainLock);
    void AbortTrace() EXCLUDES(registry.mainLock);
    void StartTrace() EXCLUDES(registry.mainLock);
    void StopTrace() EXCLUDES(registry.mainLock);
    int DumpTrace(const std::string& fileName, bool hexNonPrintable, bool allHex)
        EXCLUDES(registry.mainLock);
    int AppendTrace(const std::string& fileName, bool hexNonPrintable, bool allHex)
        EXCLUDES(registry.mainLock);
    // The ring has size bytes; entries pass through a block of the larger
    // of the open's InSize and OutSize when they are taken out.
    int InitLog(std::uint32_t size) EXCLUDES(registry.mainLock);
    void ClearLog() EXCLUDES(registry.mainLock);
    void AbortLog() EXCLUDES(registry.mainLock);
    void StartLog() EXCLUDES(registry.mainLock);
    void StopLog() EXCLUDES(registry.mainLock);
    // mainLock is held for the whole write, so operations that log wait for
    // the file instead of changing the ring under it.
    int DumpLog(const std::string& fileName, bool hexNonPrintable, bool allHex)
        EXCLUDES(registry.mainLock);
    int AppendLog(const std::string& fileName, bool hexNonPrintable, bool allHex)
        EXCLUDES(registry.mainLock);
    bool TracingOn() EXCLUDES(registry.mainLock);
    bool LoggingOn() EXCLUDES(registry.mainLock);

    // --- Passes, run by the dispatch thread (the scan state is its own).
    void ProcessCommEvents() EXCLUDES(input.inputLock, output.outputLock, registry.mainLock);
    void ProcessTimers() EXCLUDES(input.inputLock, output.outputLock, registry.mainLock);
    void FillInputBuffer() EXCLUDES(input.inputLock, output.outputLock, registry.mainLock);
    bool CheckDataAndAvail() EXCLUDES(input.inputLock, output.outputLock, registry.mainLock);
    bool CheckStatusTriggers() EXCLUDES(input.inputLock, output.outputLock, registry.mainLock);
    bool CheckTimerTriggers() EXCLUDES(input.inputLock, output.outputLock, registry.mainLock);
    bool NotifyHandlers(std::uint32_t message, std::uint32_t wParam, std::uint16_t data)
        EXCLUDES(input.inputLock, output.outputLock, registry.mainLock);

    // --- Line control and status, under mainLock.
    int SetLine(std::uint32_t baud, std::uint8_t parity, std::uint8_t dataBits,
                std::uint8_t stopBits) EXCLUDES(output.outputLock, registry.mainLock);
    int GetLineSettings(std::uint32_t& baud, std::uint8_t& parity, std::uint8_t& stopBits,
                        std::uint8_t& dataBits) EXCLUDES(registry.mainLock);
    int SetHardwareFlow(std::uint32_t bufferFull, std::uint32_t bufferResume, std::uint8_t options)
        EXCLUDES(registry.mainLock);
    int SetSoftwareFlow(std::uint32_t bufferFull, std::uint32_t bufferResume, std::uint8_t options)
        EXCLUDES(registry.mainLock);
    int ClearSoftwareFlow() EXCLUDES(registry.mainLock);
    int SetFlowChars(std::uint8_t xon, std::uint8_t xoff) EXCLUDES(registry.mainLock);
    int GetFlowSettings(std::uint8_t& hwOptions, std::uint8_t& swOptions, std::uint8_t& xoff,
                        std::uint8_t& xon) EXCLUDES(registry.mainLock);
    // 0; 1 while the line is under a handshake (nothing changes); or the
    // escape's failure.
    int SetDtr(int on) EXCLUDES(registry.mainLock);
    int SetRts(int on) EXCLUDES(registry.mainLock);
    // 0, or the line state write's failure (a driver without RS-485 mode),
    // which leaves RS-485 as it was. The driver turns the line around.
    int SetRs485(bool on) EXCLUDES(registry.mainLock);
    void SetOptionBits(std::uint32_t bits) EXCLUDES(registry.mainLock);
    void ClearOptionBits(std::uint32_t bits) EXCLUDES(registry.mainLock);
    std::uint8_t GetModemStatus(std::uint8_t keepMask) EXCLUDES(registry.mainLock);
    void UpdateModemChanges() EXCLUDES(registry.mainLock);
    void RefreshLineErrors() EXCLUDES(output.outputLock);
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
    bool FillWouldRead() EXCLUDES(input.inputLock);

    // The process-wide dispatcher table. Hold TableLock() while using FromHandle's result.
    static platform::RecursiveMutex& TableLock();
    static TSerBaseDispatcher* FromHandle(int handle);

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
    // Re-prioritises the threads for RS-485 and the boost; called under mainLock.
    virtual void ApplyThreadPriorities(bool rs485, std::uint8_t boost);
    virtual void CreateSignals() {}
    // End of an event pass: lets the receive thread wait for the next event.
    virtual void EventPassDone() {}
    // How many received bytes a notification needs first (1: each byte), for
    // a platform that can gather them before waking the passes.
    virtual void ReceiveNeedChanged(std::uint32_t /*bytes*/) {}

    // --- Recorder feeds. Each takes mainLock (so none may be called with
    // outputLock held) and records only while its recorder is on.
    void AddTraceEntry(char kind, std::uint8_t value) EXCLUDES(registry.mainLock);
    // One block's bytes under one hold of mainLock, so that a block is never
    // split by another thread's.
    void TraceBlock(char kind, const std::uint8_t* bytes, std::uint32_t count)
        EXCLUDES(registry.mainLock);
    void AddLogEntry(std::uint8_t type, std::uint8_t subtype, std::uint32_t data,
                     const std::uint8_t* bytes, std::uint32_t count) EXCLUDES(registry.mainLock);
    void AddLogEntryLocked(std::uint8_t type, std::uint8_t subtype, std::uint32_t data,
                           const std::uint8_t* bytes, std::uint32_t count)
        REQUIRES(registry.mainLock);
    void TraceBlockLocked(char kind, const std::uint8_t* bytes, std::uint32_t count)
        REQUIRES(registry.mainLock);
    // For an opening port: both off and released; the log times from now.
    void ResetRecorders() EXCLUDES(registry.mainLock);

    // --- The transmit ring as the platform half drives it. Each takes
    // outputLock, so none may be called with mainLock held.
    // Also from ReadErrors, under outputLock already.
    std::uint32_t OutputWaiting();
    // QueueOutput's copy of count bytes at outHead, across the end; the
    // caller (WriteBlock) checked the room.
    void CopyToOutputRing(const std::uint8_t* source, std::uint32_t count);
    // With nothing waiting, nothing out and no flush under way, the caller
    // may write to the device itself: the bytes could not overtake any.
    // Called with outputLock held, as QueueOutput is.
    bool OutputIdle();
    void ResetOutputRing();
    struct TOutputChunk {
        const std::uint8_t* bytes = nullptr;
        std::uint32_t count = 0;
    };
    // The waiting bytes that lie in one piece from outTail. They are the
    // transmitter's until ReleaseOutputChunk: writers only add behind the
    // head, and a flush waits. None while nothing waits or a flush is pending.
    TOutputChunk TakeOutputChunk() EXCLUDES(output.outputLock);
    // The transmitter let go of its chunk; consumed bytes of it are done
    // with (sent, or dropped with a failed write), and sent tells that they
    // reached the driver. True when a flush is waiting for this.
    bool ReleaseOutputChunk(std::uint32_t consumed, bool sent) EXCLUDES(output.outputLock);
    // An output flush: unless the transmitter has a chunk out (and has not
    // gone, writerGone), empties the ring and, under the same hold of
    // outputLock, has purge empty the driver's transmit side; its result.
    // Otherwise marks the flush pending, so that no new chunk is taken until
    // the transmitter lets go and the flush asks again, and returns nothing.
    std::optional<int> DropOutput(const std::function<int()>& purge, bool writerGone)
        EXCLUDES(output.outputLock);

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

    // --- Read-outs, for fakes.
    std::uint8_t ModemStatusByte() EXCLUDES(registry.mainLock);
    std::uint32_t OptionFlags() EXCLUDES(registry.mainLock);
    std::uint32_t LineErrorBits() const { return lineErrorBits.load(); }
    // The recorders as they stand; read them while no other thread records.
    const TSerTrace& ByteTrace() const NO_THREAD_SAFETY_ANALYSIS { return registry.byteTrace; }
    const TSerLog& DispatchLog() const NO_THREAD_SAFETY_ANALYSIS { return registry.dispatchLog; }

    // Negated last OS error, never 0.
    int NegatedOsError() const;

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

    // The input side: the dispatch buffer and the read-ahead state of a
    // notification, under inputLock.
    struct TInputSide {
        mutable platform::RecursiveMutex inputLock;
        std::unique_ptr<std::uint8_t[]> buffer GUARDED_BY(inputLock);
        std::uint32_t head GUARDED_BY(inputLock) = 0;
        std::uint32_t tail GUARDED_BY(inputLock) = 0;
        bool full GUARDED_BY(inputLock) = false;
        // Bytes ever put into the dispatch buffer since the open.
        std::uint64_t receivedTotal GUARDED_BY(inputLock) = 0;
        // The driver held more than the last fill could take.
        bool driverBacklog GUARDED_BY(inputLock) = false;
        bool readAheadMode GUARDED_BY(inputLock) = false;
        // Bytes taken by the running handler, counted from readAheadFloor.
        std::int32_t readAheadCount GUARDED_BY(inputLock) = 0;
        // Largest readAheadCount of the handlers already run.
        std::uint32_t readAheadMax GUARDED_BY(inputLock) = 0;
        // Where every handler starts reading, as an offset from the tail; a
        // flush during the notification moves it past everything held.
        std::uint32_t readAheadFloor GUARDED_BY(inputLock) = 0;
        // Once another thread took bytes during the notification, the
        // handlers may not read beyond readAheadLimit: the bytes after it
        // are that thread's.
        bool readAheadFrozen GUARDED_BY(inputLock) = false;
        std::uint32_t readAheadLimit GUARDED_BY(inputLock) = 0;
        std::uint32_t foreignTaken GUARDED_BY(inputLock) = 0;
        std::thread::id notifyThread GUARDED_BY(inputLock);  // delivering the notification
        std::thread::id handlerThread GUARDED_BY(inputLock); // running the current handler

        platform::Ring Ring() REQUIRES(inputLock)
        {
            return {buffer.get(), DispatchBufferSize, head, tail, full};
        }
        std::uint32_t HeldLocked() REQUIRES(inputLock) { return Ring().Held(); }
        // The calling thread is one of the notification's readers, which
        // read ahead instead of taking.
        bool IsReadAheadReaderLocked() const REQUIRES(inputLock);
        // Past everything the notification's handlers have read.
        std::uint32_t HandlerFrontierLocked() const REQUIRES(inputLock);
        // Where the calling thread's reads start and end, as offsets from the tail.
        void ReadWindowLocked(std::uint32_t& start, std::uint32_t& end) REQUIRES(inputLock);
        // The handler that ran is done with its reads so far.
        void NoteHandlerReadsLocked() REQUIRES(inputLock);
    };

    // The output side: the transmit ring, and who has it, under outputLock.
    // A chunk the transmitter is writing is its own until the write is over;
    // a flush waits for that before it empties the ring, and meanwhile no
    // new chunk is taken.
    struct TOutputSide {
        mutable platform::RecursiveMutex outputLock;
        std::unique_ptr<std::uint8_t[]> buffer GUARDED_BY(outputLock);
        std::uint32_t capacity GUARDED_BY(outputLock) = 0;
        std::uint32_t head GUARDED_BY(outputLock) = 0;
        std::uint32_t tail GUARDED_BY(outputLock) = 0;
        bool full GUARDED_BY(outputLock) = false;
        bool writeInFlight GUARDED_BY(outputLock) = false;
        bool flushPending GUARDED_BY(outputLock) = false;
        TCommStatus commStatus GUARDED_BY(outputLock);

        platform::Ring Ring() REQUIRES(outputLock)
        {
            return {buffer.get(), capacity, head, tail, full};
        }
    };

    // The registry: handlers, triggers, the recorders and the line settings,
    // under mainLock.
    struct TRegistry {
        mutable platform::RecursiveMutex mainLock;
        bool componentWantsTriggers GUARDED_BY(mainLock) = false;
        bool notifyEnabled GUARDED_BY(mainLock) = false;
        bool removalPending GUARDED_BY(mainLock) = false;
        std::vector<TWindowHandler> windowHandlers GUARDED_BY(mainLock);
        std::vector<TProcedureHandler> procedureHandlers GUARDED_BY(mainLock);
        std::vector<TMethodHandler> methodHandlers GUARDED_BY(mainLock);
        std::vector<TTimerTrigger> timerTriggers GUARDED_BY(mainLock);
        std::vector<TDataTrigger> dataTriggers GUARDED_BY(mainLock);
        std::vector<TStatusTrigger> statusTriggers GUARDED_BY(mainLock);
        std::uint32_t availLevel GUARDED_BY(mainLock) = 0;
        bool statusHitSeen GUARDED_BY(mainLock) = false;
        // Their on/off state is theirs alone; the log reads ClockMs().
        TSerTrace byteTrace GUARDED_BY(mainLock);
        TSerLog dispatchLog GUARDED_BY(mainLock);

        // The line: settings as last read or written, the levels DTR and
        // RTS are kept at, whether a handshake has them instead.
        TLineState lineState GUARDED_BY(mainLock);
        std::uint32_t currentBaud GUARDED_BY(mainLock) = 0;
        std::uint32_t optionFlags GUARDED_BY(mainLock) = 0;
        bool dtrOn GUARDED_BY(mainLock) = false;
        bool dtrHandshake GUARDED_BY(mainLock) = false;
        bool rtsOn GUARDED_BY(mainLock) = false;
        bool rtsHandshake GUARDED_BY(mainLock) = false;
        bool rs485Enabled GUARDED_BY(mainLock) = false;
        std::uint8_t threadBoost GUARDED_BY(mainLock) = 0;
        // Line levels (platform::MsCtsOn...) in the high nibble, their
        // changes in the low one.
        std::uint8_t modemStatusByte GUARDED_BY(mainLock) = 0;

        explicit TRegistry(TMillisecondSource clock) : dispatchLog(std::move(clock)) {}
        void PurgeRemovedLocked() REQUIRES(mainLock);
        void RecomputeNotifyLocked() REQUIRES(mainLock);
        std::size_t LiveWindowsLocked() const REQUIRES(mainLock);
    };

    // The transmitter finished n bytes at the tail.
    void AdvanceOutputTailLocked(std::uint32_t n) REQUIRES(output.outputLock);
    // Refreshes commStatus and returns the driver error bits; RefreshCommStatus
    // takes outputLock itself.
    std::uint32_t RefreshCommStatusLocked() REQUIRES(output.outputLock);
    std::uint32_t RefreshCommStatus(TCommStatus* copy = nullptr) EXCLUDES(output.outputLock);

    void ClearStatusHits() EXCLUDES(registry.mainLock);
    // One handler list's records, copied out one at a time (handlers may
    // add or remove handlers; removal only marks records while
    // dispatching) and given to deliver until it returns false.
    template <class Record, class Deliver>
    bool ForEachHandler(std::vector<Record> TRegistry::*list, Deliver deliver)
        EXCLUDES(registry.mainLock);
    bool RunHandlers(std::uint32_t message, std::uint32_t wParam, std::intptr_t lParam)
        EXCLUDES(input.inputLock, registry.mainLock);
    void BeginHandler(std::thread::id thread) EXCLUDES(input.inputLock);
    bool EndHandler() EXCLUDES(input.inputLock);
    // Removes the first live record that matches; only marks it while dispatching.
    template <class Record, class Match>
    bool RemoveHandlerLocked(std::vector<Record>& list, Match match) REQUIRES(registry.mainLock);
    void UpdateHandlerFlagsLocked(THandlerFlags flags) REQUIRES(registry.mainLock);
    // The status trigger that fires now, if any, marked hit; used: the transmit count.
    bool FireStatusTriggerLocked(std::uint32_t used, std::uint32_t& handle, std::uint16_t& data)
        REQUIRES(registry.mainLock);
    // NotifyHandlers' steps: dispatching on (false: nobody to tell), the
    // read-ahead set up for message, the bytes the handlers read taken out
    // (false: an avail notice's handlers did not read all of them), and the
    // state put back on every path (normal: the handlers all returned).
    bool BeginDispatching() EXCLUDES(registry.mainLock);
    void BeginReadAhead(std::uint32_t message) EXCLUDES(input.inputLock);
    bool ConsumeReadAhead(std::uint32_t message, std::uint32_t wParam) EXCLUDES(input.inputLock);
    void EndNotification(bool normal) EXCLUDES(input.inputLock, registry.mainLock);
    // CheckDataAndAvail's steps: the avail level (anyData: a data trigger
    // is set), the byte at pos and the position after it (false: no buffer),
    // the data triggers run over one byte (the longest match, 0 for none;
    // records: how many there are), and the avail notice once enough is new.
    std::uint32_t AvailLevel(bool& anyData) EXCLUDES(registry.mainLock);
    void PublishReceiveNeedLocked() REQUIRES(registry.mainLock);
    // A data trigger with something to match is set.
    bool AnyDataTriggerLocked() const REQUIRES(registry.mainLock);
    bool ScannedByte(std::uint32_t pos, std::uint8_t& byte, std::uint32_t& next)
        EXCLUDES(input.inputLock);
    std::uint32_t RunDataTriggers(std::uint8_t byte, std::size_t& records)
        EXCLUDES(registry.mainLock);
    bool NotifyAvailLevel(std::uint32_t head, std::uint64_t total, std::uint32_t level)
        REQUIRES(dispatchThread) EXCLUDES(input.inputLock, output.outputLock, registry.mainLock);
    // The data triggers' notifications for a match at pos (dispatch thread).
    bool NotifyMatch(std::uint32_t pos, std::uint32_t level, std::uint32_t longest,
                     std::size_t records)
        EXCLUDES(input.inputLock, output.outputLock, registry.mainLock);
    int ApplyLineStateLocked(TLineState& state) REQUIRES(registry.mainLock);
    // ApplyLineStateLocked(lineState); on failure the handshake flags go
    // back to dtrWas and rtsWas and the remembered levels are applied again.
    int ApplyOrRestoreLocked(bool dtrWas, bool rtsWas) REQUIRES(registry.mainLock);
    // DTR (escapes EscSetDtr/EscClrDtr) or RTS: the level is remembered.
    int SetLineLevelLocked(bool& level, bool handshake, int on, std::uint32_t setEscape,
                           std::uint32_t clearEscape) REQUIRES(registry.mainLock);
    std::uint8_t GetModemStatusLocked(std::uint8_t keepMask) REQUIRES(registry.mainLock);
    void LeaveTable();
    // SetDtr's and SetRts's levels again, after a line-state write.
    void ReapplyLevelsLocked() REQUIRES(registry.mainLock);
    void DrainAtOldSettings(const TLineState& old, std::uint32_t oldBaud)
        EXCLUDES(output.outputLock, registry.mainLock);
    // A fill's read of up to offered bytes at the ring's head, counted in.
    std::uint32_t ReadIntoRingLocked(platform::Ring& ring, std::uint32_t offered)
        REQUIRES(input.inputLock, dispatchThread);
    // The open's steps.
    void ResetForOpen() EXCLUDES(input.inputLock, output.outputLock, registry.mainLock);
    // 0, or the failure of the device's open or of its queue setup.
    int OpenAndSetUpDevice(const char* deviceName, std::uint32_t inSize, std::uint32_t outSize);
    void MakeRings(std::uint32_t inSize, std::uint32_t outSize)
        EXCLUDES(input.inputLock, output.outputLock);
    void SetUpLines(std::uint8_t lineFlags) EXCLUDES(registry.mainLock);
    void ResetScan();

    // --- Fields.
    TSerCustomComPort* ownerPort;
    int dispatcherHandle = -1;
    std::atomic<std::intptr_t> portHandle{0};
    std::atomic<std::uint32_t> lineErrorBits{0};
    // The open's queue sizes: written by the open before the threads start,
    // read by any thread.
    std::atomic<std::uint32_t> inQueueSize{0};
    std::atomic<std::uint32_t> outQueueSize{0};

    TInputSide input;
    TOutputSide output;
    TRegistry registry;

    // The dispatch thread's scan of the dispatch buffer. The open resets it
    // before the threads start; the passes touch it after Assume().
    platform::ThreadRole dispatchThread;
    std::uint32_t scanPosition GUARDED_BY(dispatchThread) = 0;
    std::uint32_t lastNoticePosition GUARDED_BY(dispatchThread) = 0;
    // receivedTotal at the last avail notice: a head back at the noticed
    // position after a whole ring's worth of bytes is still new data.
    std::uint64_t noticedTotal GUARDED_BY(dispatchThread) = 0;
    // Bytes from scanPosition to the head, counted for the same reason;
    // the fill counts them in under inputLock.
    std::uint32_t unscannedBytes GUARDED_BY(dispatchThread) = 0;

    std::atomic<bool> dispatching{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> started{false};
    std::atomic<bool> teardownPending{false};
    std::atomic<std::int32_t> activeThreads{0};
    std::atomic<bool> closeDeferred{false};
    std::atomic<bool> outputSent{false};
    std::atomic<bool> ringSeen{false};
    std::atomic<std::uint32_t> lastEventMask{0};
    std::atomic<std::uint32_t> pendingEventMask{0};

    bool destroyed = false;
};
