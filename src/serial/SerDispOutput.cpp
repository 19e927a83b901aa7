// The transmit ring of TSerBaseDispatcher: block writes and the operations
// through which the platform half's transmitter takes chunks to send and a
// flush takes the ring back. Everything here runs under outputLock.
#include "serial/SerDisp.h"

#include "SerDispLog.h"

namespace {

using Lock = platform::LockGuard<platform::RecursiveMutex>;
using namespace serdisp;

} // namespace

// ---------------------------------------------------------------------------
// Transmit ring

std::uint32_t TSerBaseDispatcher::OutputWaiting()
{
    Lock out(output.outputLock);
    return output.Ring().Held();
}

void TSerBaseDispatcher::CopyToOutputRing(const std::uint8_t* source, std::uint32_t count)
{
    Lock out(output.outputLock);
    // A block filled to the ring's last byte marks it full: with head and
    // tail equal, the flag is all that tells full from empty.
    output.Ring().Put(source, count);
}

bool TSerBaseDispatcher::OutputIdle()
{
    Lock out(output.outputLock);
    return !output.writeInFlight && !output.flushPending && output.Ring().Empty();
}

void TSerBaseDispatcher::AdvanceOutputTailLocked(std::uint32_t n)
{
    platform::Ring ring = output.Ring();
    ring.Consumed(n);
    // An emptied ring starts over at 0, so that the next blocks lie in one piece.
    if (ring.Empty()) {
        ring.Clear();
    }
}

void TSerBaseDispatcher::ResetOutputRing()
{
    Lock out(output.outputLock);
    output.Ring().Clear();
}

TSerBaseDispatcher::TOutputChunk TSerBaseDispatcher::TakeOutputChunk()
{
    Lock out(output.outputLock);
    // A flush under way owns the ring until it has emptied it.
    platform::Ring ring = output.Ring();
    if (output.flushPending || ring.Empty()) {
        return {};
    }
    output.writeInFlight = true;
    return {ring.AtTail(), ring.HeldRun()};
}

bool TSerBaseDispatcher::ReleaseOutputChunk(std::uint32_t consumed, bool sent)
{
    Lock out(output.outputLock);
    output.writeInFlight = false;
    if (consumed > 0) {
        AdvanceOutputTailLocked(consumed);
    }
    if (sent) {
        outputSent.store(true);
    }
    return output.flushPending;
}

std::optional<int> TSerBaseDispatcher::DropOutput(const std::function<int()>& purge,
                                                  bool writerGone)
{
    Lock out(output.outputLock);
    if (output.writeInFlight && !writerGone) {
        output.flushPending = true;
        return std::nullopt;
    }
    output.writeInFlight = false;
    output.flushPending = false;
    output.Ring().Clear();
    return purge();
}

std::uint32_t TSerBaseDispatcher::OutputUsed()
{
    Lock out(output.outputLock);
    lineErrorBits.fetch_or(RefreshCommStatusLocked() & platform::CeLineErrors);
    return output.commStatus.outQueue;
}

std::uint32_t TSerBaseDispatcher::OutputFree()
{
    const std::uint32_t used = OutputUsed();
    const std::uint32_t size = outQueueSize.load();
    return size > used ? size - used : 0;
}

int TSerBaseDispatcher::FlushOutput()
{
    return FlushQueue(OutputQueue);
}

int TSerBaseDispatcher::WriteBlock(const std::uint8_t* source, std::uint32_t count)
{
    if (count == 0) {
        return 0;
    }
    {
        Lock out(output.outputLock);
        lineErrorBits.store(RefreshCommStatusLocked());
        const std::uint32_t waiting = output.commStatus.outQueue;
        const std::uint32_t size = outQueueSize.load();
        const std::uint32_t free = size > waiting ? size - waiting : 0;
        if (count > free || !output.buffer) {
            return DispOutputBufferTooSmall;
        }
        if (QueueOutput(source, count) <= 0) {
            lineErrorBits.store(RefreshCommStatusLocked());
            return DispPutBlockFail;
        }
        outputSent.store(true);
    }
    // outputLock is left: the two are never held together.
    Lock lock(registry.mainLock);
    AddLogEntryLocked(LogTypeDispatch, LogSubWriteCom, count, source, count);
    TraceBlockLocked('T', source, count);
    return 0;
}
