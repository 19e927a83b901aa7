// Unit under test: TSerWin32Dispatcher (src/serial/SerWin32) on pseudo-terminal pairs.

#include "serial/SerWin32.h"

#include "FakeUart.h"
#include "PtyPair.h"
#include "platform/MessageWindow.h"
#include "platform/Sync.h"
#include "serial/SerMisc.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

int ThreadCount()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

// The thread count once joined threads have left /proc: a join returns when
// the thread is done, a moment before the kernel unlists it. Gives up after
// a second, with the count as it then is.
int SettledThreadCount(int expected)
{
    int count = ThreadCount();
    for (int i = 0; i < 1000 && count != expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        count = ThreadCount();
    }
    return count;
}

class TTestDispatcher : public TSerWin32Dispatcher {
public:
    TTestDispatcher() : TSerWin32Dispatcher(nullptr) {}
    // The threads call EventPassDone until they have stopped.
    ~TTestDispatcher() override { Destroy(); }

    int Open(std::uint32_t outSize = 4096)
    {
        return OpenDispatcher("\\\\.\\COM5", 9600, 0, 8, 1, 4096, outSize, 0x03);
    }
    // While held, queued blocks wait in the ring: the transmitter is not woken.
    int QueueOutput(const std::uint8_t* source, std::uint32_t count) override
    {
        if (!holdOutput) {
            return TSerWin32Dispatcher::QueueOutput(source, count);
        }
        CopyToOutputRing(source, count);
        return static_cast<int>(count);
    }
    // Takes n waiting bytes off the ring as a transmitter would, so that
    // the ring's tail moves on from its start.
    void DropSent(std::uint32_t n)
    {
        const TOutputChunk chunk = TakeOutputChunk();
        ASSERT_GE(chunk.count, n);
        ReleaseOutputChunk(n, false);
    }
    bool holdOutput = false;

    int Queue(std::string_view bytes)
    {
        return WriteBlock(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                          static_cast<std::uint32_t>(bytes.size()));
    }

    std::atomic<int> passes{0};
    std::atomic<bool> failPass{false};
    // Set when a synchronised call is handed to the main thread.
    platform::Event handedOver{platform::Event::Kind::ManualReset};

protected:
    void SynchronizeCall(const std::function<void()>& call) override
    {
        handedOver.Set();
        TSerWin32Dispatcher::SynchronizeCall(call);
    }
    void EventPassDone() override
    {
        passes.fetch_add(1);
        if (failPass.exchange(false)) {
            throw std::runtime_error("pass failed");
        }
        TSerWin32Dispatcher::EventPassDone();
    }
};

// Reads what comes until the byte last has come; at most 5 s.
std::string ReadThrough(int fd, char last)
{
    std::string got;
    while (got.find(last) == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) {
            break;
        }
        char buffer[65536];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

bool Readable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

std::string Pattern(std::size_t n, std::size_t seed = 0)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>('0' + (i + seed) % 73);
    }
    return s;
}

// Serves this thread's windows until pred holds; false after 10 s.
template <typename Pred> bool PumpUntil(Pred pred)
{
    platform::Event never(platform::Event::Kind::ManualReset);
    const std::uint32_t start = platform::MillisecondClock();
    while (!pred()) {
        if (platform::MillisecondClock() - start > 10000) {
            return false;
        }
        if (platform::WaitAnyOrMessage({&never}, 5) == 1) {
            platform::ProcessOnePendingMessage();
        }
    }
    return true;
}

