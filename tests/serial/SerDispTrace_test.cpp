// Unit under test: SerDispTrace (the dispatcher's trace and log operations and their feeds).
#include "FakeDispatcher.h"
#include "TestFiles.h"
#include "platform/Sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::uint8_t> Bytes(const std::string& text)
{
    return {text.begin(), text.end()};
}

void Write(TFakeDispatcher& d, const std::vector<std::uint8_t>& bytes)
{
    ASSERT_EQ(d.WriteBlock(bytes.data(), static_cast<std::uint32_t>(bytes.size())), 0);
}

std::string Read(TFakeDispatcher& d, std::uint32_t n)
{
    std::string bytes(n, '\0');
    EXPECT_EQ(d.ReadBlock(reinterpret_cast<std::uint8_t*>(bytes.data()), n), static_cast<int>(n));
    return bytes;
}

// The entry lines of a dumped log (its five header lines dropped).
std::vector<std::string> LogEntryLines(const std::string& name)
{
    std::vector<std::string> lines = Lines(ReadFile(name));
    EXPECT_GE(lines.size(), 5u);
    lines.erase(lines.begin(), lines.begin() + std::min<std::ptrdiff_t>(5, lines.size()));
    return lines;
}

// True when no thread holds the lock: asked from a thread of its own, since
// the lock is re-entrant for its holder.
// mainLock is free when an operation that takes it gets through on another
// thread. One that is still held after 10 s ends the run: the thread that
// waits for it cannot be taken back.
bool LockIsFree(TFakeDispatcher& d)
{
    auto through = std::make_shared<platform::Event>(platform::Event::Kind::ManualReset);
    std::thread([&d, through] {
        d.TracingOn();
        through->Set();
    }).detach();
    if (!through->Wait(10000)) {
        std::fprintf(stderr, "mainLock stayed held\n");
        std::abort();
    }
    return true;
}

// A trace dumped with allHex, as (kind, bytes) sections.
std::vector<std::pair<char, std::vector<std::uint8_t>>> ParseHexTrace(const std::string& text)
{
    std::vector<std::pair<char, std::vector<std::uint8_t>>> sections;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find("\r\n\n", at), text.size());
        const std::string section = text.substr(at, end - at);
        const std::size_t body = section.find('\n');
        const std::string header = section.substr(0, body);
        EXPECT_TRUE(header == "Transmit: " || header == "Receive: ") << header;
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = body + 1; i < section.size();) {
            if (section[i] == '\n') {
                ++i;
                continue;
            }
            EXPECT_EQ(section[i], '[');
            bytes.push_back(
                static_cast<std::uint8_t>(std::stoi(section.substr(i + 1, 2), nullptr, 16)));
            i += 4;
        }
        sections.emplace_back(header[0], std::move(bytes));
        at = end + 3;
    }
    return sections;
}

} // namespace

