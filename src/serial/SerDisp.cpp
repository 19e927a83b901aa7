#include "serial/SerDisp.h"

#include "platform/MessageWindow.h"
#include "platform/Sync.h"

#include <algorithm>
#include <cstring>

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

constexpr std::uint8_t LogTypeDispatch = 1;
constexpr std::uint8_t LogTypeTrigger = 2;
constexpr std::uint8_t LogTypeHandlerAdded = 7;
constexpr std::uint8_t LogTypeHandlerRemoved = 8;
constexpr std::uint8_t LogTypeLevelChanged = 9;
constexpr std::uint8_t LogSubReadCom = 1;
constexpr std::uint8_t LogSubWriteCom = 2;
constexpr std::uint8_t LogSubAvail = 5;
constexpr std::uint8_t LogSubTimer = 6;
constexpr std::uint8_t LogSubData = 7;
constexpr std::uint8_t LogSubStatus = 8;
constexpr std::uint8_t LogSubAvailLevel = 16;
constexpr std::uint8_t LogSubWindow = 17;

// Ticks of 55 ms: half the range of the millisecond clock counted in them,
// the distance past which a start tick ahead of the clock means it wrapped.
constexpr std::uint32_t TicksHalfRange = 39045157;

std::recursive_mutex& TableMutex()
{
    static std::recursive_mutex mutex;
    return mutex;
}

std::vector<TSerBaseDispatcher*>& Table()
{
    static std::vector<TSerBaseDispatcher*> table;
    return table;
}

std::uint32_t Wrap(std::uint32_t position)
{
    return position % DispatchBufferSize;
}

std::uint8_t Upper(std::uint8_t c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<std::uint8_t>(c - 'a' + 'A') : c;
}

