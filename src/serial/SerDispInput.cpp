// The dispatch buffer of TSerBaseDispatcher: the fill from the driver, block
// reads and the read-ahead that lets every handler of one notification read
// the same bytes. Everything here runs under inputLock.
#include "serial/SerDisp.h"

#include "SerDispLog.h"

#include <algorithm>

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;
using namespace serdisp;

} // namespace

// ---------------------------------------------------------------------------
// Dispatch buffer

std::uint32_t TSerBaseDispatcher::HeldLocked()
{
    return InputRing().Held();
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
        platform::Ring ring = InputRing();
        ring.Peek(start, destination, count);
        if (readAhead) {
            readAheadCount += static_cast<std::int32_t>(count);
        } else if (readAheadMode) {
            if (!readAheadFrozen) {
                readAheadFrozen = true;
                readAheadLimit = HandlerFrontierLocked();
            }
            foreignTaken += count;
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
        platform::Ring ring = InputRing();
        ring.Consumed(ring.Held());
        readAheadCount = 0;
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
    platform::Ring ring = InputRing();
    const std::uint32_t contiguous = ring.FreeRun();
    const std::uint32_t toRead = std::min(ring.Free(), status.inQueue);
    std::uint32_t second = toRead > contiguous ? toRead - contiguous : 0;

    // Straight into the ring; the whole run is offered, the read returns
    // what is there.
    auto readPart = [&](std::uint32_t offered) {
        std::uint8_t* at = ring.AtHead();
        const std::uint32_t got = std::min(ReadPort(at, offered), offered);
        AddLogEntry(LogTypeDispatch, LogSubReadCom, got, at, got);
        ring.Produced(got);
        receivedTotal += got;
        unscannedBytes = std::min(unscannedBytes + got, DispatchBufferSize);
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
