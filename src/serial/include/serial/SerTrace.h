#pragma once

// The dispatcher's two diagnostic recorders: the byte trace (every byte handed
// out by a block read or queued by a block write, with its direction) and the
// dispatch log (timestamped events with their bytes). Each is a fixed ring in
// memory that overwrites its oldest content and is written to a text file on
// request.
//
// Neither recorder takes a lock. The dispatcher owns both and calls every
// operation under its mainLock; TSerLog::DumpLog(lock, ...) takes that lock
// itself for the whole of the dump and releases it on every path.

#include "platform/Ring.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

// Where the log takes its time from; tests inject their own.
using TMillisecondSource = std::function<std::uint32_t()>;

// One data byte as the trace and log files write it. Returns the item's
// width (its length): 1 for a printable character, 4 for "[0D]", 3 to 5 for
// "[7]" to "[255]". out receives the item without a terminating zero.
std::size_t FormatByteItem(std::uint8_t value, bool hexNonPrintable, bool allHex, char (&out)[5]);

// "0001.234" for 1234 ms: at least seven digits, a point before the last three.
std::string LogTimeText(std::uint32_t milliseconds);

// The log header's "Compiler : " and "Operating System : " texts.
std::string CompilerDescription();
std::string OperatingSystemDescription();

// Ring of (kind, byte) pairs. Kinds: 'R' received, 'T' transmitted; any other
// character is a special kind.
class TSerTrace {
public:
    static constexpr std::uint32_t MaxEntries = 4000000;

    TSerTrace() = default;
    TSerTrace(const TSerTrace&) = delete;
    TSerTrace& operator=(const TSerTrace&) = delete;

    // Switches tracing on. An existing buffer is only cleared (it keeps its
    // size); otherwise one of entries pairs is allocated (none for 0 entries,
    // which records nothing). 0, -1002 above MaxEntries (nothing allocated),
    // -8 when memory runs out (state unchanged).
    std::int32_t InitTrace(std::uint32_t entries);
    std::int32_t ClearTrace();
    // Tracing off, buffer released.
    void AbortTrace();
    // On again only when a buffer exists.
    void StartTrace();
    void StopTrace();
    // Stores the pair when a buffer exists, whether tracing is on or not: the
    // dispatcher checks TracingOn first.
    void AddTraceEntry(char kind, std::uint8_t value);
    // Every byte of a block, only while tracing is on.
    void TraceBlock(char kind, const std::uint8_t* bytes, std::size_t count);

    // Write the trace to fileName (rewritten, or appended to), then release it.
    // 0, or the negated I/O error number of the open (the trace is released all
    // the same) or of the writes and the close. An empty trace writes no file.
    std::int32_t DumpTrace(const std::string& fileName, bool hexNonPrintable, bool allHex);
    std::int32_t AppendTrace(const std::string& fileName, bool hexNonPrintable, bool allHex);

    // For a port being opened: off, released, fields cleared.
    void Reset() { AbortTrace(); }

    bool TracingOn() const noexcept { return tracingOn; }
    bool HasBuffer() const noexcept { return traceBuffer != nullptr; }
    std::uint32_t Capacity() const noexcept { return traceCapacity; }
    // Entries held: at most Capacity.
    std::uint32_t Count() const noexcept { return traceWrapped ? traceCapacity : traceNext; }

private:
    std::int32_t WriteTrace(const std::string& fileName, bool append, bool hexNonPrintable,
                            bool allHex);

    bool tracingOn = false;
    std::unique_ptr<std::uint8_t[]> traceBuffer; // 2 bytes an entry: kind, value
    std::uint32_t traceNext = 0;
    std::uint32_t traceCapacity = 0;
    bool traceWrapped = false;
};

// Ring of timestamped entries. Stored entry: type (1 byte), subtype (1), two
// unused bytes, elapsed milliseconds since logStartTime (4), data value (4),
// byte count n (4), then the n bytes; an entry may wrap around the end.
class TSerLog {
public:
    static constexpr std::uint32_t HeaderSize = 16;
    // The component caps LogSize there; anything larger is refused.
    static constexpr std::uint32_t MaxSize = 16000000;

    // Times from the platform's millisecond clock.
    TSerLog();
    explicit TSerLog(TMillisecondSource clock);
    TSerLog(const TSerLog&) = delete;
    TSerLog& operator=(const TSerLog&) = delete;

