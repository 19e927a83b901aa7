// Life cycle of TSerBaseDispatcher and the process-wide dispatcher table:
// open, close, teardown, the threads' bookkeeping and the platform seams'
// defaults.
#include "serial/SerDisp.h"

#include "platform/MessageWindow.h"
#include "platform/Sync.h"

#include <algorithm>

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

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
        InputRing().Clear();
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
        InputRing().Clear();
        receivedTotal = 0;
        readAheadCount = 0;
        readAheadMode = false;
        driverBacklog = false;
    }
    {
        Lock out(outputLock);
        outBuffer = std::make_unique<std::uint8_t[]>(outSize);
        outQueueSize = outSize;
        OutputRing().Clear();
        writeInFlight = false;
        flushPending = false;
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
    {
        Lock lock(mainLock);
        StartThreads();
    }
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
        InputRing().Clear();
    }
    Lock out(outputLock);
    outBuffer.reset();
    OutputRing().Clear();
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
// Threads

bool TSerBaseDispatcher::EnterStarted(std::int32_t threads)
{
    Lock lock(mainLock);
    if (started.load()) {
        return false;
    }
    started.store(true);
    stopRequested.store(false);
    // Counted before any thread runs: one that ends at once must not clear
    // started while the others are still to come.
    activeThreads.store(threads);
    return true;
}

void TSerBaseDispatcher::ThreadEnded(bool dispatchThread)
{
    if (dispatchThread) {
        teardownPending.store(closeDeferred.load() || stopRequested.load());
        if (teardownPending.load()) {
            // Waits for the other threads, never for itself; the rings are
            // freed under their locks, so a second teardown finds them gone.
            ReleasePort();
            teardownPending.store(false);
        }
    }
    if (activeThreads.fetch_sub(1) == 1) {
        started.store(false);
    }
}