class SerWin32Test : public testing::Test {
protected:
    void SetUp() override
    {
        // A sanitizer's runtime starts a helper thread with the first thread
        // created; let that happen before counting.
        pid_t helper = 0;
        std::thread([&helper] { helper = ::gettid(); }).join();
        const auto listed = "/proc/self/task/" + std::to_string(helper);
        for (int i = 0; i < 1000 && std::filesystem::exists(listed); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        baseThreads = ThreadCount();
        dir.Link(5, pty.SlavePath());
    }

    // Registers a window of this thread that receives avail notifications.
    void Listen(const platform::WindowProc& proc, std::uint32_t level = 1)
    {
        window = platform::CreateMessageWindow(proc);
        disp->AddWindowHandler(window);
        disp->UpdateHandlerFlags(TSerBaseDispatcher::THandlerFlags::ComponentOn);
        disp->SetAvailLevel(level);
    }

    void TearDown() override
    {
        disp.reset();
        if (window != 0) {
            platform::DestroyMessageWindow(window);
        }
        EXPECT_EQ(SettledThreadCount(baseThreads), baseThreads);
    }

    // Reads the n bytes a notice announced and appends them to got.
    void TakeNotice(std::uintptr_t n, std::string& got)
    {
        std::vector<std::uint8_t> buffer(n);
        if (disp->ReadBlock(buffer.data(), static_cast<std::uint32_t>(n)) == static_cast<int>(n)) {
            got.append(buffer.begin(), buffer.end());
        }
    }

    testutil::PtyPair pty;
    testutil::ComDir dir;
    std::unique_ptr<TTestDispatcher> disp = std::make_unique<TTestDispatcher>();
    platform::WindowHandle window = 0;
    int baseThreads = 0;
};

TEST_F(SerWin32Test, MissingPortFailsWithoutThreads)
{
    dir.Link(9, "/nonexistent/ttyX");
    const int fds = testutil::OpenDescriptors();
    EXPECT_EQ(disp->OpenDispatcher("\\\\.\\COM9", 9600, 0, 8, 1, 4096, 4096, 3), -2);
    EXPECT_FALSE(disp->IsStarted());
    EXPECT_EQ(SettledThreadCount(baseThreads), baseThreads);
    EXPECT_EQ(testutil::OpenDescriptors(), fds);
}

// Every announced byte is read once, in order, in two pieces per notice,
// over far more than the dispatch buffer holds.
TEST_F(SerWin32Test, ReceivedBytesAnnouncedAndReadOnceInOrder)
{
    std::string got;
    std::vector<std::uint32_t> counts;
    bool overReadRefused = true;
    ASSERT_EQ(disp->Open(), 0);
    Listen([&](std::uint32_t msg, std::uintptr_t wParam, std::intptr_t) -> std::intptr_t {
        if (msg != TriggerAvailMsg) {
            return 0;
        }
        const auto n = static_cast<std::uint32_t>(wParam);
        counts.push_back(n);
        std::vector<std::uint8_t> buffer(n + 1);
        // Exactly n bytes are there: one more is refused.
        overReadRefused = overReadRefused && disp->ReadBlock(buffer.data(), n + 1) < 0;
        const std::uint32_t first = n / 2;
        if (first > 0 && disp->ReadBlock(buffer.data(), first) == static_cast<int>(first)) {
            got.append(reinterpret_cast<char*>(buffer.data()), first);
        }
        if (disp->ReadBlock(buffer.data(), n - first) == static_cast<int>(n - first)) {
            got.append(reinterpret_cast<char*>(buffer.data()), n - first);
        }
        return 0;
    });

    const std::string data = Pattern(30000);
    std::size_t sent = 0;
    for (std::size_t piece = 1; sent < data.size(); piece = piece % 997 + 131) {
        const std::size_t n = std::min(piece, data.size() - sent);
        pty.Write(std::string_view(data).substr(sent, n));
        sent += n;
        ASSERT_TRUE(PumpUntil([&] { return got.size() >= sent; })) << got.size() << " of " << sent;
    }
    EXPECT_EQ(got, data);
    EXPECT_TRUE(overReadRefused);
    EXPECT_EQ(disp->InputCount(), 0u);
    for (const auto n : counts) {
        EXPECT_GT(n, 0u);
    }
    disp->CloseDispatcher();
}

TEST_F(SerWin32Test, BytesArrivingDuringNoticeAnnouncedByNextPass)
{
    const std::string early = "first block", late = "came during the notice";
    std::vector<std::uint32_t> counts;
    std::string got;
    ASSERT_EQ(disp->Open(), 0);
    Listen([&](std::uint32_t msg, std::uintptr_t wParam, std::intptr_t) -> std::intptr_t {
        if (msg != TriggerAvailMsg) {
            return 0;
        }
        counts.push_back(static_cast<std::uint32_t>(wParam));
        if (counts.size() == 1) {
            pty.Write(late);
        }
        TakeNotice(wParam, got);
        return 0;
    });
    pty.Write(early);
    ASSERT_TRUE(PumpUntil([&] { return got.size() == early.size() + late.size(); }));
    EXPECT_EQ(got, early + late);
    ASSERT_EQ(counts.size(), 2u);
    EXPECT_EQ(counts[0], early.size());
    EXPECT_EQ(counts[1], late.size());
    disp->CloseDispatcher();
}

// A burst far larger than the ring arrives while the handler runs: the
// device keeps receiving meanwhile, and the following passes announce it in
// ring-sized pieces, each count the unread total, every byte read once.
TEST_F(SerWin32Test, BurstDuringNoticeAnnouncedWithTheUnreadCountsAndReadOnce)
{
    // A pseudo-terminal takes about 18 KiB that nobody reads.
    const std::string first = "start", burst = Pattern(16000, 5);
    std::vector<std::uint32_t> counts;
    std::string got;
    bool countsMatch = true;
    ASSERT_EQ(disp->Open(), 0);
    Listen([&](std::uint32_t msg, std::uintptr_t wParam, std::intptr_t) -> std::intptr_t {
        if (msg != TriggerAvailMsg) {
            return 0;
        }
        const auto n = static_cast<std::uint32_t>(wParam);
        counts.push_back(n);
        countsMatch = countsMatch && disp->InputCount() == n;
        if (counts.size() == 1) {
            pty.Write(burst);
        }
        TakeNotice(n, got);
        return 0;
    });
    pty.Write(first);
    ASSERT_TRUE(PumpUntil([&] { return got.size() >= first.size() + burst.size(); })) << got.size();
    EXPECT_EQ(got, first + burst);
    EXPECT_TRUE(countsMatch);
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(counts[0], first.size());
    for (const auto n : counts) {
        EXPECT_GT(n, 0u);
        EXPECT_LE(n, DispatchBufferSize);
    }
    EXPECT_EQ(disp->InputCount(), 0u);
    disp->CloseDispatcher();
}

// While the window handles a notice the receive thread goes on taking the
// driver's bytes, so one slow handler does not hold up the sender.
TEST_F(SerWin32Test, DriverKeepsDrainingWhileANoticeIsHandled)
{
    // More than the pseudo-terminal (about 18 KiB) and a ring hold together.
    const std::string first = "start", burst = Pattern(40000, 7);
    bool burstTaken = false;
    std::string got;
    ASSERT_EQ(disp->Open(), 0);
    Listen([&](std::uint32_t msg, std::uintptr_t wParam, std::intptr_t) -> std::intptr_t {
        if (msg != TriggerAvailMsg) {
            return 0;
        }
        if (got.empty()) {
            // Within the handler: only the receive thread can make room.
            std::string_view left = burst;
            while (!left.empty()) {
                const ssize_t n = ::write(pty.Master(), left.data(), left.size());
                if (n > 0) {
                    left.remove_prefix(static_cast<std::size_t>(n));
                    continue;
                }
                pollfd p{pty.Master(), POLLOUT, 0};
                if (::poll(&p, 1, 5000) <= 0) {
                    break;
                }
            }
            burstTaken = left.empty();
        }
        TakeNotice(wParam, got);
        return 0;
    });
    pty.Write(first);
    EXPECT_TRUE(PumpUntil([&] { return got.size() >= first.size() + burst.size(); })) << got.size();
    EXPECT_TRUE(burstTaken);
    EXPECT_EQ(got, first + burst);
    disp->CloseDispatcher();
}

TEST_F(SerWin32Test, TransmittedBlocksArriveInOrderAlsoWrapped)
{
    constexpr std::uint32_t ring = 1000;
    ASSERT_EQ(disp->Open(ring), 0);
    // With the ring's tail 300 before its end, a block that wraps around
    // the end goes out whole and in order, behind what waited before it.
    disp->holdOutput = true;
    const std::string first = Pattern(800, 1);
    ASSERT_EQ(disp->Queue(first), 0);
    disp->DropSent(ring - 300);
    disp->holdOutput = false;
    const std::string wrapped = Pattern(700, 3);
    ASSERT_EQ(disp->Queue(wrapped), 0);
    EXPECT_EQ(pty.Read(100 + wrapped.size()), first.substr(ring - 300) + wrapped);
    disp->CloseDispatcher();
}

// Many blocks through a small ring, the master reading as they come.
TEST_F(SerWin32Test, TransmittedStreamKeepsOrder)
{
    ASSERT_EQ(disp->Open(1000), 0);
    const std::string data = Pattern(20000, 11);
    std::string got;
    std::size_t queued = 0;
    while (got.size() < data.size()) {
        const std::uint32_t room = disp->OutputFree();
        const auto n = static_cast<std::uint32_t>(
            std::min<std::size_t>(std::min<std::uint32_t>(room, 333), data.size() - queued));
        if (n > 0) {
            ASSERT_EQ(
                disp->WriteBlock(reinterpret_cast<const std::uint8_t*>(data.data()) + queued, n),
                0);
            queued += n;
        }
        pollfd p{pty.Master(), POLLIN, 0};
        if (::poll(&p, 1, 1000) > 0) {
            char buffer[4096];
            const ssize_t r = ::read(pty.Master(), buffer, sizeof buffer);
            if (r > 0) {
                got.append(buffer, static_cast<std::size_t>(r));
            }
        } else if (queued == data.size()) {
            break;
        }
    }
    EXPECT_EQ(got, data);
    disp->CloseDispatcher();
}

// The far end does not read, a second block waits behind the stalled write,
// and the flush races the transmitter going back to the ring: after the
// flush nothing queued before it may reach the line, only the marker.
TEST_F(SerWin32Test, NothingQueuedBeforeAFlushIsWrittenAfterIt)
{
    ASSERT_EQ(disp->Open(65536), 0);
    const std::string stalled = Pattern(60000), behind = Pattern(5000, 17);
    const std::uint32_t start = platform::MillisecondClock();
    for (int round = 0; round < 5000 && platform::MillisecondClock() - start < 15000; ++round) {
        ASSERT_EQ(disp->Queue(stalled), 0);
        ASSERT_TRUE(Readable(pty.Master(), 5000));
        ASSERT_EQ(disp->Queue(behind), 0);
        ASSERT_EQ(disp->FlushOutput(), 0);
        ASSERT_EQ(disp->OutputUsed(), 0u);
        ASSERT_EQ(disp->Queue("!"), 0);
        // A pseudo-terminal keeps what its far end had taken in before the
        // purge: the start of the block. Nothing after it, nothing twice.
        std::string got = ReadThrough(pty.Master(), '!');
        ASSERT_TRUE(got.ends_with('!')) << "round " << round;
        got.pop_back();
        ASSERT_LT(got.size(), stalled.size()) << "round " << round;
        ASSERT_TRUE(got == stalled.substr(0, got.size()))
            << "round " << round << ": " << got.size() << " bytes before the marker";
    }
    disp->CloseDispatcher();
}

// Two threads flush while a write is stalled: both flushes return.
TEST_F(SerWin32Test, TwoFlushesAtOnceBothReturn)
{
    ASSERT_EQ(disp->Open(65536), 0);
    const std::string stalled(60000, 'A');
    for (int round = 0; round < 50; ++round) {
        ASSERT_EQ(disp->Queue(stalled), 0);
        ASSERT_TRUE(Readable(pty.Master(), 5000));
        platform::Event go(platform::Event::Kind::ManualReset);
        platform::Event bothReturned(platform::Event::Kind::ManualReset);
        std::atomic<int> returned{0};
        auto flush = [&] {
            go.Wait();
            EXPECT_EQ(disp->FlushOutput(), 0);
            if (returned.fetch_add(1) == 1) {
                bothReturned.Set();
            }
        };
        std::thread first(flush), second(flush);
        go.Set();
        const bool both = bothReturned.Wait(5000);
        if (!both) {
            disp->CloseDispatcher(); // lets the one left waiting go
        }
        first.join();
        second.join();
        ASSERT_TRUE(both) << "round " << round;
        EXPECT_EQ(disp->OutputUsed(), 0u);
        pty.Drain();
    }
    disp->CloseDispatcher();
}

TEST_F(SerWin32Test, PassesRunWithoutEvents)
{
    ASSERT_EQ(disp->Open(), 0);
    const int first = disp->passes.load();
    const std::uint32_t start = platform::MillisecondClock();
    ASSERT_TRUE(PumpUntil([&] { return disp->passes.load() - first >= 6; }));
    platform::Sleep(300);
    const int passes = disp->passes.load() - first;
    const std::uint32_t elapsed = platform::MillisecondClock() - start;
    // One pass per interval, not a loop that spins: a generous upper bound.
    EXPECT_LE(passes, static_cast<int>(elapsed / 50) + 4) << elapsed << " ms";
    disp->CloseDispatcher();
}

TEST_F(SerWin32Test, AnIdleUartIsLookedAtByThePassesAloneAndItsLineChangesAreSeen)
{
    testutil::FakeUart uart;
    ASSERT_EQ(disp->Open(), 0);
    ASSERT_TRUE(PumpUntil([&] { return disp->passes.load() >= 2; }));
    const int looks = uart.LineLooks();
    const int first = disp->passes.load();
    platform::Sleep(300);
    // The receive thread sleeps until data comes instead of polling the
    // lines: only the passes look at them.
    // Each pass looks at the lines and reads the error counters once.
    EXPECT_LE(uart.LineLooks() - looks, 4 * (disp->passes.load() - first) + 4);

    // A change on the idle line shows after the next passes, as a delta.
    uart.SetCts(true);
    const int changed = disp->passes.load();
    ASSERT_TRUE(PumpUntil([&] { return disp->passes.load() >= changed + 2; }));
    EXPECT_EQ(disp->GetModemStatus(0xF0) & (ModemDeltaCts | platform::MsCtsOn),
              ModemDeltaCts | platform::MsCtsOn);
    disp->CloseDispatcher();
}

TEST_F(SerWin32Test, CloseFromInsideHandlerCompletes)
{
    bool closedInside = false;
    ASSERT_EQ(disp->Open(), 0);
    Listen([&](std::uint32_t msg, std::uintptr_t, std::intptr_t) -> std::intptr_t {
        if (msg == TriggerAvailMsg && !closedInside) {
            closedInside = true;
            disp->CloseDispatcher();
        }
        return 0;
    });
    pty.Write("close now");
    ASSERT_TRUE(PumpUntil([&] { return closedInside && !disp->IsStarted(); }));
    EXPECT_EQ(disp->PortHandle(), -1);
    EXPECT_EQ(disp->ActiveThreads(), 0);
    // Destroying it joins the threads (checked in TearDown).
}

TEST_F(SerWin32Test, VanishedDeviceEndsReceiveThreadAndStaysClosable)
{
    ASSERT_EQ(disp->Open(), 0);
    pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return disp->ActiveThreads() == 2; }));
    const int first = disp->passes.load();
    platform::Sleep(200);
    // The dispatch thread keeps to its interval instead of spinning on the dead device.
    EXPECT_LE(disp->passes.load() - first, 200 / 50 + 4);
    disp->CloseDispatcher();
    EXPECT_FALSE(disp->IsStarted());
}