// The exchange that the recorders' own stored dumps describe, made through the
// dispatcher: the same files must come out.
TEST(SerDispTraceGolden, TracedAndLoggedExchangeThroughTheDispatcher)
{
    TempDir dir;
    TFakeDispatcher d;
    d.clock = 700000;
    const auto at = [&](std::uint32_t ms) { d.clock = 700000 + ms; };
    ASSERT_EQ(d.Open(), 0);
    // The component's Tracing and Logging, then its avail level and window.
    ASSERT_EQ(d.InitTrace(10000), 0);
    ASSERT_EQ(d.InitLog(10000), 0);
    at(2);
    d.SetAvailLevel(1);
    at(3);
    d.AddWindowHandler(0x2A);
    d.UpdateHandlerFlags(TSerBaseDispatcher::THandlerFlags::ComponentOn);

    // The window takes whole replies and leaves a partial one for later.
    std::string taken;
    d.onSend = [&](platform::WindowHandle) {
        const auto offered = static_cast<std::uint32_t>(d.sends.back().wParam);
        if (offered >= 10) {
            taken += Read(d, offered);
        }
    };

    const std::vector<std::uint8_t> request = {0x41, 0x7F, 0x70};
    const std::vector<std::uint8_t> reply1 = {0x41, 0x01, 0x02, 0x00, 0x40,
                                              0xA0, 0x00, 0x00, 0x81, 0x37};
    const std::vector<std::uint8_t> reply2 = {0x41, 0x01, 0x02, 0x00, 0x40,
                                              0xA4, 0xCC, 0xCD, 0x54, 0x63};
    static const char noise[] = "Velmor noise: 0123456789 ~\r\n\x00\x7F\x80\xFE zz [ok] 42 ";
    const std::vector<std::uint8_t> burst(noise, noise + sizeof noise - 1);

    at(5);
    Write(d, request);
    d.Transmit(3);
    at(41);
    d.Deliver(reply1);
    d.ProcessCommEvents();
    at(142);
    Write(d, request);
    d.Transmit(3);
    at(160);
    d.Deliver({reply2.begin(), reply2.begin() + 4});
    d.ProcessCommEvents();
    at(178);
    d.Deliver({reply2.begin() + 4, reply2.end()});
    d.ProcessCommEvents();
    at(1190);
    d.Deliver(burst);
    d.ProcessCommEvents();
    at(1234);
    d.RemoveWindowHandler(0x2A);

    std::vector<std::uintptr_t> offered;
    for (const auto& sent : d.sends) {
        offered.push_back(sent.wParam);
    }
    EXPECT_EQ(offered, (std::vector<std::uintptr_t>{10, 4, 10, 44}));
    std::vector<std::uint8_t> replies = reply1;
    replies.insert(replies.end(), reply2.begin(), reply2.end());
    replies.insert(replies.end(), burst.begin(), burst.end());
    EXPECT_EQ(taken, std::string(replies.begin(), replies.end()));

    const std::string traceName = dir / "SERIAL.TRC";
    const std::string logName = dir / "SERIAL.LOG";
    ASSERT_EQ(d.DumpTrace(traceName, true, false), 0);
    ASSERT_EQ(d.DumpLog(logName, true, false), 0);
    EXPECT_FALSE(d.TracingOn());
    EXPECT_FALSE(d.LoggingOn());
    EXPECT_EQ(ReadFile(traceName), GoldenFile("exchange.trc"));
    const std::vector<std::string> lines = Lines(ReadFile(logName));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], "Compiler : " + CompilerDescription());
    EXPECT_EQ(lines[2], "Operating System : " + OperatingSystemDescription());
    EXPECT_EQ(MaskMachineLines(ReadFile(logName)), GoldenFile("exchange.log"));
}

TEST(SerDispRecorders, OpeningResetsThemAndEachFollowsItsOwnState)
{
    TempDir dir;
    const std::string traceName = dir / "SERIAL.TRC";
    const std::string logName = dir / "SERIAL.LOG";
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    EXPECT_FALSE(d.TracingOn());
    EXPECT_FALSE(d.LoggingOn());
    d.StartTrace(); // nothing to start without a buffer
    d.StartLog();
    EXPECT_FALSE(d.TracingOn());
    EXPECT_FALSE(d.LoggingOn());
    Write(d, Bytes("--"));

    ASSERT_EQ(d.InitTrace(100), 0);
    ASSERT_EQ(d.InitLog(1000), 0);
    EXPECT_TRUE(d.TracingOn());
    EXPECT_TRUE(d.LoggingOn());
    Write(d, Bytes("ab"));
    d.StopTrace();
    Write(d, Bytes("cd")); // logged, not traced
    d.StopLog();
    Write(d, Bytes("ef")); // neither
    d.SetAvailLevel(3);
    d.StartTrace();
    d.StartLog();
    Write(d, Bytes("gh"));

    ASSERT_EQ(d.DumpTrace(traceName, false, false), 0);
    EXPECT_EQ(ReadFile(traceName), "Transmit: \nabgh");
    ASSERT_EQ(d.DumpLog(logName, false, false), 0);
    const std::string head = "0000.000  Dispatch  WriteCom      00000002  ";
    EXPECT_EQ(LogEntryLines(logName),
              (std::vector<std::string>{head + "ab", head + "cd", head + "gh"}));

    // A dump released both: recording needs a new start.
    EXPECT_FALSE(d.TracingOn());
    EXPECT_FALSE(d.LoggingOn());
    d.StartTrace();
    d.StartLog();
    Write(d, Bytes("ij"));
    std::filesystem::remove(traceName);
    std::filesystem::remove(logName);
    EXPECT_EQ(d.DumpTrace(traceName, false, false), 0);
    EXPECT_EQ(d.DumpLog(logName, false, false), 0);
    EXPECT_FALSE(std::filesystem::exists(traceName));
    EXPECT_FALSE(std::filesystem::exists(logName));

    // Cleared recorders keep recording; a second start only clears.
    ASSERT_EQ(d.InitTrace(100), 0);
    ASSERT_EQ(d.InitLog(1000), 0);
    Write(d, Bytes("kl"));
    EXPECT_EQ(d.ClearTrace(), 0);
    d.ClearLog();
    Write(d, Bytes("m"));
    ASSERT_EQ(d.InitTrace(5), 0);
    EXPECT_EQ(d.ByteTrace().Capacity(), 100u);
    Write(d, Bytes("n"));
    EXPECT_EQ(d.AppendTrace(traceName, false, false), 0);
    EXPECT_EQ(ReadFile(traceName), "Transmit: \nn");
    EXPECT_EQ(d.AppendLog(logName, false, false), 0);
    const std::vector<std::string> kept = LogEntryLines(logName);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].substr(34), "00000001  m");

    // Aborted recorders are off and gone.
    ASSERT_EQ(d.InitTrace(100), 0);
    ASSERT_EQ(d.InitLog(1000), 0);
    d.AbortTrace();
    d.AbortLog();
    EXPECT_FALSE(d.TracingOn());
    EXPECT_FALSE(d.LoggingOn());
    EXPECT_FALSE(d.ByteTrace().HasBuffer());
    EXPECT_FALSE(d.DispatchLog().HasBuffer());

    // Reopening the port switches both off, releases them and times the log
    // from the new open.
    ASSERT_EQ(d.InitTrace(100), 0);
    ASSERT_EQ(d.InitLog(1000), 0);
    Write(d, Bytes("op"));
    d.CloseDispatcher();
    d.clock = 5000;
    ASSERT_EQ(d.Open(), 0);
    EXPECT_FALSE(d.TracingOn());
    EXPECT_FALSE(d.LoggingOn());
    EXPECT_FALSE(d.ByteTrace().HasBuffer());
    EXPECT_FALSE(d.DispatchLog().HasBuffer());
    ASSERT_EQ(d.InitLog(1000), 0);
    d.clock = 6234;
    d.SetAvailLevel(1);
    ASSERT_EQ(d.DumpLog(logName, false, false), 0);
    EXPECT_EQ(LogEntryLines(logName),
              (std::vector<std::string>{"0001.234  TrDatChg  Avail         00000001  "}));
}

