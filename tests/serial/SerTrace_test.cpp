// Unit under test: SerTrace (the dispatcher's byte trace and dispatch log and their files).
#include "TestFiles.h"
#include "serial/SerTrace.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Traces bytes of one kind and dumps them; returns the file's text.
std::string TraceText(const TempDir& dir, const std::vector<std::pair<char, std::string>>& blocks,
                      bool hexNonPrintable = false, bool allHex = false)
{
    TSerTrace trace;
    EXPECT_EQ(trace.InitTrace(1000), 0);
    for (const auto& [kind, bytes] : blocks) {
        trace.TraceBlock(kind, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    const std::string name = dir / "t.trc";
    EXPECT_EQ(trace.DumpTrace(name, hexNonPrintable, allHex), 0);
    return ReadFile(name);
}

const std::uint8_t* Bytes(const std::string& text)
{
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

// The entry lines of a dumped log (its five header lines dropped).
std::vector<std::string> LogEntryLines(const std::string& name)
{
    std::vector<std::string> lines = Lines(ReadFile(name));
    EXPECT_GE(lines.size(), 5u);
    lines.erase(lines.begin(), lines.begin() + std::min<std::ptrdiff_t>(5, lines.size()));
    return lines;
}

class CountingLock {
public:
    void lock() { ++locks; }
    void unlock() { ++unlocks; }
    int locks = 0;
    int unlocks = 0;
};

} // namespace

TEST(ByteItem, FollowsThePrintableRangeAndBothFlags)
{
    struct Case {
        std::uint8_t value;
        const char* plain;
        const char* hex;
    };
    const Case cases[] = {{'A', "A", "A"},         {' ', " ", "[20]"},     {'~', "~", "~"},
                          {0x7F, "[127]", "[7F]"}, {0x1F, "[31]", "[1F]"}, {7, "[7]", "[07]"},
                          {0x80, "[128]", "[80]"}, {0xFF, "[255]", "[FF]"}};
    for (const Case& c : cases) {
        char item[5];
        EXPECT_EQ(std::string(item, FormatByteItem(c.value, false, false, item)), c.plain);
        EXPECT_EQ(std::string(item, FormatByteItem(c.value, true, false, item)), c.hex);
        const std::size_t width = FormatByteItem(c.value, false, true, item);
        EXPECT_EQ(width, 4u);
        char expected[5];
        std::snprintf(expected, sizeof expected, "%02X", c.value);
        EXPECT_EQ(std::string(item, width), "[" + std::string(expected) + "]");
    }
}

TEST(TraceDump, WritesItemsUnderSectionHeadersWithOneEmptyLineBetween)
{
    TempDir dir;
    const std::string reply("A\x0D\xFF");
    EXPECT_EQ(TraceText(dir, {{'R', reply}}), "Receive: \nA[13][255]");
    EXPECT_EQ(TraceText(dir, {{'R', reply}}, true), "Receive: \nA[0D][FF]");
    EXPECT_EQ(TraceText(dir, {{'R', reply}}, false, true), "Receive: \n[41][0D][FF]");
    EXPECT_EQ(TraceText(dir, {{'T', "ab"}, {'R', "c"}, {'R', "d"}, {'T', "e"}, {'X', "f"}}),
              "Transmit: \nab\r\n\nReceive: \ncd\r\n\nTransmit: \ne\r\n\nSpecial-X: \nf");
}

TEST(TraceDump, WrapsBeforeAnItemWouldPassColumn78)
{
    TempDir dir;
    EXPECT_EQ(TraceText(dir, {{'T', std::string(79, 'a')}}),
              "Transmit: \n" + std::string(78, 'a') + "\na");
    // Nineteen 4-wide items fill 76 columns; the twentieth starts a line.
    std::string row;
    for (int n = 0; n < 19; ++n) {
        row += "[00]";
    }
    EXPECT_EQ(TraceText(dir, {{'T', std::string(21, '\0')}}, true),
              "Transmit: \n" + row + "\n[00][00]");
    // A new section starts counting at column 0 again.
    EXPECT_EQ(TraceText(dir, {{'T', std::string(70, 'a')}, {'R', std::string(78, 'b')}}),
              "Transmit: \n" + std::string(70, 'a') + "\r\n\nReceive: \n" + std::string(78, 'b'));
}

TEST(TraceRing, HoldsTheLastEntriesAndDumpsThemOldestFirst)
{
    TempDir dir;
    const std::string name = dir / "ring.trc";
    for (const auto& [bytes, expected] : std::vector<std::pair<std::string, std::string>>{
             {"12345", "345"}, {"123", "123"}, {"123456", "456"}, {"12", "12"}}) {
        TSerTrace trace;
        ASSERT_EQ(trace.InitTrace(3), 0);
        trace.TraceBlock('R', Bytes(bytes), bytes.size());
        EXPECT_EQ(trace.Count(), expected.size());
        EXPECT_EQ(trace.DumpTrace(name, false, false), 0);
        EXPECT_EQ(ReadFile(name), "Receive: \n" + expected) << bytes;
        EXPECT_FALSE(trace.TracingOn());
        EXPECT_FALSE(trace.HasBuffer());
    }
}

TEST(TraceRing, StatesSizesAndCaps)
{
    TSerTrace trace;
    EXPECT_EQ(trace.InitTrace(TSerTrace::MaxEntries + 1), -1002);
    EXPECT_FALSE(trace.HasBuffer());
    EXPECT_FALSE(trace.TracingOn());

    ASSERT_EQ(trace.InitTrace(3), 0);
    EXPECT_TRUE(trace.TracingOn());
    trace.TraceBlock('T', Bytes("xy"), 2);
    // A second start only clears: the size stays.
    ASSERT_EQ(trace.InitTrace(50), 0);
    EXPECT_EQ(trace.Capacity(), 3u);
    EXPECT_EQ(trace.Count(), 0u);

    trace.StopTrace();
    trace.TraceBlock('T', Bytes("xy"), 2);
    EXPECT_EQ(trace.Count(), 0u);
    trace.StartTrace();
    trace.TraceBlock('T', Bytes("xy"), 2);
    EXPECT_EQ(trace.Count(), 2u);
    EXPECT_EQ(trace.ClearTrace(), 0);
    EXPECT_EQ(trace.Count(), 0u);

    trace.AbortTrace();
    EXPECT_FALSE(trace.HasBuffer());
    trace.StartTrace();
    EXPECT_FALSE(trace.TracingOn());
    trace.AddTraceEntry('R', 1); // no buffer: nothing to store into

    ASSERT_EQ(trace.InitTrace(TSerTrace::MaxEntries), 0);
    EXPECT_EQ(trace.Capacity(), TSerTrace::MaxEntries);
    trace.Reset();
    EXPECT_FALSE(trace.HasBuffer());

    // No entries: on, but nothing is recorded.
    ASSERT_EQ(trace.InitTrace(0), 0);
    EXPECT_TRUE(trace.TracingOn());
    trace.TraceBlock('R', Bytes("z"), 1);
    EXPECT_EQ(trace.Count(), 0u);
}

TEST(TraceFile, EmptyTraceWritesNoFileAndAppendAddsToTheFile)
{
    TempDir dir;
    const std::string name = dir / "SERIAL.TRC";
    TSerTrace trace;
    ASSERT_EQ(trace.InitTrace(10), 0);
    EXPECT_EQ(trace.DumpTrace(name, true, false), 0);
    EXPECT_FALSE(fs::exists(name));
    EXPECT_FALSE(trace.TracingOn());
    EXPECT_FALSE(trace.HasBuffer());
    EXPECT_EQ(trace.AppendTrace(name, true, false), 0);
    EXPECT_FALSE(fs::exists(name));

    WriteFile(name, "before\n");
    ASSERT_EQ(trace.InitTrace(10), 0);
    trace.TraceBlock('T', Bytes("q"), 1);
    EXPECT_EQ(trace.AppendTrace(name, true, false), 0);
    EXPECT_EQ(ReadFile(name), "before\nTransmit: \nq");

    ASSERT_EQ(trace.InitTrace(10), 0);
    trace.TraceBlock('T', Bytes("r"), 1);
    EXPECT_EQ(trace.DumpTrace(name, true, false), 0);
    EXPECT_EQ(ReadFile(name), "Transmit: \nr");
}

TEST(TraceFile, FailuresGiveTheNegatedIoErrorAndReleaseTheTrace)
{
    TempDir dir;
    WriteFile(dir / "plain", "");
    const std::pair<std::string, std::int32_t> cases[] = {
        {dir / "missing/x.trc", -3}, // no such directory: "Path not found"
        {dir / "plain/x.trc", -3},   // a file on the way
        {dir / "", -5},              // a directory
        {"/dev/full", -101},         // every write fails: "Disk is full"
    };
    for (const auto& [name, code] : cases) {
        TSerTrace trace;
        ASSERT_EQ(trace.InitTrace(10), 0);
        trace.TraceBlock('T', Bytes("abc"), 3);
        EXPECT_EQ(trace.DumpTrace(name, false, false), code) << name;
        EXPECT_FALSE(trace.HasBuffer()) << name;
        EXPECT_FALSE(trace.TracingOn()) << name;
    }
    if (::geteuid() != 0) { // root may write anywhere
        ::chmod((dir / "").c_str(), 0500);
        TSerTrace trace;
        ASSERT_EQ(trace.InitTrace(10), 0);
        trace.TraceBlock('T', Bytes("abc"), 3);
        EXPECT_EQ(trace.DumpTrace(dir / "denied.trc", false, false), -5);
    }
}

TEST(LogTime, IsSecondsWithThreeDecimalsAndAtLeastSevenDigits)
{
    EXPECT_EQ(LogTimeText(1234), "0001.234");
    EXPECT_EQ(LogTimeText(12345), "0012.345");
    EXPECT_EQ(LogTimeText(0), "0000.000");
    EXPECT_EQ(LogTimeText(4294967295u), "4294967.295");
}

TEST(LogFile, WritesTheHeaderAndOneLinePerEntryTimedFromTheStart)
{
    TempDir dir;
    std::uint32_t now = 0xFFFFFF00u; // the clock wraps between start and entries
    TSerLog log([&] { return now; });
    log.Reset();
    ASSERT_EQ(log.InitLog(4096, 256), 0);
    now = 0xFFFFFF00u + 1234;
    EXPECT_TRUE(log.AddLogEntry(1, 1, 3, Bytes("A\r\xFF"), 3));
    now += 1;
    EXPECT_TRUE(log.AddLogEntry(9, 16, 0xABCDEF));
    EXPECT_TRUE(log.AddLogEntry(50, 0, 7)); // a type without a label
    const std::string name = dir / "SERIAL.LOG";
    EXPECT_EQ(log.DumpLog(name, true, false), 0);
    EXPECT_FALSE(log.HasBuffer());
    EXPECT_FALSE(log.LoggingOn());

    const std::vector<std::string> lines = Lines(ReadFile(name));
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "SERIAL v3.02");
    EXPECT_EQ(lines[1], "Compiler : " + CompilerDescription());
    EXPECT_EQ(lines[2], "Operating System : " + OperatingSystemDescription());
    EXPECT_EQ(lines[3], "Time      Type      SubType       Data      OtherData");
    EXPECT_EQ(lines[4], "--------  --------  ------------  --------  ---------");
    EXPECT_EQ(lines[5], "0001.234  Dispatch  ReadCom       00000003  A[0D][FF]");
    EXPECT_EQ(lines[6], "0001.235  TrDatChg  Avail         00ABCDEF  ");
    EXPECT_EQ(lines[7], "0001.235                          00000007  ");
}

TEST(LogFile, WrapsBytesAtColumn79UnderTheFirstByte)
{
    TempDir dir;
    TSerLog log([] { return 0u; });
    ASSERT_EQ(log.InitLog(4096, 256), 0);
    const std::string text(40, 'x');
    ASSERT_TRUE(log.AddLogEntry(1, 2, 40, Bytes(text), 40));
    const std::string hex(9, '\0');
    ASSERT_TRUE(log.AddLogEntry(1, 2, 9, Bytes(hex), 9));
    const std::string name = dir / "wrap.log";
    ASSERT_EQ(log.DumpLog(name, true, false), 0);

    const std::string head = "0000.000  Dispatch  WriteCom      000000";
    const std::string indent(44, ' ');
    const std::vector<std::string> expected = {
        head + "28  " + std::string(33, 'x'), indent + std::string(7, 'x'),
        head + "09  [00][00][00][00][00][00][00][00]", indent + "[00]"};
    EXPECT_EQ(LogEntryLines(name), expected);
}

TEST(LogRing, FullRingGivesUpWholeOldestEntries)
{
    TempDir dir;
    // An odd capacity makes entries wrap at every offset.
    TSerLog log([] { return 0u; });
    ASSERT_EQ(log.InitLog(97, 97), 0);
    std::deque<std::pair<std::uint32_t, std::string>> model;
    std::uint32_t used = 0;
    for (std::uint32_t n = 0; n < 60; ++n) {
        const std::string bytes(n % 13, static_cast<char>('a' + n % 26));
        const std::uint32_t size = TSerLog::HeaderSize + static_cast<std::uint32_t>(bytes.size());
        ASSERT_TRUE(log.AddLogEntry(1, 2, n, Bytes(bytes), bytes.size()));
        while (used + size > 97) {
            used -= TSerLog::HeaderSize + static_cast<std::uint32_t>(model.front().second.size());
            model.pop_front();
        }
        model.emplace_back(n, bytes);
        used += size;
        ASSERT_EQ(log.Free(), 97 - used) << "after entry " << n;
    }
    const std::string name = dir / "ring.log";
    ASSERT_EQ(log.DumpLog(name, true, false), 0);
    const std::vector<std::string> lines = LogEntryLines(name);
    ASSERT_EQ(lines.size(), model.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        char data[9];
        std::snprintf(data, sizeof data, "%08X", model[i].first);
        EXPECT_EQ(lines[i].substr(34), std::string(data) + "  " + model[i].second);
    }
}

TEST(LogRing, RefusesEntriesAsLargeAsTheRingAndPassesLargeOnesThroughTheScratch)
{
    TempDir dir;
    TSerLog log([] { return 0u; });
    ASSERT_EQ(log.InitLog(64, 8), 0);
    EXPECT_EQ(log.ScratchSize(), 8u);
    ASSERT_TRUE(log.AddLogEntry(2, 5, 1));
    const std::uint32_t free = log.Free();
    const std::string big(64, 'b');
    EXPECT_FALSE(log.AddLogEntry(1, 1, 64, Bytes(big), 64)); // bytes as large as the ring
    EXPECT_FALSE(log.AddLogEntry(1, 1, 48, Bytes(big), 48)); // header and bytes together
    EXPECT_EQ(log.Free(), free);

    // 47 bytes: more than the scratch, and it pushes the first entry out.
    const std::string large(47, 'L');
    ASSERT_TRUE(log.AddLogEntry(1, 1, 47, Bytes(large), 47));
    EXPECT_EQ(log.Free(), 1u);
    // Taking the large entry out to make room must stay inside the scratch.
    ASSERT_TRUE(log.AddLogEntry(2, 5, 2));
    ASSERT_TRUE(log.AddLogEntry(1, 1, 30, Bytes(large), 30));
    const std::string name = dir / "big.log";
    ASSERT_EQ(log.DumpLog(name, true, false), 0);
    const std::vector<std::string> lines = LogEntryLines(name);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 44), "0000.000  Trigger   Avail         00000002  ");
    EXPECT_EQ(lines[1].substr(44), std::string(30, 'L')); // all of it, across scratch pieces

    // The scratch never outgrows the ring; a header alone must fit below the size.
    TSerLog small([] { return 0u; });
    ASSERT_EQ(small.InitLog(16, 1u << 30), 0);
    EXPECT_EQ(small.ScratchSize(), 16u);
    EXPECT_FALSE(small.AddLogEntry(2, 5, 1));
    EXPECT_TRUE(small.Empty());
}

