// The dispatch buffer of TSerBaseDispatcher: the fill from the driver, block
// reads and the read-ahead that lets every handler of one notification read
// the same bytes. Everything here runs under inputLock.
#include "serial/SerDisp.h"

#include "SerDispLog.h"

#include <algorithm>

namespace {

using Lock = platform::LockGuard<platform::RecursiveMutex>;
using namespace serdisp;

} // namespace

// ---------------------------------------------------------------------------
// Dispatch buffer

// During a notification the thread delivering it and the thread running the
// current handler read ahead: every handler sees the bytes from the same
// starting point. Any other thread (a worker woken by the handler) takes
// bytes for real, after everything the handlers have seen.
bool TSerBaseDispatcher::TInputSide::IsReadAheadReaderLocked() const
{
    if (!readAheadMode) {
        return false;
    }
    const auto self = std::this_thread::get_id();
    return self == notifyThread || self == handlerThread;
}

std::uint32_t TSerBaseDispatcher::TInputSide::HandlerFrontierLocked() const
{
    const std::uint32_t count = readAheadCount > 0 ? static_cast<std::uint32_t>(readAheadCount) : 0;
    return readAheadFloor + std::max(readAheadMax, count);
}

void TSerBaseDispatcher::TInputSide::ReadWindowLocked(std::uint32_t& start, std::uint32_t& end)
{
    start = 0;
    end = HeldLocked();
    if (IsReadAheadReaderLocked()) {
        start = readAheadFloor + static_cast<std::uint32_t>(std::max(readAheadCount, 0));
        end = readAheadFrozen ? readAheadLimit : end;
    } else if (readAheadMode) {
        start = readAheadFrozen ? readAheadLimit + foreignTaken : HandlerFrontierLocked();
    }
}

void TSerBaseDispatcher::TInputSide::NoteHandlerReadsLocked()
{
    readAheadMax = std::max(readAheadMax, static_cast<std::uint32_t>(std::max(readAheadCount, 0)));
}

std::uint32_t TSerBaseDispatcher::InputCount()
{
    Lock in(input.inputLock);
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    input.ReadWindowLocked(start, end);
    return end > start ? end - start : 0;
}

int TSerBaseDispatcher::ReadBlock(std::uint8_t* destination, std::uint32_t count)
{
    {
        Lock in(input.inputLock);
        if (count == 0) {
            return 0;
        }
        if (!input.buffer) {
            return DispBufferIsEmpty;
        }
        std::uint32_t start = 0;
        std::uint32_t end = 0;
        input.ReadWindowLocked(start, end);
        if (end <= start || count > end - start) {
            return DispBufferIsEmpty;
        }
        platform::Ring ring = input.Ring();
        ring.Peek(start, destination, count);
        if (input.IsReadAheadReaderLocked()) {
            input.readAheadCount += static_cast<std::int32_t>(count);
        } else if (input.readAheadMode) {
            if (!input.readAheadFrozen) {
                input.readAheadFrozen = true;
                input.readAheadLimit = input.HandlerFrontierLocked();
            }
            input.foreignTaken += count;
        } else {
            ring.Consumed(count);
        }
    }
    // After inputLock is left: a trace records the reads in the order they finished.
    TraceBlock('R', destination, count);
    return static_cast<int>(count);
}

int TSerBaseDispatcher::FlushInput()
{
    Lock in(input.inputLock);
    const int result = FlushQueue(InputQueue);
    input.driverBacklog = false;
    if (input.readAheadMode) {
        // Handlers and other readers alike see nothing more of what was held;
        // the tail passes all of it when the notification ends.
        input.readAheadFloor = input.HeldLocked();
        input.readAheadCount = 0;
        input.readAheadMax = 0;
        input.readAheadFrozen = false;
        input.readAheadLimit = 0;
        input.foreignTaken = 0;
    } else {
        platform::Ring ring = input.Ring();
        ring.Consumed(ring.Held());
        input.readAheadCount = 0;
    }
    Lock lock(registry.mainLock);
    for (auto& trigger : registry.dataTriggers) {
        std::fill(std::begin(trigger.state), std::end(trigger.state), 0u);
    }
    return result;
}

bool TSerBaseDispatcher::FillWouldRead()
{
    Lock in(input.inputLock);
    return input.driverBacklog && input.buffer && !input.full && !input.readAheadMode;
}

void TSerBaseDispatcher::FillInputBuffer()
{
    dispatchThread.Assume();
    Lock in(input.inputLock);
    if (input.full || !input.buffer) {
        return;
    }
    input.driverBacklog = false;
    TCommStatus status;
    lineErrorBits.fetch_or(RefreshCommStatus(&status) & platform::CeLineErrors);
    if (status.inQueue == 0) {
        return;
    }
    platform::Ring ring = input.Ring();
    const std::uint32_t contiguous = ring.FreeRun();
    const std::uint32_t toRead = std::min(ring.Free(), status.inQueue);
    const std::uint32_t second = toRead > contiguous ? toRead - contiguous : 0;

    // Straight into the ring; the whole run is offered, the read returns
    // what is there.
    std::uint32_t read = ReadIntoRingLocked(ring, contiguous);
    if (read == contiguous && second > 0) {
        read += ReadIntoRingLocked(ring, second);
    }
    input.driverBacklog = read < status.inQueue && read > 0;
}

std::uint32_t TSerBaseDispatcher::ReadIntoRingLocked(platform::Ring& ring, std::uint32_t offered)
{
    std::uint8_t* at = ring.AtHead();
    const std::uint32_t got = std::min(ReadPort(at, offered), offered);
    AddLogEntry(LogTypeDispatch, LogSubReadCom, got, at, got);
    ring.Produced(got);
    input.receivedTotal += got;
    unscannedBytes = std::min(unscannedBytes + got, DispatchBufferSize);
    return got;
}
