// The transmit ring of TSerBaseDispatcher: block writes and the operations
// through which the platform half's transmitter takes chunks to send and a
// flush takes the ring back. Everything here runs under outputLock.
#include "serial/SerDisp.h"

#include "SerDispLog.h"

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;
using namespace serdisp;

} // namespace

// ---------------------------------------------------------------------------
// Transmit ring

std::uint32_t TSerBaseDispatcher::OutputWaiting()
{
    Lock out(outputLock);
    return OutputRing().Held();
}

void TSerBaseDispatcher::CopyToOutputRing(const std::uint8_t* source, std::uint32_t count)
{
    Lock out(outputLock);
    // A block filled to the ring's last byte marks it full: with head and
    // tail equal, the flag is all that tells full from empty.
    OutputRing().Put(source, count);
}

void TSerBaseDispatcher::AdvanceOutputTail(std::uint32_t n)
{
    platform::Ring ring = OutputRing();
    ring.Consumed(n);
    // An emptied ring starts over at 0, so that the next blocks lie in one piece.
    if (ring.Empty()) {
        ring.Clear();
    }
}

void TSerBaseDispatcher::ResetOutputRing()
{
    Lock out(outputLock);
    OutputRing().Clear();
}

TSerBaseDispatcher::TOutputChunk TSerBaseDispatcher::TakeOutputChunk()
{
    Lock out(outputLock);
    // A flush under way owns the ring until it has emptied it.
    platform::Ring ring = OutputRing();
    if (flushPending || ring.Empty()) {
        return {};
    }
    writeInFlight = true;
    return {ring.AtTail(), ring.HeldRun()};
}

bool TSerBaseDispatcher::ReleaseOutputChunk(std::uint32_t consumed, bool sent)
{
    Lock out(outputLock);
    writeInFlight = false;
    if (consumed > 0) {
        AdvanceOutputTail(consumed);
    }
    if (sent) {
        outputSent.store(true);
    }
    return flushPending;
}

std::optional<int> TSerBaseDispatcher::DropOutput(const std::function<int()>& purge,
                                                  bool writerGone)
{
    Lock out(outputLock);
    if (writeInFlight && !writerGone) {
        flushPending = true;
        return std::nullopt;
    }
    writeInFlight = false;
    flushPending = false;
    OutputRing().Clear();
    return purge();
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
        outputSent.store(true);
    }
    // outputLock is left: the two are never held together.
    Lock lock(mainLock);
    AddLogEntry(LogTypeDispatch, LogSubWriteCom, count, source, count);
    TraceBlock('T', source, count);
    return 0;
}