TEST(LogRing, StatesSizesAndCaps)
{
    std::uint32_t now = 500;
    TSerLog log([&] { return now; });
    EXPECT_EQ(log.InitLog(TSerLog::MaxSize + 1, 10), -1002);
    EXPECT_FALSE(log.HasBuffer());
    EXPECT_FALSE(log.LoggingOn());
    EXPECT_FALSE(log.AddLogEntry(2, 5, 1));

    log.Reset();
    EXPECT_EQ(log.StartTime(), 500u);
    ASSERT_EQ(log.InitLog(100, 10), 0);
    EXPECT_TRUE(log.LoggingOn());
    ASSERT_TRUE(log.AddLogEntry(2, 5, 1));
    ASSERT_EQ(log.InitLog(5000, 10), 0); // only cleared
    EXPECT_EQ(log.Capacity(), 100u);
    EXPECT_TRUE(log.Empty());
    log.StopLog();
    EXPECT_FALSE(log.LoggingOn());
    log.StartLog();
    EXPECT_TRUE(log.LoggingOn());
    ASSERT_TRUE(log.AddLogEntry(2, 5, 1));
    log.ClearLog();
    EXPECT_EQ(log.Free(), 100u);
    log.AbortLog();
    EXPECT_FALSE(log.HasBuffer());
    log.StartLog();
    EXPECT_FALSE(log.LoggingOn());

    ASSERT_EQ(log.InitLog(TSerLog::MaxSize, 8192), 0);
    EXPECT_EQ(log.Capacity(), TSerLog::MaxSize);
    now = 900;
    log.Reset();
    EXPECT_FALSE(log.HasBuffer());
    EXPECT_EQ(log.StartTime(), 900u);
}