TEST(SerDispRecorders, TriggerNotificationsAreLoggedWithTheirHandles)
{
    TempDir dir;
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    ASSERT_EQ(d.InitLog(4096), 0);
    d.AddMethodHandler([](void*, std::uint32_t, std::uintptr_t, std::intptr_t) {}, nullptr, false);
    {
        TStatusTrigger sent;
        sent.handle = 5;
        sent.kind = StatusKindOutSent;
        sent.active = 1;
        d.AddStatusTrigger(sent);
        TTimerTrigger timer;
        timer.handle = 9;
        timer.startTick = 1;
        timer.expireTick = 2;
        timer.active = 1;
        d.AddTimerTrigger(timer);
        TDataTrigger data;
        data.handle = 3;
        data.matchLength = 2;
        std::memcpy(data.match, "OK", 2);
        d.AddDataTrigger(data);
    }
    Write(d, Bytes("?"));
    d.ProcessCommEvents();
    d.clock = 3 * 55;
    d.ProcessTimers();
    d.Deliver(Bytes("OK"));
    d.ProcessCommEvents();
    ASSERT_EQ(d.DumpLog(dir / "SERIAL.LOG", false, false), 0);

    std::vector<std::string> entries;
    for (const std::string& line : LogEntryLines(dir / "SERIAL.LOG")) {
        entries.push_back(line.substr(10));
    }
    EXPECT_EQ(entries, (std::vector<std::string>{
                           "Dispatch  WriteCom      00000001  ?",
                           "Trigger   Status        00000005  ",
                           "Trigger   Timer         00000009  ",
                           "Dispatch  ReadCom       00000002  OK",
                           "Trigger   Data          00000003  ",
                       }));
}

