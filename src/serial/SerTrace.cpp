#include "serial/SerTrace.h"

#include "platform/LastError.h"
#include "platform/Sync.h"
#include "platform/System.h"
#include "serial/SerExcept.h"
#include "serial/SerMisc.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

namespace {

// Error texts of the log's labels and column titles.
constexpr std::int16_t TypeLabelBase = 15001;
constexpr std::int16_t SubtypeLabelBase = 15100;
constexpr std::int16_t LogColumnsText = 15501;
constexpr std::int16_t LogRuleText = 15502;

// Trace lines end before an item would pass this column.
constexpr std::size_t TraceLastColumn = 78;
// Log bytes start after the 44-character line head and wrap at this column,
// continuing under the first byte.
constexpr std::size_t LogFirstByteColumn = 45;
constexpr std::size_t LogWrapColumn = 79;
constexpr std::string_view LogContinuation = "\n                                            ";
static_assert(LogContinuation.size() == 1 + LogFirstByteColumn - 1);

// The I/O error number (2..162, as the error texts know them) of a file's errno.
std::int32_t FileError(int error)
{
    return static_cast<std::int32_t>(platform::ErrorFromErrno(error, platform::ErrnoContext::File));
}

// A text file written through a 512-byte buffer. The first failure of any
// write, the flush or the close is kept and reported by Close.
class TTextFile {
public:
    TTextFile() = default;
    TTextFile(const TTextFile&) = delete;
    TTextFile& operator=(const TTextFile&) = delete;
    ~TTextFile()
    {
        if (file != nullptr) {
            std::fclose(file);
        }
    }

    // 0 or the I/O error number. append keeps an existing file's contents;
    // either way a missing file is created.
    std::int32_t Open(const std::string& name, bool append)
    {
        file = std::fopen(name.c_str(), append ? "ae" : "we");
        if (file == nullptr) {
            return FileError(errno);
        }
        std::setvbuf(file, nullptr, _IOFBF, 512);
        return 0;
    }

    void Write(std::string_view text)
    {
        if (std::fwrite(text.data(), 1, text.size(), file) != text.size() && error == 0) {
            error = FileError(errno);
        }
    }

    void WriteLine(std::string_view text)
    {
        Write(text);
        Write("\n");
    }