    void SetClock(TMillisecondSource source) { clock = std::move(source); }

    // Switches logging on. An existing buffer is only cleared; otherwise the
    // ring gets size bytes (none for 0) and logScratch scratchSize bytes (the
    // larger of InSize and OutSize; never more than the ring, whose entries it
    // receives). 0, -1002 above MaxSize (nothing allocated), -8 when memory
    // runs out (state unchanged).
    std::int32_t InitLog(std::uint32_t size, std::uint32_t scratchSize);
    void ClearLog();
    // Logging off, both blocks released.
    void AbortLog();
    void StartLog();
    void StopLog();
    // Records an entry timed from logStartTime, making room by taking whole
    // oldest entries out. Refused (false, nothing changes) without a buffer or
    // when the whole entry (header and bytes) is at least as large as the
    // ring. Records whether logging is on or not: the dispatcher checks
    // LoggingOn first.
    bool AddLogEntry(std::uint8_t type, std::uint8_t subtype, std::uint32_t data,
                     const std::uint8_t* bytes = nullptr, std::uint32_t count = 0);

    // Write the log to fileName (rewritten, or appended to), then release it.
    // Logging is off from then on. 0, or the negated I/O error number: of the
    // open (the entries stay for another attempt) or of the writes and the
    // close. An empty log writes no file.
    std::int32_t DumpLog(const std::string& fileName, bool hexNonPrintable, bool allHex);
    std::int32_t AppendLog(const std::string& fileName, bool hexNonPrintable, bool allHex);

    // The same, holding lock (the dispatcher's mainLock) for the whole dump so
    // that operations that log wait meanwhile; released on every path.
    template <class Lockable>
    std::int32_t DumpLog(Lockable& lock, const std::string& fileName, bool hexNonPrintable,
                         bool allHex)
    {
        std::lock_guard<Lockable> guard(lock);
        return DumpLog(fileName, hexNonPrintable, allHex);
    }
    template <class Lockable>
    std::int32_t AppendLog(Lockable& lock, const std::string& fileName, bool hexNonPrintable,
                           bool allHex)
    {
        std::lock_guard<Lockable> guard(lock);
        return AppendLog(fileName, hexNonPrintable, allHex);
    }

    // For a port being opened: off, released, and every entry's time counted
    // from now.
    void Reset();

    bool LoggingOn() const noexcept { return loggingOn; }
    bool HasBuffer() const noexcept { return logBuffer != nullptr; }
    bool Empty() const noexcept { return Ring().Empty(); }
    std::uint32_t Capacity() const noexcept { return logCapacity; }
    std::uint32_t Free() const noexcept { return Ring().Free(); }
    std::uint32_t ScratchSize() const noexcept { return logScratchSize; }
    std::uint32_t StartTime() const noexcept { return logStartTime; }

private:
    struct TEntryHeader {
        std::uint8_t type = 0;
        std::uint8_t subtype = 0;
        std::uint32_t elapsed = 0;
        std::uint32_t data = 0;
        std::uint32_t count = 0;
    };

    // The ring over logBuffer; the positions are mutable because a Ring
    // holds them by reference, also to read them.
    platform::Ring Ring() const noexcept
    {
        return {logBuffer.get(), logCapacity, logHead, logTail, logFull};
    }
    std::int32_t WriteLog(const std::string& fileName, bool append, bool hexNonPrintable,
                          bool allHex);
    // Takes count bytes from the tail through the scratch, handing each piece
    // (at most the scratch's size) to sink.
    template <class Sink> void TakeInPieces(std::uint32_t count, Sink sink);
    // count bytes from the tail into destination (nullptr: skipped).
    void Take(std::uint8_t* destination, std::uint32_t count);
    TEntryHeader TakeHeader();
    void DropOldestEntry();

    TMillisecondSource clock;
    bool loggingOn = false;
    std::unique_ptr<std::uint8_t[]> logBuffer;
    mutable std::uint32_t logHead = 0;
    mutable std::uint32_t logTail = 0;
    mutable bool logFull = false;
    std::uint32_t logCapacity = 0;
    std::unique_ptr<std::uint8_t[]> logScratch;
    std::uint32_t logScratchSize = 0;
    std::uint32_t logStartTime = 0;
};