TEST(SerDispRecorders, UnopenableFileKeepsTheLogReleasesTheTraceAndFreesMainLock)
{
    TempDir dir;
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    ASSERT_EQ(d.InitTrace(100), 0);
    ASSERT_EQ(d.InitLog(1000), 0);
    d.SetAvailLevel(2);
    Write(d, Bytes("xy"));

    const std::string missing = dir / "missing/SERIAL.LOG";
    EXPECT_EQ(d.DumpLog(missing, false, false), -3);
    EXPECT_TRUE(LockIsFree(d));
    EXPECT_FALSE(d.LoggingOn());
    EXPECT_TRUE(d.DispatchLog().HasBuffer());
    EXPECT_FALSE(d.DispatchLog().Empty());
    Write(d, Bytes("z")); // logging is off until started again
    EXPECT_EQ(d.AppendLog(dir / "", false, false), -5);
    EXPECT_TRUE(LockIsFree(d));

    EXPECT_EQ(d.DumpTrace(dir / "missing/SERIAL.TRC", false, false), -3);
    EXPECT_TRUE(LockIsFree(d));
    EXPECT_FALSE(d.TracingOn());
    EXPECT_FALSE(d.ByteTrace().HasBuffer());

    const std::string name = dir / "SERIAL.LOG";
    ASSERT_EQ(d.DumpLog(name, false, false), 0);
    EXPECT_EQ(LogEntryLines(name), (std::vector<std::string>{
                                       "0000.000  TrDatChg  Avail         00000002  ",
                                       "0000.000  Dispatch  WriteCom      00000002  xy",
                                   }));
}

TEST(SerDispRecorders, SizesAboveTheCapsAreRefusedAndTheScratchFollowsTheQueues)
{
    TempDir dir;
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(300, 1000), 0);
    EXPECT_EQ(d.InitTrace(TSerTrace::MaxEntries + 1), DispBadArgument);
    EXPECT_EQ(d.InitLog(TSerLog::MaxSize + 1), DispBadArgument);
    EXPECT_FALSE(d.TracingOn());
    EXPECT_FALSE(d.LoggingOn());
    EXPECT_FALSE(d.ByteTrace().HasBuffer());
    EXPECT_FALSE(d.DispatchLog().HasBuffer());
    EXPECT_EQ(d.ByteTrace().Capacity(), 0u);
    EXPECT_EQ(d.DispatchLog().Capacity(), 0u);

    // A refused size leaves a running log as it was.
    ASSERT_EQ(d.InitLog(4096), 0);
    EXPECT_EQ(d.DispatchLog().ScratchSize(), 1000u); // InSize, the larger
    d.SetAvailLevel(1);
    EXPECT_EQ(d.InitLog(TSerLog::MaxSize + 1), DispBadArgument);
    EXPECT_TRUE(d.LoggingOn());
    EXPECT_EQ(d.DispatchLog().Capacity(), 4096u);
    EXPECT_FALSE(d.DispatchLog().Empty());

    // One driver read of more than InSize: making room takes its entry out
    // whole through the smaller scratch.
    std::vector<std::uint8_t> big(3000, 'B');
    d.Deliver(big);
    d.FillInputBuffer();
    std::vector<std::uint8_t> next(2000, 'N');
    d.Deliver(next);
    d.FillInputBuffer();
    const std::string name = dir / "SERIAL.LOG";
    ASSERT_EQ(d.DumpLog(name, false, false), 0);
    const std::vector<std::string> lines = LogEntryLines(name);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].substr(0, 44), "0000.000  Dispatch  ReadCom       000007D0  ");
    std::string bytes = lines[0].substr(44);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].substr(0, 44), std::string(44, ' '));
        bytes += lines[i].substr(44);
    }
    EXPECT_EQ(bytes, std::string(2000, 'N'));

    TFakeDispatcher wide;
    ASSERT_EQ(wide.Open(5000, 100), 0);
    ASSERT_EQ(wide.InitLog(8192), 0);
    EXPECT_EQ(wide.DispatchLog().ScratchSize(), 5000u); // OutSize, the larger
}