    std::int32_t Close()
    {
        const int result = std::fclose(file);
        file = nullptr;
        if (result != 0 && error == 0) {
            error = FileError(errno);
        }
        return error;
    }

private:
    std::FILE* file = nullptr;
    std::int32_t error = 0;
};

std::string PadRight(std::string text, std::size_t width)
{
    if (text.size() < width) {
        text.append(width - text.size(), ' ');
    }
    return text;
}

std::string PadLeft(const std::string& text, std::size_t width)
{
    return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

void PutUint32(std::uint8_t* to, std::uint32_t value)
{
    for (int n = 0; n < 4; ++n) {
        to[n] = static_cast<std::uint8_t>(value >> (8 * n));
    }
}

std::uint32_t GetUint32(const std::uint8_t* from)
{
    std::uint32_t value = 0;
    for (int n = 3; n >= 0; --n) {
        value = (value << 8) | from[n];
    }
    return value;
}

// Labels looked up once per dump: a log holds many entries of few kinds.
class TLabelCache {
public:
    const std::string& Get(std::int16_t base, std::uint8_t key)
    {
        if (!known[key]) {
            labels[key] = ErrorText(static_cast<std::int16_t>(base + key));
            known[key] = true;
        }
        return labels[key];
    }

private:
    std::array<std::string, 256> labels;
    std::array<bool, 256> known{};
};

// The log file's first lines: who wrote it, and the column titles.
void WriteLogTitle(TTextFile& file)
{
    file.WriteLine(std::string("SERIAL ") + SerialLibraryVersion);
    file.WriteLine("Compiler : " + CompilerDescription());
    file.WriteLine("Operating System : " + OperatingSystemDescription());
    file.WriteLine(ErrorText(LogColumnsText));
    file.WriteLine(ErrorText(LogRuleText));
}

// A log line's head for a stored entry header: time, type, subtype, data.
std::string LogLineHead(const std::uint8_t* raw, TLabelCache& types, TLabelCache& subtypes)
{
    static const std::string NoLabel;
    const std::uint8_t subtype = raw[1];
    char data[9];
    std::snprintf(data, sizeof data, "%08X", static_cast<unsigned>(GetUint32(raw + 8)));
    return PadLeft(LogTimeText(GetUint32(raw + 4)), 8) + "  " +
           PadRight(types.Get(TypeLabelBase, raw[0]), 8) + "  " +
           PadRight(subtype == 0 ? NoLabel : subtypes.Get(SubtypeLabelBase, subtype), 12) + "  " +
           data + "  ";
}

// An entry's bytes after its line head, wrapped under the first byte.
class TLogBytesWriter {
public:
    TLogBytesWriter(TTextFile& file, bool hexNonPrintable, bool allHex)
        : file(file), hexNonPrintable(hexNonPrintable), allHex(allHex)
    {
    }

    void Write(const std::uint8_t* bytes, std::uint32_t count)
    {
        for (std::uint32_t n = 0; n < count; ++n) {
            char item[5];
            const std::size_t width = FormatByteItem(bytes[n], hexNonPrintable, allHex, item);
            column += width;
            if (column >= LogWrapColumn) {
                file.Write(LogContinuation);
                column = width + LogFirstByteColumn;
            }
            file.Write(std::string_view(item, width));
        }
    }

private:
    TTextFile& file;
    bool hexNonPrintable;
    bool allHex;
    std::size_t column = LogFirstByteColumn;
};

} // namespace

std::size_t FormatByteItem(std::uint8_t value, bool hexNonPrintable, bool allHex, char (&out)[5])
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    const std::uint8_t firstPrintable = hexNonPrintable ? 0x21 : 0x20;
    if (!allHex && value >= firstPrintable && value <= 0x7E) {
        out[0] = static_cast<char>(value);
        return 1;
    }
    std::size_t n = 0;
    out[n++] = '[';
    if (allHex || hexNonPrintable) {
        out[n++] = Hex[value >> 4];
        out[n++] = Hex[value & 0x0F];
    } else {
        if (value >= 100) {
            out[n++] = static_cast<char>('0' + value / 100);
        }
        if (value >= 10) {
            out[n++] = static_cast<char>('0' + value / 10 % 10);
        }
        out[n++] = static_cast<char>('0' + value % 10);
    }
    out[n++] = ']';
    return n;
}

std::string LogTimeText(std::uint32_t milliseconds)
{
    std::string digits = std::to_string(milliseconds);
    if (digits.size() < 7) {
        digits.insert(0, 7 - digits.size(), '0');
    }
    digits.insert(digits.size() - 3, 1, '.');
    return digits;
}

std::string CompilerDescription()
{
#if defined(__clang__)
    return "Clang " + std::to_string(__clang_major__) + "." + std::to_string(__clang_minor__) +
           "." + std::to_string(__clang_patchlevel__);
#elif defined(__GNUC__)
    return "GCC " + std::to_string(__GNUC__) + "." + std::to_string(__GNUC_MINOR__) + "." +
           std::to_string(__GNUC_PATCHLEVEL__);
#else
    return "Unknown C++ compiler";
#endif
}

std::string OperatingSystemDescription()
{
    const std::string name = platform::OperatingSystemName();
    return name.empty() ? "Unknown" : CutText(name, 80);
}

// ---------------------------------------------------------------------------
// Trace

std::int32_t TSerTrace::InitTrace(std::uint32_t entries)
{
    if (entries > MaxEntries) {
        return ecBadArgument;
    }
    if (traceBuffer == nullptr && entries > 0) {
        std::uint8_t* block = new (std::nothrow) std::uint8_t[2 * std::size_t{entries}]();
        if (block == nullptr) {
            return ecOutOfMemory;
        }
        traceBuffer.reset(block);
        traceCapacity = entries;
    }
    ClearTrace();
    tracingOn = true;
    return 0;
}

std::int32_t TSerTrace::ClearTrace()
{
    traceNext = 0;
    traceWrapped = false;
    return 0;
}

void TSerTrace::AbortTrace()
{
    tracingOn = false;
    traceBuffer.reset();
    traceCapacity = 0;
    ClearTrace();
}