// Advances a data trigger's partial matches by one received byte.
void RunMatcher(TDataTrigger& trigger, std::uint8_t byte)
{
    const std::uint32_t length =
        std::min<std::uint32_t>(trigger.matchLength, static_cast<std::uint32_t>(DataTriggerStates));
    const bool ignoreCase = trigger.ignoreCase != 0;
    const std::uint8_t c = ignoreCase ? Upper(byte) : byte;
    auto matchesAt = [&](std::uint32_t k) {
        std::uint8_t m = static_cast<std::uint8_t>(trigger.match[k]);
        return (ignoreCase ? Upper(m) : m) == c;
    };
    bool complete = false;
    // Longest partial matches first, so that no match advances twice on one byte.
    for (std::uint32_t k = length - 1; k >= 1; --k) {
        if (trigger.state[k] == 0) {
            continue;
        }
        trigger.state[k] = 0;
        if (matchesAt(k)) {
            if (k + 1 == length) {
                complete = true;
            } else {
                trigger.state[k + 1] = 1;
            }
        }
    }
    if (matchesAt(0)) {
        if (length == 1) {
            complete = true;
        } else {
            trigger.state[1] = 1;
        }
    }
    if (complete) {
        trigger.matched = 0xFFFFFFFFu;
        std::fill(std::begin(trigger.state), std::end(trigger.state), 0u);
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Dispatcher table

std::recursive_mutex& TSerBaseDispatcher::TableLock()
{
    return TableMutex();
}

TSerBaseDispatcher* TSerBaseDispatcher::FromHandle(int handle)
{
    Lock lock(TableMutex());
    auto& table = Table();
    if (handle < 0 || static_cast<std::size_t>(handle) >= table.size()) {
        return nullptr;
    }
    return table[static_cast<std::size_t>(handle)];
}

std::size_t TSerBaseDispatcher::TableSlots()
{
    Lock lock(TableMutex());
    return Table().size();
}

TSerBaseDispatcher::TSerBaseDispatcher(TSerCustomComPort* owner)
    : ownerPort(owner), dispatchLog([this] { return ClockMs(); })
{
    Lock lock(TableMutex());
    auto& table = Table();
    auto slot = std::find(table.begin(), table.end(), nullptr);
    if (slot == table.end()) {
        table.push_back(this);
        dispatcherHandle = static_cast<int>(table.size() - 1);
    } else {
        *slot = this;
        dispatcherHandle = static_cast<int>(slot - table.begin());
    }
}

TSerBaseDispatcher::~TSerBaseDispatcher()
{
    LeaveTable();
}

void TSerBaseDispatcher::LeaveTable()
{
    Lock lock(TableMutex());
    auto& table = Table();
    if (dispatcherHandle < 0 || static_cast<std::size_t>(dispatcherHandle) >= table.size() ||
        table[static_cast<std::size_t>(dispatcherHandle)] != this) {
        return;
    }
    table[static_cast<std::size_t>(dispatcherHandle)] = nullptr;
    while (!table.empty() && table.back() == nullptr) {
        table.pop_back();
    }
}

// ---------------------------------------------------------------------------
// Seams with platform defaults

void TSerBaseDispatcher::SleepMs(std::uint32_t ms)
{
    platform::Sleep(ms);
}

std::uint32_t TSerBaseDispatcher::ClockMs()
{
    return platform::MillisecondClock();
}

bool TSerBaseDispatcher::SendToWindow(platform::WindowHandle window, std::uint32_t msg,
                                      std::uintptr_t wParam, std::intptr_t lParam)
{
    return platform::SendMessageTimeout(window, msg, wParam, lParam, NotifySendTimeoutMs);
}

void TSerBaseDispatcher::SynchronizeCall(const std::function<void()>& call)
{
    call();
}

int TSerBaseDispatcher::NegatedOsError() const
{
    const std::uint32_t error = LastOsError();
    // A failure must never read as success, even when the system kept no number.
    if (error == 0 || error > 0x7FFFFFFFu) {
        return -1;
    }
    return -static_cast<int>(error);
}

std::uint32_t TSerBaseDispatcher::ReadErrorsLocked(TCommStatus* copy)
{
    Lock lock(outputLock);
    const std::uint32_t bits = ReadErrors(commStatus);
    if (copy != nullptr) {
        *copy = commStatus;
    }
    return bits;
}

// ---------------------------------------------------------------------------
// Life cycle

int TSerBaseDispatcher::OpenDispatcher(const char* deviceName, std::uint32_t baud,
                                       std::uint8_t parity, std::uint8_t dataBits,
                                       std::uint8_t stopBits, std::uint32_t inSize,
                                       std::uint32_t outSize, std::uint8_t lineFlags)
{
    ringSeen.store(false);
    {
        Lock in(inputLock);
        inHead = inTail = 0;
    }
    ResetOutputRing();
    {
        Lock lock(mainLock);
        dispatching.store(false);
        removalPending = false;
    }
    CreateSignals();

    const std::intptr_t handle = OpenDevice(deviceName, inSize, outSize);
    if (handle < 0) {
        const int code = handle == DispEventCreateFailed ? DispEventCreateFailed : NegatedOsError();
        portHandle.store(handle);
        CloseDispatcher();
        return code;
    }
    portHandle.store(handle);

    if (!SetupDriverQueues(inSize, outSize)) {
        const int code = NegatedOsError();
        CloseDispatcher();
        return code;
    }

    {
        Lock in(inputLock);
        inBuffer = std::make_unique<std::uint8_t[]>(DispatchBufferSize);
        inHead = inTail = 0;
        inputFull = false;
        receivedTotal = 0;
        readAheadCount = 0;
        readAheadMode = false;
        driverBacklog = false;
    }
    {
        Lock out(outputLock);
        outBuffer = std::make_unique<std::uint8_t[]>(outSize);
        outQueueSize = outSize;
        outHead = outTail = 0;
        outFull = false;
    }
    inQueueSize = inSize;
    lineErrorBits.store(0);
    outputSent.store(false);
    closeDeferred.store(false);
    {
        Lock lock(mainLock);
        rs485Enabled = false;
        uartBaseAddress = 0;
        GetLineState(lineState);
    }

    if (lineFlags & 0x10) {
        dtrHandshake = true;
    } else {
        dtrHandshake = false;
        SetDtr((lineFlags & 0x01) ? 1 : 0);
    }
    if (lineFlags & 0x20) {
        rtsHandshake = true;
    } else {
        rtsHandshake = false;
        SetRts((lineFlags & 0x02) ? 1 : 0);
    }

    scanPosition = 0;
    lastNoticePosition = 0;
    noticedTotal = 0;
    unscannedBytes = 0;
    ClearTriggers();
    ClearStatusHits();
    {
        Lock lock(mainLock);
        modemStatusByte = 0;
    }
    GetModemStatus(0xF0);

    currentBaud = 115200;
    const int lineResult = SetLine(baud, parity, dataBits, stopBits);
    if (lineResult < 0) {
        CloseDispatcher();
        return lineResult;
    }

    RefreshLineErrors();
    ResetRecorders();
    StartThreads();
    return 0;
}

void TSerBaseDispatcher::CloseDispatcher()
{
    if (portHandle.load() >= 0) {
        FlushOutput();
        FlushInput();
        CloseDevice();
    }
    {
        Lock lock(mainLock);
        if (dispatching.load()) {
            // The dispatch thread finishes the teardown once the handler returns.
            closeDeferred.store(true);
            return;
        }
    }
    // Not under mainLock: freeing the dispatch buffer takes inputLock.
    ReleasePort();
}

void TSerBaseDispatcher::ReleasePort()
{
    if (started.load()) {
        StopThreads();
    }
    {
        Lock in(inputLock);
        inBuffer.reset();
        inHead = inTail = 0;
        inputFull = false;
    }
    Lock out(outputLock);
    outBuffer.reset();
    outHead = outTail = 0;
    outFull = false;
}

void TSerBaseDispatcher::Destroy()
{
    if (destroyed) {
        return;
    }
    destroyed = true;
    if (closeDeferred.load()) {
        ReleasePort();
    } else {
        CloseDispatcher();
    }
    LeaveTable();
    Lock lock(mainLock);
    windowHandlers.clear();
    procedureHandlers.clear();
    methodHandlers.clear();
    timerTriggers.clear();
    dataTriggers.clear();
    statusTriggers.clear();
}

int TSerBaseDispatcher::SetupQueues(std::uint32_t inSize, std::uint32_t outSize)
{
    return SetupDriverQueues(inSize, outSize) ? 0 : NegatedOsError();
}

// ---------------------------------------------------------------------------
// Dispatch buffer

std::uint32_t TSerBaseDispatcher::HeldLocked() const
{
    if (inHead == inTail) {
        return inputFull ? DispatchBufferSize : 0;
    }
    return inHead > inTail ? inHead - inTail : inHead + DispatchBufferSize - inTail;
}

// During a notification the thread delivering it and the thread running the
// current handler read ahead: every handler sees the bytes from the same
// starting point. Any other thread (a worker woken by the handler) takes
// bytes for real, after everything the handlers have seen.
bool TSerBaseDispatcher::IsReadAheadReaderLocked() const
{
    if (!readAheadMode) {
        return false;
    }
    const auto self = std::this_thread::get_id();
    return self == notifyThread || self == handlerThread;
}

std::uint32_t TSerBaseDispatcher::HandlerFrontierLocked() const
{
    const std::uint32_t count = readAheadCount > 0 ? static_cast<std::uint32_t>(readAheadCount) : 0;
    return readAheadFloor + std::max(readAheadMax, count);
}

std::uint32_t TSerBaseDispatcher::InputCount()
{
    Lock in(inputLock);
    const std::uint32_t held = HeldLocked();
    if (!readAheadMode) {
        return held;
    }
    std::uint32_t start = 0;
    std::uint32_t end = held;
    if (IsReadAheadReaderLocked()) {
        start = readAheadFloor + static_cast<std::uint32_t>(std::max(readAheadCount, 0));
        end = readAheadFrozen ? readAheadLimit : held;
    } else {
        start = readAheadFrozen ? readAheadLimit + foreignTaken : HandlerFrontierLocked();
    }
    return end > start ? end - start : 0;
}

int TSerBaseDispatcher::ReadBlock(std::uint8_t* destination, std::uint32_t count)
{
    {
        Lock in(inputLock);
        if (count == 0) {
            return 0;
        }
        if (!inBuffer) {
            return DispBufferIsEmpty;
        }
        const std::uint32_t held = HeldLocked();
        const bool readAhead = IsReadAheadReaderLocked();
        std::uint32_t start = 0;
        std::uint32_t end = held;
        if (readAhead) {
            start = readAheadFloor + static_cast<std::uint32_t>(std::max(readAheadCount, 0));
            end = readAheadFrozen ? readAheadLimit : held;
        } else if (readAheadMode) {
            start = readAheadFrozen ? readAheadLimit + foreignTaken : HandlerFrontierLocked();
        }
        if (end <= start || count > end - start) {
            return DispBufferIsEmpty;
        }
        const std::uint32_t from = Wrap(inTail + start);
        const std::uint32_t first = std::min(count, DispatchBufferSize - from);
        std::memcpy(destination, inBuffer.get() + from, first);
        if (first < count) {
            std::memcpy(destination + first, inBuffer.get(), count - first);
        }
        if (readAhead) {
            readAheadCount += static_cast<std::int32_t>(count);
        } else if (readAheadMode) {
            if (!readAheadFrozen) {
                readAheadFrozen = true;
                readAheadLimit = HandlerFrontierLocked();
            }
            foreignTaken += count;
        } else {
            inTail = Wrap(inTail + count);
            inputFull = false;
        }
    }
    // After inputLock is left: a trace records the reads in the order they finished.
    TraceBlock('R', destination, count);
    return static_cast<int>(count);
}

int TSerBaseDispatcher::FlushInput()
{
    Lock in(inputLock);
    const int result = FlushQueue(1);
    driverBacklog = false;
    if (readAheadMode) {
        // Handlers and other readers alike see nothing more of what was held;
        // the tail passes all of it when the notification ends.
        readAheadFloor = HeldLocked();
        readAheadCount = 0;
        readAheadMax = 0;
        readAheadFrozen = false;
        readAheadLimit = 0;
        foreignTaken = 0;
    } else {
        inTail = inHead;
        readAheadCount = 0;
        inputFull = false;
    }
    Lock lock(mainLock);
    for (auto& trigger : dataTriggers) {
        std::fill(std::begin(trigger.state), std::end(trigger.state), 0u);
    }
    return result;
}

bool TSerBaseDispatcher::FillWouldRead()
{
    Lock in(inputLock);
    return driverBacklog && inBuffer && !inputFull && !readAheadMode;
}

void TSerBaseDispatcher::FillInputBuffer()
{
    Lock in(inputLock);
    if (inputFull || !inBuffer) {
        return;
    }
    driverBacklog = false;
    TCommStatus status;
    lineErrorBits.fetch_or(ReadErrorsLocked(&status) & 0x1F);
    if (status.inQueue == 0) {
        return;
    }
    std::uint32_t free = 0;
    std::uint32_t contiguous = 0;
    if (inHead == inTail) {
        free = DispatchBufferSize;
        contiguous = DispatchBufferSize - inHead;
    } else if (inTail < inHead) {
        free = inTail + DispatchBufferSize - inHead;
        contiguous = DispatchBufferSize - inHead;
    } else {
        free = contiguous = inTail - inHead;
    }
    const std::uint32_t toRead = std::min(free, status.inQueue);
    std::uint32_t second = toRead > contiguous ? toRead - contiguous : 0;

    auto readPart = [&](std::uint32_t offered) {
        std::uint32_t got = ReadPort(inBuffer.get() + inHead, offered);
        got = std::min(got, offered);
        AddLogEntry(LogTypeDispatch, LogSubReadCom, got, inBuffer.get() + inHead, got);
        inHead += got;
        receivedTotal += got;
        if (inHead == DispatchBufferSize) {
            inHead = 0;
        }
        unscannedBytes = std::min(unscannedBytes + got, DispatchBufferSize);
        if (got > 0) {
            inputFull = inHead == inTail;
        }
        return got;
    };

    std::uint32_t read = readPart(contiguous);
    if (read < contiguous) {
        second = 0;
    }
    if (second > 0) {
        read += readPart(second);
    }
    driverBacklog = read < status.inQueue && read > 0;
}

// ---------------------------------------------------------------------------
// Transmit ring

std::uint32_t TSerBaseDispatcher::OutputWaiting()
{
    Lock out(outputLock);
    if (outFull) {
        return outQueueSize;
    }
    if (outHead == outTail) {
        return 0;
    }
    return outTail < outHead ? outHead - outTail : outQueueSize + outHead - outTail;
}

void TSerBaseDispatcher::CopyToOutputRing(const std::uint8_t* source, std::uint32_t count)
{
    Lock out(outputLock);
    if (!outBuffer || count == 0) {
        return;
    }
    const std::uint32_t n = outQueueSize - outHead;
    if (n < count) {
        std::memcpy(outBuffer.get() + outHead, source, n);
        std::memcpy(outBuffer.get(), source + n, count - n);
        outHead = count - n;
    } else {
        std::memcpy(outBuffer.get() + outHead, source, count);
        outHead = n == count ? 0 : outHead + count;
    }
}

void TSerBaseDispatcher::AdvanceOutputTail(std::uint32_t n)
{
    Lock out(outputLock);
    outTail += n;
    if (outTail >= outQueueSize) {
        outTail -= outQueueSize;
    }
    if (outTail == outHead) {
        outHead = outTail = 0;
    }
    outFull = false;
}

void TSerBaseDispatcher::ResetOutputRing()
{
    Lock out(outputLock);
    outHead = outTail = 0;
    outFull = false;
}

std::uint32_t TSerBaseDispatcher::OutputUsed()
{
    Lock out(outputLock);
    RefreshLineErrors();
    return commStatus.outQueue;
}

std::uint32_t TSerBaseDispatcher::OutputFree()
{
    const std::uint32_t used = OutputUsed();
    return outQueueSize > used ? outQueueSize - used : 0;
}

int TSerBaseDispatcher::FlushOutput()
{
    return FlushQueue(0);
}

int TSerBaseDispatcher::WriteBlock(const std::uint8_t* source, std::uint32_t count)
{
    if (count == 0) {
        return 0;
    }
    {
        Lock out(outputLock);
        lineErrorBits.store(ReadErrors(commStatus));
        const std::uint32_t waiting = commStatus.outQueue;
        const std::uint32_t free = outQueueSize > waiting ? outQueueSize - waiting : 0;
        if (count > free || !outBuffer) {
            return DispOutputBufferTooSmall;
        }
        if (!IsNtPlatform() && rs485Enabled) {
            if (uartBaseAddress == 0) {
                return DispBaseAddressNotSet;
            }
            SetRts(1);
        }
        if (QueueOutput(source, count) <= 0) {
            lineErrorBits.store(ReadErrors(commStatus));
            return DispPutBlockFail;
        }
        // Only a block that really went in may mark the ring full: with head
        // and tail equal, the flag is all that tells full from empty.
        if (count == free) {
            outFull = true;
        }
        outputSent.store(true);
    }
    // outputLock is left: the two are never held together.
    Lock lock(mainLock);
    AddLogEntry(LogTypeDispatch, LogSubWriteCom, count, source, count);
    TraceBlock('T', source, count);
    return 0;
}

// ---------------------------------------------------------------------------
// Handlers and triggers

void TSerBaseDispatcher::SetAvailLevel(std::uint32_t level)
{
    Lock lock(mainLock);
    availLevel = level;
    AddLogEntry(LogTypeLevelChanged, LogSubAvailLevel, level, nullptr, 0);
}

void TSerBaseDispatcher::AddWindowHandler(platform::WindowHandle window)
{
    Lock lock(mainLock);
    windowHandlers.push_back({window, false, std::this_thread::get_id()});
    notifyEnabled = true;
    AddLogEntry(LogTypeHandlerAdded, LogSubWindow, window, nullptr, 0);
}

void TSerBaseDispatcher::RemoveWindowHandler(platform::WindowHandle window)
{
    Lock lock(mainLock);
    auto it =
        std::find_if(windowHandlers.begin(), windowHandlers.end(),
                     [&](const TWindowHandler& h) { return h.window == window && !h.removed; });
    if (it != windowHandlers.end()) {
        if (dispatching.load()) {
            it->removed = true;
            removalPending = true;
        } else {
            windowHandlers.erase(it);
        }
        AddLogEntry(LogTypeHandlerRemoved, LogSubWindow, window, nullptr, 0);
    }
    UpdateHandlerFlags(0);
}

void TSerBaseDispatcher::AddProcedureHandler(TTriggerProc proc)
{
    Lock lock(mainLock);
    procedureHandlers.push_back({proc, false});
    notifyEnabled = true;
}

void TSerBaseDispatcher::RemoveProcedureHandler(TTriggerProc proc)
{
    Lock lock(mainLock);
    auto it =
        std::find_if(procedureHandlers.begin(), procedureHandlers.end(),
                     [&](const TProcedureHandler& h) { return h.proc == proc && !h.removed; });
    if (it != procedureHandlers.end()) {
        if (dispatching.load()) {
            it->removed = true;
            removalPending = true;
        } else {
            procedureHandlers.erase(it);
        }
    }
    UpdateHandlerFlags(0);
}

void TSerBaseDispatcher::AddMethodHandler(TTriggerMethod code, void* object, bool synchronize)
{
    Lock lock(mainLock);
    methodHandlers.push_back({code, object, false, synchronize});
    notifyEnabled = true;
}

void TSerBaseDispatcher::RemoveMethodHandler(TTriggerMethod code, void* object)
{
    Lock lock(mainLock);
    auto it =
        std::find_if(methodHandlers.begin(), methodHandlers.end(), [&](const TMethodHandler& h) {
            return h.code == code && h.object == object && !h.removed;
        });
    if (it != methodHandlers.end()) {
        if (dispatching.load()) {
            it->removed = true;
            removalPending = true;
        } else {
            methodHandlers.erase(it);
        }
    }
    UpdateHandlerFlags(0);
}

void TSerBaseDispatcher::RecomputeNotifyLocked()
{
    std::size_t windows = 0;
    for (const auto& h : windowHandlers) {
        windows += h.removed ? 0 : 1;
    }
    bool others = windows > 1;
    for (const auto& h : procedureHandlers) {
        others = others || !h.removed;
    }
    for (const auto& h : methodHandlers) {
        others = others || !h.removed;
    }
    notifyEnabled = others || componentWantsTriggers;
}

void TSerBaseDispatcher::UpdateHandlerFlags(int mode)
{
    Lock lock(mainLock);
    if (mode == 1) {
        componentWantsTriggers = true;
        notifyEnabled = true;
        return;
    }
    if (mode == 2) {
        componentWantsTriggers = false;
    }
    RecomputeNotifyLocked();
}

void TSerBaseDispatcher::ClearTriggers()
{
    Lock lock(mainLock);
    availLevel = 0;
    timerTriggers.clear();
    dataTriggers.clear();
    statusTriggers.clear();
}

void TSerBaseDispatcher::SaveTriggers(TTriggerSnapshot& snapshot)
{
    Lock lock(mainLock);
    FreeTriggerSnapshot(snapshot);
    snapshot.availLevel = availLevel;
    snapshot.timers = timerTriggers;
    snapshot.data = dataTriggers;
    snapshot.status = statusTriggers;
}

void TSerBaseDispatcher::RestoreTriggers(const TTriggerSnapshot& snapshot)
{
    Lock lock(mainLock);
    availLevel = snapshot.availLevel;
    timerTriggers = snapshot.timers;
    dataTriggers = snapshot.data;
    statusTriggers = snapshot.status;
}

void TSerBaseDispatcher::FreeTriggerSnapshot(TTriggerSnapshot& snapshot)
{
    snapshot.availLevel = 0;
    std::vector<TTimerTrigger>().swap(snapshot.timers);
    std::vector<TDataTrigger>().swap(snapshot.data);
    std::vector<TStatusTrigger>().swap(snapshot.status);
}

std::uint32_t TSerBaseDispatcher::StatusTriggerKind(std::uint32_t handle)
{
    Lock lock(mainLock);
    for (const auto& t : statusTriggers) {
        if (t.handle == handle) {
            return t.kind;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Notifications

void TSerBaseDispatcher::BeginHandler(std::thread::id thread)
{
    Lock in(inputLock);
    // A handler that outlasted its send may have read on since it was counted.
    readAheadMax = std::max(readAheadMax, static_cast<std::uint32_t>(std::max(readAheadCount, 0)));
    readAheadCount = 0;
    handlerThread = thread;
}

// False when the port was closed meanwhile: the delivery ends here.
bool TSerBaseDispatcher::EndHandler()
{
    if (closeDeferred.load()) {
        return false;
    }
    Lock in(inputLock);
    readAheadMax = std::max(readAheadMax, static_cast<std::uint32_t>(std::max(readAheadCount, 0)));
    return true;
}

bool TSerBaseDispatcher::RunHandlers(std::uint32_t message, std::uint32_t wParam,
                                     std::intptr_t lParam)
{
    const auto self = std::this_thread::get_id();
    // Records are copied out one at a time: handlers may add or remove
    // handlers, and removal only marks records while dispatching.
    for (std::size_t i = 0;; ++i) {
        TMethodHandler h;
        {
            Lock lock(mainLock);
            if (i >= methodHandlers.size()) {
                break;
            }
            h = methodHandlers[i];
        }
        if (h.removed || h.code == nullptr) {
            continue;
        }
        if (h.synchronize) {
            BeginHandler(std::thread::id());
            SynchronizeCall([&] {
                {
                    Lock in(inputLock);
                    handlerThread = std::this_thread::get_id();
                }
                h.code(h.object, message, wParam, lParam);
            });
        } else {
            BeginHandler(self);
            h.code(h.object, message, wParam, lParam);
        }
        if (!EndHandler()) {
            return false;
        }
    }
    for (std::size_t i = 0;; ++i) {
        TProcedureHandler h;
        {
            Lock lock(mainLock);
            if (i >= procedureHandlers.size()) {
                break;
            }
            h = procedureHandlers[i];
        }
        if (h.removed || h.proc == nullptr) {
            continue;
        }
        BeginHandler(self);
        h.proc(message, wParam, lParam);
        if (!EndHandler()) {
            return false;
        }
    }
    bool windowsWanted = false;
    {
        Lock lock(mainLock);
        std::size_t windows = 0;
        for (const auto& h : windowHandlers) {
            windows += h.removed ? 0 : 1;
        }
        windowsWanted = windows > 1 || componentWantsTriggers;
    }
    if (!windowsWanted) {
        return true;
    }
    // Threads whose handler outlasted its send: it may still be reading, and
    // the reads of another window of that thread could not be told from its
    // own, so such a window waits for the next notification.
    std::vector<std::thread::id> busyThreads;
    for (std::size_t i = 0;; ++i) {
        TWindowHandler h;
        {
            Lock lock(mainLock);
            if (i >= windowHandlers.size()) {
                break;
            }
            h = windowHandlers[i];
        }
        if (h.removed || std::find(busyThreads.begin(), busyThreads.end(), h.ownerThread) !=
                             busyThreads.end()) {
            continue;
        }
        BeginHandler(h.ownerThread);
        // A window that does not answer in time is given up for this notification.
        if (!SendToWindow(h.window, message, wParam, lParam) && platform::IsWindow(h.window)) {
            busyThreads.push_back(h.ownerThread);
        }
        if (!EndHandler()) {
            return false;
        }
    }
    return true;
}

bool TSerBaseDispatcher::NotifyHandlers(std::uint32_t message, std::uint32_t wParam,
                                        std::uint16_t data)
{
    {
        Lock lock(mainLock);
        if (!notifyEnabled) {
            return true;
        }
        dispatching.store(true);
    }
    {
        Lock in(inputLock);
        readAheadMax = 0;
        readAheadCount = 0;
        readAheadFloor = 0;
        readAheadFrozen = false;
        readAheadLimit = 0;
        foreignTaken = 0;
        readAheadMode = message == TriggerAvailMsg || message == TriggerDataMsg;
        notifyThread = std::this_thread::get_id();
        handlerThread = notifyThread;
    }
    const std::intptr_t lParam = static_cast<std::intptr_t>(dispatcherHandle) * 65536 + data;

    // Whatever a handler throws, the notification state must not stay behind.
    struct Finish {
        TSerBaseDispatcher& d;
        bool normal = false;
        ~Finish()
        {
            {
                Lock in(d.inputLock);
                d.readAheadMode = false;
                d.notifyThread = std::thread::id();
                d.handlerThread = std::thread::id();
                if (normal) {
                    d.readAheadCount = 0;
                }
            }
            Lock lock(d.mainLock);
            d.dispatching.store(false);
            if (d.removalPending) {
                d.PurgeRemovedHandlers();
            }
        }
    } finish{*this};

    bool result = RunHandlers(message, wParam, lParam);
    if (result) {
        Lock in(inputLock);
        if (readAheadMode) {
            readAheadMode = false;
            // Also what a handler still running past its send has read so far.
            const std::uint32_t moved =
                readAheadFrozen ? readAheadLimit + foreignTaken : HandlerFrontierLocked();
            if (moved != 0) {
                inTail = Wrap(inTail + moved);
                inputFull = false;
            }
            if (message == TriggerAvailMsg && moved != wParam) {
                result = false;
            }
        }
        finish.normal = true;
    }
    return result;
}

void TSerBaseDispatcher::PurgeRemovedHandlers()
{
    Lock lock(mainLock);
    std::erase_if(windowHandlers, [](const TWindowHandler& h) { return h.removed; });
    std::erase_if(procedureHandlers, [](const TProcedureHandler& h) { return h.removed; });
    std::erase_if(methodHandlers, [](const TMethodHandler& h) { return h.removed; });
    removalPending = false;
    UpdateHandlerFlags(0);
}

bool TSerBaseDispatcher::CheckDataAndAvail()
{
    std::uint32_t head = 0;
    std::uint64_t total = 0;
    {
        Lock in(inputLock);
        if (!inBuffer) {
            return false;
        }
        head = inHead;
        total = receivedTotal;
    }
    std::uint32_t level = 0;
    bool anyData = false;
    {
        Lock lock(mainLock);
        level = availLevel;
        for (const auto& t : dataTriggers) {
            anyData = anyData || t.matchLength != 0;
        }
    }
    std::uint32_t pos = scanPosition;
    // Counted, not compared: a fill of a whole ring brings the head back to
    // where the scan stopped.
    if (!anyData) {
        unscannedBytes = 0;
    }
    while (anyData && unscannedBytes > 0) {
        std::uint8_t byte = 0;
        {
            Lock in(inputLock);
            if (!inBuffer) {
                return false;
            }
            byte = inBuffer[pos];
        }
        std::uint32_t longest = 0;
        std::size_t records = 0;
        {
            Lock lock(mainLock);
            records = dataTriggers.size();
            for (auto& t : dataTriggers) {
                if (t.matchLength == 0) {
                    continue;
                }
                RunMatcher(t, byte);
                if (t.matched != 0) {
                    longest = std::max(longest, t.matchLength);
                }
            }
        }
        --unscannedBytes;
        if (longest == 0) {
            pos = Wrap(pos + 1);
            continue;
        }
        bool result = true;
        if (level != 0 && lastNoticePosition != pos) {
            std::int64_t before = 0;
            {
                Lock in(inputLock);
                const std::uint32_t held = HeldLocked();
                const std::uint32_t distance = Wrap(pos + DispatchBufferSize - inTail);
                before = distance < held ? static_cast<std::int64_t>(distance) + 1 : 0;
                if (readAheadMode) {
                    before -= readAheadCount;
                }
            }
            before -= longest;
            if (before >= static_cast<std::int64_t>(level)) {
                AddLogEntry(LogTypeTrigger, LogSubAvail, static_cast<std::uint32_t>(before),
                            nullptr, 0);
                result = NotifyHandlers(TriggerAvailMsg, static_cast<std::uint32_t>(before), 0);
                scanPosition = lastNoticePosition = pos;
            }
        }
        for (std::size_t i = records; i-- > 0;) {
            std::uint32_t handle = 0;
            std::uint32_t length = 0;
            {
                Lock lock(mainLock);
                if (i >= dataTriggers.size() || dataTriggers[i].matched == 0) {
                    continue;
                }
                dataTriggers[i].matched = 0;
                handle = dataTriggers[i].handle;
                length = dataTriggers[i].matchLength;
                AddLogEntry(LogTypeTrigger, LogSubData, handle, nullptr, 0);
            }
            result = NotifyHandlers(TriggerDataMsg, handle, static_cast<std::uint16_t>(length));
        }
        scanPosition = Wrap(pos + 1);
        return result;
    }
    pos = head;
    scanPosition = pos;

    const std::uint32_t n = InputCount();
    if (level != 0 && noticedTotal != total && n >= level) {
        AddLogEntry(LogTypeTrigger, LogSubAvail, n, nullptr, 0);
        const bool result = NotifyHandlers(TriggerAvailMsg, n, 0);
        lastNoticePosition = pos;
        noticedTotal = total;
        return result;
    }
    return false;
}

bool TSerBaseDispatcher::CheckStatusTriggers()
{
    bool needOutput = false;
    {
        Lock lock(mainLock);
        if (statusTriggers.empty()) {
            return false;
        }
        for (const auto& t : statusTriggers) {
            needOutput =
                needOutput || (t.active && !t.hit &&
                               (t.kind == StatusKindOutFree || t.kind == StatusKindOutUsed));
        }
    }
    // The transmit count needs outputLock, which is never taken with mainLock.
    const std::uint32_t used = needOutput ? OutputUsed() : 0;
    std::uint32_t handle = 0;
    std::uint16_t data = 0;
    {
        Lock lock(mainLock);
        auto it = statusTriggers.begin();
        for (; it != statusTriggers.end(); ++it) {
            TStatusTrigger& t = *it;
            if (!t.active || t.hit) {
                continue;
            }
            bool fire = false;
            std::uint32_t value = 0;
            switch (t.kind) {
            case StatusKindModem:
                fire = (((t.value & 0xFFu) ^ modemStatusByte) & (t.value >> 8)) != 0;
                break;
            case StatusKindLineError: {
                const std::uint32_t bits = lineErrorBits.load();
                if ((t.value & bits) != 0) {
                    fire = true;
                    t.value = static_cast<std::uint16_t>(bits);
                }
                break;
            }
            case StatusKindOutFree: {
                const std::uint32_t free = outQueueSize > used ? outQueueSize - used : 0;
                fire = free >= t.value;
                value = free;
                break;
            }
            case StatusKindOutUsed:
                fire = used <= t.value;
                value = used;
                break;
            case StatusKindOutSent:
                fire = outputSent.exchange(false);
                break;
            default:
                break;
            }
            if (fire) {
                t.active = 0;
                t.hit = 1;
                statusHitSeen = true;
                handle = t.handle;
                data = static_cast<std::uint16_t>(value);
                AddLogEntry(LogTypeTrigger, LogSubStatus, handle, nullptr, 0);
                break;
            }
        }
        if (it == statusTriggers.end()) {
            return false;
        }
    }
    return NotifyHandlers(TriggerStatusMsg, handle, data);
}

bool TSerBaseDispatcher::CheckTimerTriggers()
{
    std::uint32_t handle = 0;
    {
        Lock lock(mainLock);
        if (timerTriggers.empty()) {
            return false;
        }
        const std::uint32_t now = ClockMs() / 55;
        auto it =
            std::find_if(timerTriggers.begin(), timerTriggers.end(), [&](const TTimerTrigger& t) {
                if (!t.active) {
                    return false;
                }
                return t.expireTick < now ||
                       (now < t.startTick && t.expireTick < now + TicksHalfRange);
            });
        if (it == timerTriggers.end()) {
            return false;
        }
        it->active = 0;
        handle = it->handle;
        AddLogEntry(LogTypeTrigger, LogSubTimer, handle, nullptr, 0);
    }
    return NotifyHandlers(TriggerTimerMsg, handle, 0);
}

void TSerBaseDispatcher::ClearStatusHits()
{
    Lock lock(mainLock);
    if (!statusHitSeen) {
        return;
    }
    for (auto& t : statusTriggers) {
        t.hit = 0;
    }
    statusHitSeen = false;
}

// ---------------------------------------------------------------------------
// Passes

void TSerBaseDispatcher::ProcessCommEvents()
{
    if (const std::uint32_t events = pendingEventMask.exchange(0); events != 0) {
        lastEventMask.store(events);
    }
    const std::uint32_t mask = lastEventMask.load();
    auto statusLoop = [&] {
        while (CheckStatusTriggers()) {
            if (closeDeferred.load()) {
                return false;
            }
        }
        return !closeDeferred.load();
    };
    if (mask & (EventCts | EventDsr | EventDcd | EventRing | EventRingTrailing)) {
        UpdateModemChanges();
        if (!dispatching.load()) {
            if (!statusLoop()) {
                return;
            }
            ClearStatusHits();
        }
    }
    if (mask & (EventBreak | EventError)) {
        RefreshLineErrors();
        if (!dispatching.load()) {
            if (!statusLoop()) {
                return;
            }
            ClearStatusHits();
        }
    }
    FillInputBuffer();
    if (!dispatching.load()) {
        if (!statusLoop()) {
            return;
        }
        while (CheckDataAndAvail()) {
            if (closeDeferred.load()) {
                return;
            }
        }
        if (closeDeferred.load()) {
            return;
        }
    }
    ClearStatusHits();
    EventPassDone();
}

void TSerBaseDispatcher::ProcessTimers()
{
    if (closeDeferred.load() || dispatching.load()) {
        return;
    }
    {
        Lock lock(mainLock);
        statusHitSeen = false;
    }
    while ((CheckStatusTriggers() || CheckTimerTriggers()) && !closeDeferred.load()) {
    }
    ClearStatusHits();
}