TEST(SerDispRecorders, TraceHoldsBlocksInTheOrderTheirOperationsFinished)
{
    TempDir dir;
    const std::string name = dir / "SERIAL.TRC";
    {
        TFakeDispatcher d;
        ASSERT_EQ(d.Open(), 0);
        ASSERT_EQ(d.InitTrace(1000), 0);
        Write(d, Bytes("ab"));
        d.Deliver(Bytes("xyz"));
        d.FillInputBuffer(); // the driver read itself is not traced
        EXPECT_EQ(Read(d, 1), "x");
        Write(d, Bytes("c"));
        EXPECT_EQ(Read(d, 2), "yz");
        ASSERT_EQ(d.DumpTrace(name, false, false), 0);
        EXPECT_EQ(ReadFile(name),
                  "Transmit: \nab\r\n\nReceive: \nx\r\n\nTransmit: \nc\r\n\nReceive: \nyz");
    }

    // A writer and a reader on threads of their own: each direction keeps its
    // order, and blocks (traced under one hold of mainLock) come whole.
    constexpr std::uint32_t Blocks = 1500;
    constexpr std::uint32_t BlockSize = 4;
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(Blocks * BlockSize), 0);
    ASSERT_EQ(d.InitTrace(2 * Blocks * BlockSize), 0);
    std::vector<std::uint8_t> received(std::size_t{Blocks} * BlockSize);
    std::vector<std::uint8_t> sent(std::size_t{Blocks} * BlockSize);
    for (std::size_t i = 0; i < received.size(); ++i) {
        received[i] = static_cast<std::uint8_t>(i % 251);
        sent[i] = static_cast<std::uint8_t>(i * 7 % 256);
    }
    d.Deliver(received);
    d.FillInputBuffer();
    // Neither side runs more than two blocks ahead of the other, so the two
    // directions interleave throughout.
    std::mutex m;
    std::condition_variable progress;
    std::uint32_t done[2] = {0, 0};
    const auto run = [&](int self, const std::function<void(std::uint32_t)>& operation) {
        for (std::uint32_t b = 0; b < Blocks; ++b) {
            {
                std::unique_lock lock(m);
                progress.wait(lock, [&] { return b <= done[1 - self] + 2; });
            }
            operation(b);
            std::lock_guard lock(m);
            ++done[self];
            progress.notify_all();
        }
    };
    std::thread writer(run, 0, [&](std::uint32_t b) {
        EXPECT_EQ(d.WriteBlock(sent.data() + std::size_t{b} * BlockSize, BlockSize), 0);
    });
    std::thread reader(run, 1, [&](std::uint32_t) {
        std::uint8_t block[BlockSize];
        EXPECT_EQ(d.ReadBlock(block, BlockSize), static_cast<int>(BlockSize));
    });
    writer.join();
    reader.join();
    ASSERT_EQ(d.DumpTrace(name, false, true), 0);

    std::vector<std::uint8_t> traced[2];
    const auto sections = ParseHexTrace(ReadFile(name));
    EXPECT_GT(sections.size(), 2u);
    for (const auto& [kind, bytes] : sections) {
        EXPECT_EQ(bytes.size() % BlockSize, 0u);
        auto& to = traced[kind == 'T' ? 0 : 1];
        to.insert(to.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(traced[0], sent);
    EXPECT_EQ(traced[1], received);
}

// Dumps taken while another thread keeps logging, tracing and filling: each
// dump waits for mainLock, writes whole entries and lets the lock go.
TEST(SerDispRecorders, DumpsUnderAContendedMainLockCompleteAndReleaseIt)
{
    TempDir dir;
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(1 << 16), 0);
    std::atomic<bool> stop{false};
    std::promise<void> running;
    std::thread busy([&] {
        const std::uint8_t byte = 'w';
        std::uint8_t got = 0;
        bool first = true;
        while (!stop.load()) {
            EXPECT_EQ(d.WriteBlock(&byte, 1), 0);
            d.Transmit(1);
            d.Deliver({'r'});
            d.FillInputBuffer();
            EXPECT_EQ(d.ReadBlock(&got, 1), 1);
            d.SetAvailLevel(7);
            if (first) {
                running.set_value();
                first = false;
            }
        }
    });
    running.get_future().wait();

    const std::set<std::string> expected = {
        "0000.000  Dispatch  WriteCom      00000001  w",
        "0000.000  Dispatch  ReadCom       00000001  r",
        "0000.000  TrDatChg  Avail         00000007  ",
        "0000.000  TrDatChg  Avail         00000000  ",
    };
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(d.InitTrace(1 << 16), 0);
        ASSERT_EQ(d.InitLog(1 << 20), 0);
        d.SetAvailLevel(0); // at least one entry, whatever the other thread does
        const std::string logName = dir / ("r" + std::to_string(round) + ".log");
        const std::string traceName = dir / ("r" + std::to_string(round) + ".trc");
        ASSERT_EQ(d.DumpLog(logName, false, false), 0);
        ASSERT_EQ(d.DumpTrace(traceName, false, false), 0);
        EXPECT_FALSE(d.LoggingOn());
        const std::vector<std::string> lines = LogEntryLines(logName);
        ASSERT_FALSE(lines.empty());
        for (const std::string& line : lines) {
            EXPECT_TRUE(expected.contains(line)) << line;
        }
    }
    stop.store(true);
    busy.join();
    EXPECT_TRUE(LockIsFree(d));
}
