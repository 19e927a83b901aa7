// The dispatcher's side of the byte trace and the dispatch log: the
// operations the component calls and the feeds from the dispatcher's own
// operations. Both recorders change only under mainLock.
#include "serial/SerDisp.h"

#include <algorithm>

namespace {

using Lock = platform::LockGuard<platform::RecursiveMutex>;

} // namespace

// ---------------------------------------------------------------------------
// Feeds

void TSerBaseDispatcher::AddTraceEntry(char kind, std::uint8_t value)
{
    Lock lock(registry.mainLock);
    if (registry.byteTrace.TracingOn()) {
        registry.byteTrace.AddTraceEntry(kind, value);
    }
}

void TSerBaseDispatcher::TraceBlockLocked(char kind, const std::uint8_t* bytes, std::uint32_t count)
{
    registry.byteTrace.TraceBlock(kind, bytes, count);
}

void TSerBaseDispatcher::TraceBlock(char kind, const std::uint8_t* bytes, std::uint32_t count)
{
    Lock lock(registry.mainLock);
    TraceBlockLocked(kind, bytes, count);
}

void TSerBaseDispatcher::AddLogEntryLocked(std::uint8_t type, std::uint8_t subtype,
                                           std::uint32_t data, const std::uint8_t* bytes,
                                           std::uint32_t count)
{
    if (registry.dispatchLog.LoggingOn()) {
        registry.dispatchLog.AddLogEntry(type, subtype, data, bytes, count);
    }
}

void TSerBaseDispatcher::AddLogEntry(std::uint8_t type, std::uint8_t subtype, std::uint32_t data,
                                     const std::uint8_t* bytes, std::uint32_t count)
{
    Lock lock(registry.mainLock);
    AddLogEntryLocked(type, subtype, data, bytes, count);
}

void TSerBaseDispatcher::ResetRecorders()
{
    Lock lock(registry.mainLock);
    registry.byteTrace.Reset();
    registry.dispatchLog.Reset();
}

// ---------------------------------------------------------------------------
// Trace

int TSerBaseDispatcher::InitTrace(std::uint32_t entries)
{
    Lock lock(registry.mainLock);
    return registry.byteTrace.InitTrace(entries);
}

int TSerBaseDispatcher::ClearTrace()
{
    Lock lock(registry.mainLock);
    return registry.byteTrace.ClearTrace();
}

void TSerBaseDispatcher::AbortTrace()
{
    Lock lock(registry.mainLock);
    registry.byteTrace.AbortTrace();
}

void TSerBaseDispatcher::StartTrace()
{
    Lock lock(registry.mainLock);
    registry.byteTrace.StartTrace();
}

void TSerBaseDispatcher::StopTrace()
{
    Lock lock(registry.mainLock);
    registry.byteTrace.StopTrace();
}

int TSerBaseDispatcher::DumpTrace(const std::string& fileName, bool hexNonPrintable, bool allHex)
{
    Lock lock(registry.mainLock);
    return registry.byteTrace.DumpTrace(fileName, hexNonPrintable, allHex);
}

int TSerBaseDispatcher::AppendTrace(const std::string& fileName, bool hexNonPrintable, bool allHex)
{
    Lock lock(registry.mainLock);
    return registry.byteTrace.AppendTrace(fileName, hexNonPrintable, allHex);
}

bool TSerBaseDispatcher::TracingOn()
{
    Lock lock(registry.mainLock);
    return registry.byteTrace.TracingOn();
}

// ---------------------------------------------------------------------------
// Log

int TSerBaseDispatcher::InitLog(std::uint32_t size)
{
    Lock lock(registry.mainLock);
    return registry.dispatchLog.InitLog(size, std::max(inQueueSize.load(), outQueueSize.load()));
}

void TSerBaseDispatcher::ClearLog()
{
    Lock lock(registry.mainLock);
    registry.dispatchLog.ClearLog();
}

void TSerBaseDispatcher::AbortLog()
{
    Lock lock(registry.mainLock);
    registry.dispatchLog.AbortLog();
}

void TSerBaseDispatcher::StartLog()
{
    Lock lock(registry.mainLock);
    registry.dispatchLog.StartLog();
}

void TSerBaseDispatcher::StopLog()
{
    Lock lock(registry.mainLock);
    registry.dispatchLog.StopLog();
}

int TSerBaseDispatcher::DumpLog(const std::string& fileName, bool hexNonPrintable, bool allHex)
{
    Lock lock(registry.mainLock);
    return registry.dispatchLog.DumpLog(fileName, hexNonPrintable, allHex);
}

int TSerBaseDispatcher::AppendLog(const std::string& fileName, bool hexNonPrintable, bool allHex)
{
    Lock lock(registry.mainLock);
    return registry.dispatchLog.AppendLog(fileName, hexNonPrintable, allHex);
}

bool TSerBaseDispatcher::LoggingOn()
{
    Lock lock(registry.mainLock);
    return registry.dispatchLog.LoggingOn();
}
