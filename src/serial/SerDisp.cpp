// Life cycle of TSerBaseDispatcher and the process-wide dispatcher table:
// open, close, teardown, the threads' bookkeeping and the platform seams'
// defaults.
#include "serial/SerDisp.h"

#include "platform/MessageWindow.h"
#include "platform/Sync.h"

#include <algorithm>

namespace {

using Lock = platform::LockGuard<platform::RecursiveMutex>;

// The rate the drain before the first line setting of an open waits for.
constexpr std::uint32_t FirstDrainBaud = 115200;

platform::RecursiveMutex& TableMutex()
{
    static platform::RecursiveMutex mutex;
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

platform::RecursiveMutex& TSerBaseDispatcher::TableLock()
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

TSerBaseDispatcher::TSerBaseDispatcher(TSerCustomComPort* owner)
    : ownerPort(owner), registry([this] { return ClockMs(); })
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

void TSerBaseDispatcher::ApplyThreadPriorities(bool, std::uint8_t) {}

int TSerBaseDispatcher::NegatedOsError() const
{
    const std::uint32_t error = LastOsError();
    // A failure must never read as success, even when the system kept no number.
    if (error == 0 || error > 0x7FFFFFFFu) {
        return -1;
    }
    return -static_cast<int>(error);
}

std::uint32_t TSerBaseDispatcher::RefreshCommStatusLocked()
{
    return ReadErrors(output.commStatus);
}

std::uint32_t TSerBaseDispatcher::RefreshCommStatus(TCommStatus* copy)
{
    Lock out(output.outputLock);
    const std::uint32_t bits = RefreshCommStatusLocked();
    if (copy != nullptr) {
        *copy = output.commStatus;
    }
    return bits;
}

// ---------------------------------------------------------------------------
// Life cycle

// The state of an earlier open goes, the rings are made for this one and
// the device is opened and set up; the threads start last.
int TSerBaseDispatcher::OpenDispatcher(const char* deviceName, std::uint32_t baud,
                                       std::uint8_t parity, std::uint8_t dataBits,
                                       std::uint8_t stopBits, std::uint32_t inSize,
                                       std::uint32_t outSize, std::uint8_t lineFlags)
{
    ResetForOpen();
    CreateSignals();
    if (const int failed = OpenAndSetUpDevice(deviceName, inSize, outSize); failed < 0) {
        CloseDispatcher();
        return failed;
    }
    MakeRings(inSize, outSize);
    SetUpLines(lineFlags);
    ResetScan();
    ClearTriggers();
    ClearStatusHits();
    {
        Lock lock(registry.mainLock);
        registry.modemStatusByte = 0;
    }
    // Read the levels, keep them, forget the changes.
    GetModemStatus(ModemLevels);
    {
        Lock lock(registry.mainLock);
        registry.currentBaud = FirstDrainBaud;
    }
    if (const int lineResult = SetLine(baud, parity, dataBits, stopBits); lineResult < 0) {
        CloseDispatcher();
        return lineResult;
    }
    RefreshLineErrors();
    ResetRecorders();
    Lock lock(registry.mainLock);
    StartThreads();
    return 0;
}

void TSerBaseDispatcher::ResetForOpen()
{
    ringSeen.store(false);
    {
        Lock in(input.inputLock);
        input.Ring().Clear();
    }
    ResetOutputRing();
    Lock lock(registry.mainLock);
    dispatching.store(false);
    registry.removalPending = false;
}

int TSerBaseDispatcher::OpenAndSetUpDevice(const char* deviceName, std::uint32_t inSize,
                                           std::uint32_t outSize)
{
    const std::intptr_t handle = OpenDevice(deviceName, inSize, outSize);
    portHandle.store(handle);
    if (handle < 0) {
        return handle == DispEventCreateFailed ? DispEventCreateFailed : NegatedOsError();
    }
    return SetupDriverQueues(inSize, outSize) ? 0 : NegatedOsError();
}

void TSerBaseDispatcher::MakeRings(std::uint32_t inSize, std::uint32_t outSize)
{
    {
        Lock in(input.inputLock);
        input.buffer = std::make_unique<std::uint8_t[]>(DispatchBufferSize);
        input.Ring().Clear();
        input.receivedTotal = 0;
        input.readAheadCount = 0;
        input.readAheadMode = false;
        input.driverBacklog = false;
    }
    {
        Lock out(output.outputLock);
        output.buffer = std::make_unique<std::uint8_t[]>(outSize);
        output.capacity = outSize;
        output.Ring().Clear();
        output.writeInFlight = false;
        output.flushPending = false;
    }
    inQueueSize.store(inSize);
    outQueueSize.store(outSize);
    lineErrorBits.store(0);
    outputSent.store(false);
    closeDeferred.store(false);
}

void TSerBaseDispatcher::SetUpLines(std::uint8_t lineFlags)
{
    Lock lock(registry.mainLock);
    registry.rs485Enabled = false;
    GetLineState(registry.lineState);
    registry.dtrHandshake = (lineFlags & LineDtrHandshake) != 0;
    if (!registry.dtrHandshake) {
        SetLineLevelLocked(registry.dtrOn, false, (lineFlags & LineDtrOn) ? 1 : 0,
                           platform::EscSetDtr, platform::EscClrDtr);
    }
    registry.rtsHandshake = (lineFlags & LineRtsHandshake) != 0;
    if (!registry.rtsHandshake) {
        SetLineLevelLocked(registry.rtsOn, false, (lineFlags & LineRtsOn) ? 1 : 0,
                           platform::EscSetRts, platform::EscClrRts);
    }
}

void TSerBaseDispatcher::ResetScan()
{
    // Before the threads start, so the opening thread stands in for the dispatch thread.
    dispatchThread.Assume();
    scanPosition = 0;
    lastNoticePosition = 0;
    noticedTotal = 0;
    unscannedBytes = 0;
}

void TSerBaseDispatcher::CloseDispatcher()
{
    if (portHandle.load() >= 0) {
        FlushOutput();
        FlushInput();
        CloseDevice();
    }
    {
        Lock lock(registry.mainLock);
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
        Lock in(input.inputLock);
        input.buffer.reset();
        input.Ring().Clear();
    }
    Lock out(output.outputLock);
    output.buffer.reset();
    output.Ring().Clear();
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
    Lock lock(registry.mainLock);
    registry.windowHandlers.clear();
    registry.procedureHandlers.clear();
    registry.methodHandlers.clear();
    registry.timerTriggers.clear();
    registry.dataTriggers.clear();
    registry.statusTriggers.clear();
}

int TSerBaseDispatcher::SetupQueues(std::uint32_t inSize, std::uint32_t outSize)
{
    return SetupDriverQueues(inSize, outSize) ? 0 : NegatedOsError();
}

// ---------------------------------------------------------------------------
// Threads

bool TSerBaseDispatcher::EnterStarted(std::int32_t threads)
{
    Lock lock(registry.mainLock);
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