TEST(LogFile, FailedOpenKeepsTheEntriesAndTheLockIsReleasedOnEveryPath)
{
    TempDir dir;
    TSerLog log([] { return 0u; });
    const std::string name = dir / "SERIAL.LOG";
    CountingLock counting;

    ASSERT_EQ(log.InitLog(100, 10), 0);
    EXPECT_EQ(log.DumpLog(counting, name, true, false), 0); // empty: no file
    EXPECT_FALSE(fs::exists(name));
    EXPECT_FALSE(log.HasBuffer());

    ASSERT_EQ(log.InitLog(100, 10), 0);
    ASSERT_TRUE(log.AddLogEntry(7, 17, 42));
    EXPECT_EQ(log.DumpLog(counting, dir / "missing/x.log", true, false), -3);
    EXPECT_FALSE(log.LoggingOn());
    EXPECT_FALSE(log.Empty());
    EXPECT_EQ(log.DumpLog(dir / "", true, false), -5);
    EXPECT_FALSE(log.Empty());

    std::recursive_mutex mainLock;
    WriteFile(name, "earlier\n");
    EXPECT_EQ(log.AppendLog(mainLock, name, true, false), 0);
    std::thread([&] {
        EXPECT_TRUE(mainLock.try_lock());
        mainLock.unlock();
    }).join();
    EXPECT_EQ(counting.locks, 2);
    EXPECT_EQ(counting.unlocks, 2);
    const std::vector<std::string> lines = Lines(ReadFile(name));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "earlier");
    EXPECT_EQ(lines[1], "SERIAL v3.02");
    EXPECT_EQ(lines[6], "0000.000  TrgHdAlc  Window        0000002A  ");

    ASSERT_EQ(log.InitLog(100, 10), 0);
    ASSERT_TRUE(log.AddLogEntry(7, 17, 42));
    EXPECT_EQ(log.DumpLog("/dev/full", true, false), -101);
    EXPECT_FALSE(log.HasBuffer());
}

