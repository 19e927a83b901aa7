// The dispatcher's side of the byte trace and the dispatch log: the
// operations the component calls and the feeds from the dispatcher's own
// operations. Both recorders change only under mainLock.
#include "serial/SerDisp.h"

#include <algorithm>

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

} // namespace

// ---------------------------------------------------------------------------
// Feeds

void TSerBaseDispatcher::AddTraceEntry(char kind, std::uint8_t value)
{
    Lock lock(mainLock);
    if (byteTrace.TracingOn()) {
        byteTrace.AddTraceEntry(kind, value);
    }
}

void TSerBaseDispatcher::TraceBlock(char kind, const std::uint8_t* bytes, std::uint32_t count)
{
    Lock lock(mainLock);
    byteTrace.TraceBlock(kind, bytes, count);
}

void TSerBaseDispatcher::AddLogEntry(std::uint8_t type, std::uint8_t subtype, std::uint32_t data,
                                     const std::uint8_t* bytes, std::uint32_t count)
{
    Lock lock(mainLock);
    if (dispatchLog.LoggingOn()) {
        dispatchLog.AddLogEntry(type, subtype, data, bytes, count);
    }
}

void TSerBaseDispatcher::ResetRecorders()
{
    Lock lock(mainLock);
    byteTrace.Reset();
    dispatchLog.Reset();
}

// ---------------------------------------------------------------------------
// Trace

int TSerBaseDispatcher::InitTrace(std::uint32_t entries)
{
    Lock lock(mainLock);
    return byteTrace.InitTrace(entries);
}

int TSerBaseDispatcher::ClearTrace()
{
    Lock lock(mainLock);
    return byteTrace.ClearTrace();
}

void TSerBaseDispatcher::AbortTrace()
{
    Lock lock(mainLock);
    byteTrace.AbortTrace();
}

void TSerBaseDispatcher::StartTrace()
{
    Lock lock(mainLock);
    byteTrace.StartTrace();
}

void TSerBaseDispatcher::StopTrace()
{
    Lock lock(mainLock);
    byteTrace.StopTrace();
}

int TSerBaseDispatcher::DumpTrace(const std::string& fileName, bool hexNonPrintable, bool allHex)
{
    Lock lock(mainLock);
    return byteTrace.DumpTrace(fileName, hexNonPrintable, allHex);
}

int TSerBaseDispatcher::AppendTrace(const std::string& fileName, bool hexNonPrintable, bool allHex)
{
    Lock lock(mainLock);
    return byteTrace.AppendTrace(fileName, hexNonPrintable, allHex);
}

bool TSerBaseDispatcher::TracingOn()
{
    Lock lock(mainLock);
    return byteTrace.TracingOn();
}

// ---------------------------------------------------------------------------
// Log

int TSerBaseDispatcher::InitLog(std::uint32_t size)
{
    Lock lock(mainLock);
    return dispatchLog.InitLog(size, std::max(inQueueSize, outQueueSize));
}

void TSerBaseDispatcher::ClearLog()
{
    Lock lock(mainLock);
    dispatchLog.ClearLog();
}

void TSerBaseDispatcher::AbortLog()
{
    Lock lock(mainLock);
    dispatchLog.AbortLog();
}

void TSerBaseDispatcher::StartLog()
{
    Lock lock(mainLock);
    dispatchLog.StartLog();
}

void TSerBaseDispatcher::StopLog()
{
    Lock lock(mainLock);
    dispatchLog.StopLog();
}

// The recorder holds mainLock for the whole write, so operations that log
// wait for the file instead of changing the ring under it.
int TSerBaseDispatcher::DumpLog(const std::string& fileName, bool hexNonPrintable, bool allHex)
{
    return dispatchLog.DumpLog(mainLock, fileName, hexNonPrintable, allHex);
}

int TSerBaseDispatcher::AppendLog(const std::string& fileName, bool hexNonPrintable, bool allHex)
{
    return dispatchLog.AppendLog(mainLock, fileName, hexNonPrintable, allHex);
}

bool TSerBaseDispatcher::LoggingOn()
{
    Lock lock(mainLock);
    return dispatchLog.LoggingOn();
}