TEST_F(SerWin32Test, OpenCloseManyTimesLeavesNothing)
{
    // One round first: the platform creates its process-wide descriptors once.
    ASSERT_EQ(disp->Open(), 0);
    disp->CloseDispatcher();
    disp.reset();
    const int fds = testutil::OpenDescriptors();
    for (int i = 0; i < 1000; ++i) {
        auto d = std::make_unique<TTestDispatcher>();
        ASSERT_EQ(d->Open(), 0) << i;
        d->CloseDispatcher();
    }
    EXPECT_EQ(SettledThreadCount(baseThreads), baseThreads);
    EXPECT_EQ(testutil::OpenDescriptors(), fds);
}

} // namespace

namespace {

struct SyncProbe {
    QCoreApplication* app = nullptr;
    std::atomic<int> calls{0};
    std::atomic<bool> onMainThread{true};
    static void Handler(void* object, std::uint32_t msg, std::uintptr_t, std::intptr_t)
    {
        auto* probe = static_cast<SyncProbe*>(object);
        if (msg == TriggerAvailMsg) {
            probe->onMainThread =
                probe->onMainThread && QThread::currentThread() == probe->app->thread();
            probe->calls.fetch_add(1);
        }
    }
};

// A synchronised method handler runs on the Qt main thread; a close while
// its call is still queued withdraws it instead of waiting for it.
TEST_F(SerWin32Test, SynchronisedHandlerRunsOnMainThreadAndCloseWithdrawsIt)
{
    int argc = 1;
    char name[] = "serwin32";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    SyncProbe probe;
    probe.app = &app;
    ASSERT_EQ(disp->Open(), 0);
    disp->AddMethodHandler(&SyncProbe::Handler, &probe, true);
    disp->SetAvailLevel(1);
    pty.Write("abc");
    ASSERT_TRUE(PumpUntil([&] {
        QCoreApplication::processEvents();
        return probe.calls.load() > 0;
    }));
    EXPECT_TRUE(probe.onMainThread.load());

    // Not serving Qt events now: the next call stays queued until the close.
    const int before = probe.calls.load();
    disp->handedOver.Reset();
    pty.Write("def");
    ASSERT_TRUE(disp->handedOver.Wait(5000)) << "the notification of the new bytes began";
    // The close comes during the notification: the dispatch thread finishes it.
    disp->CloseDispatcher();
    ASSERT_TRUE(PumpUntil([&] { return !disp->IsStarted(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(probe.calls.load(), before);
    disp.reset();
}

// A failure that ends a dispatcher thread reaches the application's error
// display, on the main thread; the port still closes.
TEST_F(SerWin32Test, AFailureThatEndsAThreadIsShownAndThePortStillCloses)
{
    int argc = 1;
    char name[] = "serwin32";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    std::vector<std::string> shown;
    bool onMainThread = true;
    SetApplicationExceptionHandler([&](std::exception_ptr error) {
        onMainThread = onMainThread && IsApplicationMainThread();
        shown.push_back(ExceptionMessage(error));
    });
    ASSERT_EQ(disp->Open(), 0);
    disp->failPass = true;
    const bool reported = PumpUntil([&] {
        QCoreApplication::processEvents();
        return !shown.empty() && disp->ActiveThreads() == 2;
    });
    SetApplicationExceptionHandler(nullptr);
    ASSERT_TRUE(reported);
    EXPECT_EQ(shown, std::vector<std::string>{"pass failed"});
    EXPECT_TRUE(onMainThread);
    disp->CloseDispatcher();
    EXPECT_FALSE(disp->IsStarted());
}

} // namespace