void TSerTrace::StartTrace()
{
    if (traceBuffer != nullptr) {
        tracingOn = true;
    }
}

void TSerTrace::StopTrace()
{
    tracingOn = false;
}

void TSerTrace::AddTraceEntry(char kind, std::uint8_t value)
{
    if (traceBuffer == nullptr) {
        return;
    }
    traceBuffer[2 * std::size_t{traceNext}] = static_cast<std::uint8_t>(kind);
    traceBuffer[2 * std::size_t{traceNext} + 1] = value;
    if (++traceNext == traceCapacity) {
        traceNext = 0;
        traceWrapped = true;
    }
}

void TSerTrace::TraceBlock(char kind, const std::uint8_t* bytes, std::size_t count)
{
    if (!tracingOn) {
        return;
    }
    for (std::size_t n = 0; n < count; ++n) {
        AddTraceEntry(kind, bytes[n]);
    }
}

std::int32_t TSerTrace::DumpTrace(const std::string& fileName, bool hexNonPrintable, bool allHex)
{
    return WriteTrace(fileName, false, hexNonPrintable, allHex);
}

std::int32_t TSerTrace::AppendTrace(const std::string& fileName, bool hexNonPrintable, bool allHex)
{
    return WriteTrace(fileName, true, hexNonPrintable, allHex);
}

std::int32_t TSerTrace::WriteTrace(const std::string& fileName, bool append, bool hexNonPrintable,
                                   bool allHex)
{
    const std::uint32_t count = Count();
    if (traceBuffer == nullptr || count == 0) {
        AbortTrace();
        return 0;
    }
    TTextFile file;
    if (const std::int32_t error = file.Open(fileName, append)) {
        AbortTrace();
        return -error;
    }

    std::uint32_t index = traceWrapped ? traceNext : 0;
    std::size_t column = 0;
    int previousKind = -1;
    for (std::uint32_t n = 0; n < count; ++n) {
        const std::uint8_t kind = traceBuffer[2 * std::size_t{index}];
        const std::uint8_t value = traceBuffer[2 * std::size_t{index} + 1];
        index = index + 1 == traceCapacity ? 0 : index + 1;

        if (kind != previousKind) {
            if (previousKind >= 0) {
                // The file format's own CR LF ends the data line; the line
                // break after it leaves one empty line between sections.
                file.Write("\r\n\n");
                column = 0;
            }
            if (kind == 'T') {
                file.WriteLine("Transmit: ");
            } else if (kind == 'R') {
                file.WriteLine("Receive: ");
            } else {
                const char special[] = {
                    'S', 'p', 'e', 'c', 'i', 'a', 'l', '-', static_cast<char>(kind), ':', ' '};
                file.WriteLine(std::string_view(special, sizeof special));
            }
            previousKind = kind;
        }

        char item[5];
        const std::size_t width = FormatByteItem(value, hexNonPrintable, allHex, item);
        column += width;
        if (column > TraceLastColumn) {
            file.Write("\n");
            column = width;
        }
        file.Write(std::string_view(item, width));
    }

    const std::int32_t error = file.Close();
    AbortTrace();
    return -error;
}

// ---------------------------------------------------------------------------
// Log

TSerLog::TSerLog() : clock(platform::MillisecondClock) {}

TSerLog::TSerLog(TMillisecondSource clock) : clock(std::move(clock)) {}

std::int32_t TSerLog::InitLog(std::uint32_t size, std::uint32_t scratchSize)
{
    if (size > MaxSize) {
        return ecBadArgument;
    }
    if (logBuffer == nullptr && size > 0) {
        // Entries are smaller than the ring, so a larger scratch would never
        // be filled; at least one byte so that bytes can pass through it.
        const std::uint32_t scratch = std::max<std::uint32_t>(1, std::min(scratchSize, size));
        std::unique_ptr<std::uint8_t[]> ring(new (std::nothrow) std::uint8_t[size]);
        std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[scratch]);
        if (ring == nullptr || block == nullptr) {
            return ecOutOfMemory;
        }
        logBuffer = std::move(ring);
        logScratch = std::move(block);
        logCapacity = size;
        logScratchSize = scratch;
    }
    ClearLog();
    loggingOn = true;
    return 0;
}