TEST(LogFile, HeaderNamesTheRealCompilerAndSystem)
{
#if defined(__clang__)
    EXPECT_EQ(CompilerDescription().rfind("Clang ", 0), 0u);
#else
    EXPECT_EQ(CompilerDescription().rfind("GCC ", 0), 0u);
#endif
    const std::string system = OperatingSystemDescription();
    EXPECT_EQ(system.rfind("Linux ", 0), 0u);
    EXPECT_LE(system.size(), 80u);
}

// A short exchange recorded the way the dispatcher feeds the recorders, against
// stored files. The log's compiler and system lines vary by machine and are
// compared with the describing functions instead.
TEST(Golden, TracedAndLoggedExchange)
{
    TempDir dir;
    std::uint32_t now = 700000;
    TSerTrace trace;
    TSerLog log([&] { return now; });
    const auto at = [&](std::uint32_t ms) { now = 700000 + ms; };

    // Port open, then the component's Tracing and Logging.
    trace.Reset();
    log.Reset();
    ASSERT_EQ(trace.InitTrace(10000), 0);
    ASSERT_EQ(log.InitLog(10000, 4096), 0);
    at(2);
    log.AddLogEntry(9, 16, 1); // avail level
    at(3);
    log.AddLogEntry(7, 17, 0x2A); // the component's window

    const auto write = [&](const std::vector<std::uint8_t>& bytes) {
        log.AddLogEntry(1, 2, bytes.size(), bytes.data(), bytes.size());
        trace.TraceBlock('T', bytes.data(), bytes.size());
    };
    const auto driverRead = [&](const std::vector<std::uint8_t>& bytes) {
        log.AddLogEntry(1, 1, bytes.size(), bytes.data(), bytes.size());
    };
    const auto blockRead = [&](const std::vector<std::uint8_t>& bytes) {
        trace.TraceBlock('R', bytes.data(), bytes.size());
    };

    const std::vector<std::uint8_t> request = {0x41, 0x7F, 0x70};
    const std::vector<std::uint8_t> reply1 = {0x41, 0x01, 0x02, 0x00, 0x40,
                                              0xA0, 0x00, 0x00, 0x81, 0x37};
    const std::vector<std::uint8_t> reply2 = {0x41, 0x01, 0x02, 0x00, 0x40,
                                              0xA4, 0xCC, 0xCD, 0x54, 0x63};
    at(5);
    write(request);
    at(41);
    driverRead(reply1);
    log.AddLogEntry(2, 5, 10);
    blockRead(reply1);
    at(142);
    write(request);
    at(160);
    driverRead({reply2.begin(), reply2.begin() + 4});
    log.AddLogEntry(2, 5, 4);
    at(178);
    driverRead({reply2.begin() + 4, reply2.end()});
    log.AddLogEntry(2, 5, 10);
    blockRead(reply2);
    at(1190);
    static const char noise[] = "Velmor noise: 0123456789 ~\r\n\x00\x7F\x80\xFE zz [ok] 42 ";
    const std::vector<std::uint8_t> burst(noise, noise + sizeof noise - 1);
    driverRead(burst);
    log.AddLogEntry(2, 5, burst.size());
    blockRead(burst);
    at(1234);
    log.AddLogEntry(8, 17, 0x2A); // closing: the window goes

    const std::string traceName = dir / "SERIAL.TRC";
    const std::string logName = dir / "SERIAL.LOG";
    ASSERT_EQ(trace.DumpTrace(traceName, true, false), 0);
    ASSERT_EQ(log.DumpLog(logName, true, false), 0);

    EXPECT_EQ(ReadFile(traceName), GoldenFile("exchange.trc"));
    std::vector<std::string> lines = Lines(ReadFile(logName));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], "Compiler : " + CompilerDescription());
    EXPECT_EQ(lines[2], "Operating System : " + OperatingSystemDescription());
    EXPECT_EQ(MaskMachineLines(ReadFile(logName)), GoldenFile("exchange.log"));
}