void TSerLog::ClearLog()
{
    Ring().Clear();
}

void TSerLog::AbortLog()
{
    loggingOn = false;
    logBuffer.reset();
    logScratch.reset();
    logCapacity = 0;
    logScratchSize = 0;
    ClearLog();
}

void TSerLog::StartLog()
{
    if (logBuffer != nullptr) {
        loggingOn = true;
    }
}

void TSerLog::StopLog()
{
    loggingOn = false;
}

void TSerLog::Reset()
{
    AbortLog();
    logStartTime = clock();
}

bool TSerLog::AddLogEntry(std::uint8_t type, std::uint8_t subtype, std::uint32_t data,
                          const std::uint8_t* bytes, std::uint32_t count)
{
    if (bytes == nullptr) {
        count = 0;
    }
    // The room is made for the whole entry before any of it is written: a
    // header written without its bytes would make every later take-out read
    // the wrong bytes as headers.
    const std::uint64_t size = std::uint64_t{HeaderSize} + count;
    if (logBuffer == nullptr || size >= logCapacity) {
        return false;
    }
    while (size > Free() && !Empty()) {
        DropOldestEntry();
    }
    std::uint8_t header[HeaderSize] = {type, subtype};
    PutUint32(header + 4, clock() - logStartTime);
    PutUint32(header + 8, data);
    PutUint32(header + 12, count);
    platform::Ring ring = Ring();
    ring.Put(header, HeaderSize);
    ring.Put(bytes, count);
    return true;
}

void TSerLog::Take(std::uint8_t* destination, std::uint32_t count)
{
    platform::Ring ring = Ring();
    if (destination != nullptr) {
        ring.Peek(0, destination, count);
    }
    ring.Consumed(count);
}

template <class Sink> void TSerLog::TakeInPieces(std::uint32_t count, Sink sink)
{
    while (count > 0) {
        const std::uint32_t piece = std::min(count, logScratchSize);
        Take(logScratch.get(), piece);
        sink(logScratch.get(), piece);
        count -= piece;
    }
}

TSerLog::TEntryHeader TSerLog::TakeHeader()
{
    std::uint8_t raw[HeaderSize];
    Take(raw, HeaderSize);
    TEntryHeader header;
    header.type = raw[0];
    header.subtype = raw[1];
    header.elapsed = GetUint32(raw + 4);
    header.data = GetUint32(raw + 8);
    header.count = GetUint32(raw + 12);
    return header;
}

void TSerLog::DropOldestEntry()
{
    const TEntryHeader header = TakeHeader();
    Take(nullptr, header.count);
}

std::int32_t TSerLog::DumpLog(const std::string& fileName, bool hexNonPrintable, bool allHex)
{
    return WriteLog(fileName, false, hexNonPrintable, allHex);
}

std::int32_t TSerLog::AppendLog(const std::string& fileName, bool hexNonPrintable, bool allHex)
{
    return WriteLog(fileName, true, hexNonPrintable, allHex);
}

std::int32_t TSerLog::WriteLog(const std::string& fileName, bool append, bool hexNonPrintable,
                               bool allHex)
{
    if (logBuffer == nullptr || Empty()) {
        AbortLog();
        return 0;
    }
    loggingOn = false;
    TTextFile file;
    if (const std::int32_t error = file.Open(fileName, append)) {
        return -error;
    }

    WriteLogTitle(file);
    TLabelCache types;
    TLabelCache subtypes;
    while (!Empty()) {
        // The line head (whose lookups may throw) is built before the entry is
        // taken out, so a failure leaves the ring whole.
        std::uint8_t raw[HeaderSize];
        Ring().Peek(0, raw, HeaderSize);
        file.Write(LogLineHead(raw, types, subtypes));
        const TEntryHeader header = TakeHeader();
        // Bytes pass through the scratch in pieces of its size, so an entry
        // larger than the scratch is written whole.
        TLogBytesWriter bytes(file, hexNonPrintable, allHex);
        TakeInPieces(header.count, [&bytes](const std::uint8_t* piece, std::uint32_t n) {
            bytes.Write(piece, n);
        });
        file.Write("\n");
    }

    const std::int32_t error = file.Close();
    AbortLog();
    return -error;
}
