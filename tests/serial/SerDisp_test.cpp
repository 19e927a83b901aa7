// Unit under test: SerDisp (TSerBaseDispatcher: table, rings, notifications, triggers, life cycle).
#include "FakeDispatcher.h"
#include "platform/Sync.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <future>
#include <memory>
#include <random>
#include <thread>
#include <tuple>

namespace {

std::vector<std::uint8_t> Sequence(std::size_t n, std::uint8_t first = 0)
{
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<std::uint8_t>(first + i);
    }
    return v;
}

// A method handler that records its calls and runs an optional body.
struct Probe {
    using Call = std::tuple<std::uint32_t, std::uintptr_t, std::intptr_t>;
    std::vector<Call> calls;
    std::function<void()> body;

    static void Handle(void* self, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam)
    {
        auto* probe = static_cast<Probe*>(self);
        probe->calls.emplace_back(msg, wParam, lParam);
        if (probe->body) {
            probe->body();
        }
    }
};

std::vector<std::uint8_t> Take(TSerBaseDispatcher& d, std::uint32_t n)
{
    std::vector<std::uint8_t> out(n);
    EXPECT_EQ(d.ReadBlock(out.data(), n), static_cast<int>(n));
    return out;
}

// One pass on a dispatch thread while this thread serves its windows; what
// is still queued for them afterwards is delivered too.
void PassServingWindows(TFakeDispatcher& d)
{
    platform::Event passDone(platform::Event::Kind::ManualReset);
    std::thread dispatch([&] {
        d.ProcessCommEvents();
        passDone.Set();
    });
    while (platform::WaitAnyOrMessage({&passDone}) != 0) {
        platform::ProcessOnePendingMessage();
    }
    dispatch.join();
    while (platform::ProcessOnePendingMessage()) {
    }
}

} // namespace

TEST(SerDispTable, SlotsAreReusedAndFreedOnes)
{
    ASSERT_EQ(TSerBaseDispatcher::FromHandle(0), nullptr);
    auto a = std::make_unique<TFakeDispatcher>();
    auto b = std::make_unique<TFakeDispatcher>();
    auto c = std::make_unique<TFakeDispatcher>();
    EXPECT_EQ(a->DispatcherHandle(), 0);
    EXPECT_EQ(b->DispatcherHandle(), 1);
    EXPECT_EQ(c->DispatcherHandle(), 2);

    b.reset();
    EXPECT_EQ(TSerBaseDispatcher::FromHandle(1), nullptr);
    auto d = std::make_unique<TFakeDispatcher>();
    EXPECT_EQ(d->DispatcherHandle(), 1);
    EXPECT_EQ(TSerBaseDispatcher::FromHandle(1), d.get());

    c.reset();
    EXPECT_EQ(TSerBaseDispatcher::FromHandle(2), nullptr);
    a.reset();
    EXPECT_EQ(TSerBaseDispatcher::FromHandle(0), nullptr);
    EXPECT_EQ(TSerBaseDispatcher::FromHandle(1), d.get());
    d.reset();
    EXPECT_EQ(TSerBaseDispatcher::FromHandle(1), nullptr);
    EXPECT_EQ(TSerBaseDispatcher::FromHandle(5), nullptr);
    // With every slot free, the next dispatcher takes the first again.
    auto e = std::make_unique<TFakeDispatcher>();
    EXPECT_EQ(e->DispatcherHandle(), 0);
}

TEST(SerDispInput, EmptyWrappedAndFullBuffer)
{
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    std::uint8_t byte = 0;
    EXPECT_EQ(d.InputCount(), 0u);
    EXPECT_EQ(d.ReadBlock(&byte, 1), DispBufferIsEmpty);
    EXPECT_EQ(d.ReadBlock(nullptr, 0), 0);

    // Move the positions near the end, then receive across it.
    d.Deliver(Sequence(8000));
    d.FillInputBuffer();
    Take(d, 8000);
    const auto data = Sequence(300, 7);
    d.Deliver(data);
    const int readsBefore = d.readPortCalls;
    d.FillInputBuffer();
    EXPECT_EQ(d.readPortCalls - readsBefore, 2); // 192 to the end, 108 from 0
    EXPECT_EQ(d.InputCount(), 300u);
    EXPECT_EQ(d.ReadBlock(nullptr, 0), 0);
    EXPECT_EQ(d.ReadBlock(&byte, 301), DispBufferIsEmpty);
    EXPECT_EQ(Take(d, 300), data);

    // Full: 8192 held, the rest stays in the driver until a read makes room.
    d.Deliver(Sequence(DispatchBufferSize + 10));
    d.FillInputBuffer();
    EXPECT_EQ(d.InputCount(), DispatchBufferSize);
    const int readsWhenFull = d.readPortCalls;
    d.FillInputBuffer();
    EXPECT_EQ(d.readPortCalls, readsWhenFull);
    EXPECT_EQ(d.DriverHolds(), 10u);
    EXPECT_EQ(Take(d, 1)[0], 0);
    d.FillInputBuffer();
    EXPECT_EQ(d.InputCount(), DispatchBufferSize);
    EXPECT_EQ(d.DriverHolds(), 9u);
    const auto all = Take(d, DispatchBufferSize);
    EXPECT_EQ(all.front(), 1);
    EXPECT_EQ(all.back(), static_cast<std::uint8_t>(DispatchBufferSize));
}

TEST(SerDispOutput, BlocksAreQueuedWholeOrNotAtAll)
{
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(16), 0);
    const int checks = d.readErrorsCalls;
    EXPECT_EQ(d.WriteBlock(nullptr, 0), 0);
    EXPECT_EQ(d.readErrorsCalls, checks); // nothing asked of the driver

    const auto first = Sequence(10, 0x10);
    const auto second = Sequence(6, 0x40);
    EXPECT_EQ(d.WriteBlock(first.data(), 10), 0);
    d.Transmit(4); // the ring's data now wraps on the next write
    EXPECT_EQ(d.WriteBlock(second.data(), 6), 0);
    const auto third = Sequence(4, 0x80);
    EXPECT_EQ(d.WriteBlock(third.data(), 4), 0); // exactly the free space: full
    EXPECT_EQ(d.OutputUsed(), 16u);
    EXPECT_EQ(d.OutputFree(), 0u);
    EXPECT_EQ(d.WriteBlock(third.data(), 1), DispOutputBufferTooSmall);
    EXPECT_EQ(d.OutputUsed(), 16u);

    d.Transmit(100);
    std::vector<std::uint8_t> expected(first);
    expected.insert(expected.end(), second.begin(), second.end());
    expected.insert(expected.end(), third.begin(), third.end());
    EXPECT_EQ(d.wire, expected);
    EXPECT_EQ(d.OutputUsed(), 0u);

    const auto big = Sequence(17);
    EXPECT_EQ(d.WriteBlock(big.data(), 17), DispOutputBufferTooSmall);
    d.failQueue = true;
    EXPECT_EQ(d.WriteBlock(big.data(), 16), DispPutBlockFail);
    EXPECT_EQ(d.OutputUsed(), 0u); // a failed block never marks the ring full
}

TEST(SerDispNotify, AvailOncePerPassWithTheWholeUnreadCount)
{
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    Probe probe;
    d.AddMethodHandler(&Probe::Handle, &probe, false);
    d.SetAvailLevel(1);
    const std::intptr_t high = static_cast<std::intptr_t>(d.DispatcherHandle()) << 16;

    d.Deliver(Sequence(3));
    d.ProcessCommEvents();
    ASSERT_EQ(probe.calls.size(), 1u);
    EXPECT_EQ(probe.calls[0], Probe::Call(TriggerAvailMsg, 3, high));
    d.ProcessCommEvents(); // no new byte: nothing, though 3 are unread
    EXPECT_EQ(probe.calls.size(), 1u);
    d.Deliver(Sequence(2));
    d.ProcessCommEvents();
    ASSERT_EQ(probe.calls.size(), 2u);
    EXPECT_EQ(std::get<1>(probe.calls[1]), 5u);

    // A handler that takes exactly what is offered moves the tail; the check
    // runs again at once and finds nothing new.
    probe.body = [&] { Take(d, 7); };
    d.Deliver(Sequence(2));
    d.ProcessCommEvents();
    EXPECT_EQ(probe.calls.size(), 3u);
    EXPECT_EQ(d.InputCount(), 0u);
    EXPECT_EQ(d.passesDone, 4);

    // A handler that takes nothing ends the check for the pass.
    probe.body = nullptr;
    d.Deliver(Sequence(1));
    d.FillInputBuffer();
    EXPECT_FALSE(d.CheckDataAndAvail());
    EXPECT_EQ(probe.calls.size(), 4u);

    d.SetAvailLevel(0);
    d.Deliver(Sequence(4));
    d.ProcessCommEvents();
    EXPECT_EQ(probe.calls.size(), 4u);
}

TEST(SerDispNotify, AWholeRingOfNewBytesIsNoticedThoughTheHeadIsBackWhereItWas)
{
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    Probe probe;
    d.AddMethodHandler(&Probe::Handle, &probe, false);
    d.SetAvailLevel(1);

    // Straight after the open: 8192 bytes fill the ring and the head wraps to 0.
    d.Deliver(Sequence(DispatchBufferSize));
    d.FillInputBuffer();
    EXPECT_FALSE(d.CheckDataAndAvail()); // noticed; the handler took nothing
    ASSERT_EQ(probe.calls.size(), 1u);
    EXPECT_EQ(std::get<1>(probe.calls[0]), DispatchBufferSize);

    // Taken by a block read, then exactly a ring's worth more after a notice.
    Take(d, DispatchBufferSize);
    d.Deliver(Sequence(10));
    d.ProcessCommEvents();
    ASSERT_EQ(probe.calls.size(), 2u);
    Take(d, 10);
    d.Deliver(Sequence(DispatchBufferSize, 7));
    d.FillInputBuffer();
    d.CheckDataAndAvail();
    ASSERT_EQ(probe.calls.size(), 3u);
    EXPECT_EQ(std::get<1>(probe.calls[2]), DispatchBufferSize);
    EXPECT_EQ(Take(d, 3), Sequence(3, 7));
}

// One fill of a whole ring brings the head back to where the scan stopped:
// the bytes are still scanned for data triggers, and what the driver kept
// back is read as soon as the ring has room.
TEST(SerDispNotify, AFillOfTheWholeRingIsScannedAndTheRestReadWhenThereIsRoom)
{
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    Probe probe;
    d.AddMethodHandler(&Probe::Handle, &probe, false);
    d.SetAvailLevel(1);

    {
        TDataTrigger data;
        data.handle = 9;
        data.matchLength = 2;
        std::memcpy(data.match, "OK", 2);
        d.AddDataTrigger(data);
    }
    std::vector<std::uint8_t> block(DispatchBufferSize, 'x');
    block[DispatchBufferSize - 2] = 'O';
    block[DispatchBufferSize - 1] = 'K';
    const auto rest = Sequence(100);
    d.Deliver(block);
    d.Deliver(rest);
    std::vector<std::uint8_t> got;
    probe.body = [&] {
        const auto [msg, wParam, lParam] = probe.calls.back();
        const auto part = Take(d, msg == TriggerDataMsg ? 2 : static_cast<std::uint32_t>(wParam));
        got.insert(got.end(), part.begin(), part.end());
    };
    const std::intptr_t high = static_cast<std::intptr_t>(d.DispatcherHandle()) << 16;

    d.ProcessCommEvents();
    ASSERT_EQ(probe.calls.size(), 2u);
    EXPECT_EQ(probe.calls[0], Probe::Call(TriggerAvailMsg, DispatchBufferSize - 2, high));
    EXPECT_EQ(probe.calls[1], Probe::Call(TriggerDataMsg, 9, high + 2));
    EXPECT_EQ(d.DriverHolds(), rest.size());
    EXPECT_TRUE(d.FillWouldRead());

    d.ProcessCommEvents();
    ASSERT_EQ(probe.calls.size(), 3u);
    EXPECT_EQ(probe.calls[2], Probe::Call(TriggerAvailMsg, rest.size(), high));
    EXPECT_FALSE(d.FillWouldRead());
    block.insert(block.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, block);
}

TEST(SerDispNotify, HandlersOfOneNotificationReadTheSameBytes)
{
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    d.SetAvailLevel(1);
    Probe first;
    Probe second;
    std::vector<std::uint8_t> gotFirst;
    std::vector<std::uint8_t> gotSecond;
    first.body = [&] {
        EXPECT_EQ(d.InputCount(), 5u);
        gotFirst = Take(d, 3);
        EXPECT_EQ(d.InputCount(), 2u);
    };
    second.body = [&] {
        EXPECT_EQ(d.InputCount(), 5u);
        gotSecond = Take(d, 3);
    };
    d.AddMethodHandler(&Probe::Handle, &first, false);
    d.AddMethodHandler(&Probe::Handle, &second, false);
    d.Deliver(Sequence(5, 0x30));
    d.ProcessCommEvents();
    EXPECT_EQ(gotFirst, Sequence(3, 0x30));
    EXPECT_EQ(gotSecond, Sequence(3, 0x30));
    EXPECT_EQ(d.InputCount(), 2u);
    EXPECT_EQ(Take(d, 2), Sequence(2, 0x33));
}

TEST(SerDispNotify, WithoutTriggerEventsNothingIsSentButTheNoticeAdvances)
{
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    d.SetAvailLevel(1);
    d.AddWindowHandler(11);
    d.UpdateHandlerFlags(TSerBaseDispatcher::THandlerFlags::ComponentOff);
    d.Deliver(Sequence(3));
    d.ProcessCommEvents();
    EXPECT_TRUE(d.sends.empty());

    d.UpdateHandlerFlags(TSerBaseDispatcher::THandlerFlags::ComponentOn);
    d.ProcessCommEvents(); // the 3 bytes were already noticed
    EXPECT_TRUE(d.sends.empty());
    d.Deliver(Sequence(1));
    d.ProcessCommEvents();
    ASSERT_EQ(d.sends.size(), 1u);
    EXPECT_EQ(d.sends[0].window, 11u);
    EXPECT_EQ(d.sends[0].wParam, 4u);
}

TEST(SerDispNotify, HandlersRemovedWhileDispatchingAreSkippedThenPurged)
{
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    d.SetAvailLevel(1);
    d.UpdateHandlerFlags(TSerBaseDispatcher::THandlerFlags::ComponentOn);
    Probe remover;
    Probe victim;
    remover.body = [&] {
        EXPECT_TRUE(d.IsDispatching());
        d.RemoveMethodHandler(&Probe::Handle, &victim);
        d.RemoveMethodHandler(&Probe::Handle, &remover);
        d.RemoveWindowHandler(21);
    };
    d.AddMethodHandler(&Probe::Handle, &remover, false);
    d.AddMethodHandler(&Probe::Handle, &victim, false);
    d.AddWindowHandler(21);
    d.AddWindowHandler(22);
    d.onSend = [&](platform::WindowHandle) { d.RemoveWindowHandler(22); };

    d.Deliver(Sequence(1));
    d.ProcessCommEvents();
    EXPECT_EQ(remover.calls.size(), 1u);
    EXPECT_TRUE(victim.calls.empty());
    ASSERT_EQ(d.sends.size(), 1u);
    EXPECT_EQ(d.sends[0].window, 22u);

    d.Deliver(Sequence(1));
    d.ProcessCommEvents();
    EXPECT_EQ(remover.calls.size(), 1u);
    EXPECT_EQ(d.sends.size(), 1u);
    d.AddWindowHandler(23);
    d.Deliver(Sequence(1));
    d.ProcessCommEvents();
    ASSERT_EQ(d.sends.size(), 2u);
    EXPECT_EQ(d.sends[1].window, 23u);
}

TEST(SerDispReadAhead, OtherThreadsTakeBytesAfterEverythingTheHandlersSaw)
{
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    d.SetAvailLevel(1);
    Probe handler;
    Probe later;
    std::vector<std::uint8_t> foreign(3);
    handler.body = [&] {
        EXPECT_EQ(Take(d, 2), Sequence(2));
        std::thread worker([&] {
            EXPECT_EQ(d.InputCount(), 8u);
            EXPECT_EQ(d.ReadBlock(foreign.data(), 3), 3);
        });
        worker.join();
        // The handlers may not reach into what the worker took.
        EXPECT_EQ(d.InputCount(), 0u);
        std::uint8_t b = 0;
        EXPECT_EQ(d.ReadBlock(&b, 1), DispBufferIsEmpty);
    };
    later.body = [&] {
        EXPECT_EQ(d.InputCount(), 2u);
        EXPECT_EQ(Take(d, 2), Sequence(2));
    };
    d.AddMethodHandler(&Probe::Handle, &handler, false);
    d.AddMethodHandler(&Probe::Handle, &later, false);
    d.Deliver(Sequence(10));
    d.ProcessCommEvents();
    EXPECT_EQ(foreign, Sequence(3, 2));
    EXPECT_EQ(d.InputCount(), 5u);
    EXPECT_EQ(Take(d, 5), Sequence(5, 5));
}

TEST(SerDispReadAhead, FlushDuringNotificationDiscardsForEveryReader)
{
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    d.SetAvailLevel(1);
    Probe handler;
    Probe later;
    handler.body = [&] {
        Take(d, 2);
        EXPECT_EQ(d.FlushInput(), 0);
        EXPECT_EQ(d.InputCount(), 0u);
        std::thread worker([&] { EXPECT_EQ(d.InputCount(), 0u); });
        worker.join();
    };
    later.body = [&] {
        std::uint8_t b = 0;
        EXPECT_EQ(d.ReadBlock(&b, 1), DispBufferIsEmpty);
    };
    d.AddMethodHandler(&Probe::Handle, &handler, false);
    d.AddMethodHandler(&Probe::Handle, &later, false);
    d.Deliver(Sequence(6));
    d.ProcessCommEvents();
    EXPECT_EQ(d.InputCount(), 0u);
    handler.body = nullptr;
    later.body = nullptr;
    d.Deliver(Sequence(3, 0x61));
    d.ProcessCommEvents();
    EXPECT_EQ(std::get<1>(handler.calls.back()), 3u);
    EXPECT_EQ(Take(d, 3), Sequence(3, 0x61));
}

// A handler on another thread (the synchronized call) and a free-running
// reader compete for every notification's bytes; each 4-byte record must be
// handed out exactly once, and each of them must see its records in order.
TEST(SerDispReadAhead, RacingReaderGetsEveryByteExactlyOnce)
{
    constexpr std::uint32_t Records = 30000;
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    d.SetAvailLevel(1);
    d.synchronizer = [](const std::function<void()>& call) {
        std::async(std::launch::async, call).get();
    };

    std::atomic<std::uint32_t> taken{0};
    auto decode = [&](const std::vector<std::uint8_t>& bytes, std::vector<std::uint32_t>& into) {
        for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
            into.push_back(std::uint32_t{bytes[i]} << 24 | std::uint32_t{bytes[i + 1]} << 16 |
                           std::uint32_t{bytes[i + 2]} << 8 | bytes[i + 3]);
        }
        taken += static_cast<std::uint32_t>(bytes.size() / 4);
    };
    std::vector<std::uint32_t> handlerGot;
    Probe handler;
    handler.body = [&] {
        const std::uint32_t take = d.InputCount() / 8 * 4;
        std::vector<std::uint8_t> buf(take);
        // The reader may have claimed the rest meanwhile; then nothing is taken.
        if (take > 0 && d.ReadBlock(buf.data(), take) == static_cast<int>(take)) {
            decode(buf, handlerGot);
        }
    };
    d.AddMethodHandler(&Probe::Handle, &handler, true);

    std::vector<std::uint8_t> stream;
    for (std::uint32_t r = 0; r < Records; ++r) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            stream.push_back(static_cast<std::uint8_t>(r >> shift));
        }
    }

    std::mutex m;
    std::condition_variable changed;
    std::uint64_t passes = 0;
    std::uint64_t reads = 0;
    bool finished = false; // nothing more will reach the dispatch buffer
    std::vector<std::uint32_t> readerGot;
    auto readerLoop = [&] {
        for (;;) {
            std::uint64_t seen = 0;
            {
                std::lock_guard lock(m);
                if (finished || taken >= Records) {
                    return;
                }
                seen = passes;
            }
            const std::uint32_t n = std::min<std::uint32_t>(d.InputCount() / 4 * 4, 64);
            std::vector<std::uint8_t> buf(n);
            if (n > 0 && d.ReadBlock(buf.data(), n) == static_cast<int>(n)) {
                decode(buf, readerGot);
                std::lock_guard lock(m);
                ++reads;
                changed.notify_all();
                continue;
            }
            std::unique_lock lock(m);
            changed.wait(lock, [&] { return passes != seen || finished || taken >= Records; });
        }
    };

    std::mt19937 rng(20240607);
    std::size_t delivered = 0;
    std::thread reader;
    while (taken < Records) {
        if (delivered < stream.size()) {
            const std::size_t n =
                delivered == 0 ? 400
                               : std::min<std::size_t>(rng() % 900 + 1, stream.size() - delivered);
            d.Deliver({stream.begin() + delivered, stream.begin() + delivered + n});
            delivered += n;
        }
        d.ProcessCommEvents();
        std::unique_lock lock(m);
        ++passes;
        changed.notify_all();
        if (!reader.joinable()) {
            reader = std::thread(readerLoop); // after the handler surely took some
        }
        const std::uint64_t r = reads;
        lock.unlock();
        const std::uint32_t held = d.InputCount();
        const bool drained = delivered == stream.size() && d.DriverHolds() == 0;
        if (drained && held == 0) {
            break; // every byte is out; a lost one would show below
        }
        if (held == DispatchBufferSize || drained) {
            lock.lock();
            changed.wait(lock, [&] { return reads != r || taken >= Records; });
        }
    }
    {
        std::lock_guard lock(m);
        finished = true;
        changed.notify_all();
    }
    reader.join();

    EXPECT_FALSE(handlerGot.empty());
    EXPECT_FALSE(readerGot.empty());
    EXPECT_TRUE(std::is_sorted(handlerGot.begin(), handlerGot.end()));
    EXPECT_TRUE(std::is_sorted(readerGot.begin(), readerGot.end()));
    std::vector<std::uint32_t> all(handlerGot);
    all.insert(all.end(), readerGot.begin(), readerGot.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), Records);
    for (std::uint32_t i = 0; i < Records; ++i) {
        ASSERT_EQ(all[i], i);
    }
    EXPECT_EQ(d.InputCount(), 0u);
}

TEST(SerDispTriggers, RecordsFireOnceAndSurviveSaveAndRestore)
{
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(64), 0);
    d.SetAvailLevel(1);
    Probe probe;
    d.AddMethodHandler(&Probe::Handle, &probe, false);
    const std::intptr_t high = static_cast<std::intptr_t>(d.DispatcherHandle()) << 16;
    {
        TStatusTrigger modem;
        modem.handle = 4;
        modem.kind = StatusKindModem;
        modem.value = platform::MsCtsOn << 8; // fires while CTS is not low
        modem.active = 1;
        TStatusTrigger sent = modem;
        sent.handle = 5;
        sent.kind = StatusKindOutSent;
        TStatusTrigger free = modem;
        free.handle = 6;
        free.kind = StatusKindOutFree;
        free.value = 60;
        d.AddStatusTrigger(modem);
        d.AddStatusTrigger(sent);
        d.AddStatusTrigger(free);
        TTimerTrigger timer;
        timer.handle = 9;
        timer.startTick = 100;
        timer.expireTick = 110;
        timer.active = 1;
        d.AddTimerTrigger(timer);
        TDataTrigger data;
        data.handle = 3;
        data.matchLength = 2;
        data.ignoreCase = 1;
        std::memcpy(data.match, "OK", 2);
        d.AddDataTrigger(data);
    }
    EXPECT_EQ(d.StatusTriggerKind(5), StatusKindOutSent);
    EXPECT_EQ(d.StatusTriggerKind(7), 0u);

    TTriggerSnapshot snapshot;
    d.SaveTriggers(snapshot);

    // The modem trigger fires at the next change, once; free space 64 >= 60.
    d.modemLines = platform::MsCtsOn;
    d.SetLastEventMask(platform::EvCts);
    d.ProcessCommEvents();
    ASSERT_EQ(probe.calls.size(), 2u);
    EXPECT_EQ(probe.calls[0], Probe::Call(TriggerStatusMsg, 4, high));
    EXPECT_EQ(probe.calls[1], Probe::Call(TriggerStatusMsg, 6, high + 64));
    d.ProcessCommEvents();
    EXPECT_EQ(probe.calls.size(), 2u);

    const std::uint8_t byte = 0;
    ASSERT_EQ(d.WriteBlock(&byte, 1), 0);
    d.SetLastEventMask(0);
    d.ProcessCommEvents();
    ASSERT_EQ(probe.calls.size(), 3u);
    EXPECT_EQ(probe.calls[2], Probe::Call(TriggerStatusMsg, 5, high));

    d.clock = 110 * 55;
    d.ProcessTimers();
    EXPECT_EQ(probe.calls.size(), 3u);
    d.clock = 111 * 55;
    d.ProcessTimers();
    d.ProcessTimers();
    ASSERT_EQ(probe.calls.size(), 4u);
    EXPECT_EQ(probe.calls[3], Probe::Call(TriggerTimerMsg, 9, high));

    // "ok" matched case-blind: avail for the bytes before the match, the data
    // trigger, then avail for everything.
    d.Deliver({'x', 'O', 'o', 'k', 'y'});
    d.ProcessCommEvents();
    ASSERT_EQ(probe.calls.size(), 7u);
    EXPECT_EQ(probe.calls[4], Probe::Call(TriggerAvailMsg, 2, high));
    EXPECT_EQ(probe.calls[5], Probe::Call(TriggerDataMsg, 3, high + 2));
    EXPECT_EQ(probe.calls[6], Probe::Call(TriggerAvailMsg, 5, high));

    d.ClearTriggers();
    EXPECT_EQ(d.StatusTriggerKind(5), 0u);
    d.Deliver({'1'});
    d.ProcessCommEvents();
    EXPECT_EQ(probe.calls.size(), 7u); // avail level 0 now

    d.RestoreTriggers(snapshot);
    TTriggerSnapshot again;
    d.SaveTriggers(again);
    ASSERT_EQ(again.status.size(), 3u);
    ASSERT_EQ(again.data.size(), 1u);
    EXPECT_EQ(again.availLevel, 1u);
    EXPECT_EQ(std::memcmp(again.status.data(), snapshot.status.data(), 3 * sizeof(TStatusTrigger)),
              0);
    EXPECT_EQ(std::memcmp(again.data.data(), snapshot.data.data(), sizeof(TDataTrigger)), 0);
    EXPECT_EQ(std::memcmp(again.timers.data(), snapshot.timers.data(), sizeof(TTimerTrigger)), 0);
    TSerBaseDispatcher::FreeTriggerSnapshot(again);
    EXPECT_TRUE(again.status.empty() && again.timers.empty() && again.data.empty());
}

TEST(SerDispLifecycle, FailedOpensReleaseWhatTheyTook)
{
    {
        TFakeDispatcher d;
        d.openResult = -1;
        d.osError = 2;
        EXPECT_EQ(d.Open(), -2);
        EXPECT_EQ(d.closeCalls, 0);
        EXPECT_EQ(d.startCalls, 0);
    }
    {
        TFakeDispatcher d;
        d.openResult = DispEventCreateFailed;
        EXPECT_EQ(d.Open(), DispEventCreateFailed);
    }
    {
        TFakeDispatcher d;
        d.setupResult = false;
        d.osError = 0; // a failure without an error number still fails
        EXPECT_EQ(d.Open(), -1);
        EXPECT_EQ(d.closeCalls, 1);
        std::uint8_t byte = 0;
        EXPECT_EQ(d.ReadBlock(&byte, 1), DispBufferIsEmpty);
    }
    {
        TFakeDispatcher d;
        d.device.baudRate = 4800;
        d.setLineResult = -87;
        EXPECT_EQ(d.Open(), -87);
        EXPECT_EQ(d.closeCalls, 1);
        EXPECT_EQ(d.startCalls, 0);
        EXPECT_EQ(d.WriteBlock(reinterpret_cast<const std::uint8_t*>("a"), 1),
                  DispOutputBufferTooSmall);
    }
    TFakeDispatcher d;
    EXPECT_EQ(d.Open(4096, 4096, 0x10 | 0x02), 0);
    EXPECT_EQ(d.escapes, (std::vector<int>{platform::EscSetRts})); // DTR is left to the driver
    EXPECT_EQ(d.SetDtr(1), 1);
    EXPECT_EQ(d.startCalls, 1);
    EXPECT_TRUE(d.IsStarted());
    d.CloseDispatcher();
    EXPECT_EQ(d.flushes[0], 1);
    EXPECT_EQ(d.flushes[1], 1);
    EXPECT_EQ(d.closeCalls, 1);
    EXPECT_EQ(d.stopCalls, 1);
    EXPECT_EQ(d.PortHandle(), -1);
}

TEST(SerDispLifecycle, CloseFromAHandlerIsFinishedAfterTheNotification)
{
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    d.SetAvailLevel(1);
    Probe closer;
    Probe never;
    closer.body = [&] { d.CloseDispatcher(); };
    d.AddMethodHandler(&Probe::Handle, &closer, false);
    d.AddMethodHandler(&Probe::Handle, &never, false);
    d.Deliver(Sequence(4));
    d.ProcessCommEvents();
    EXPECT_EQ(closer.calls.size(), 1u);
    EXPECT_TRUE(never.calls.empty());
    EXPECT_FALSE(d.IsDispatching());
    EXPECT_EQ(d.passesDone, 0); // the pass ended early
    EXPECT_EQ(d.closeCalls, 1);
    EXPECT_EQ(d.stopCalls, 0); // teardown waits for the dispatch thread
    d.ProcessTimers();
    d.Destroy();
    EXPECT_EQ(d.stopCalls, 1);
    EXPECT_EQ(d.closeCalls, 1);
}

// Both rings against plain reference queues, under random operations.
TEST(SerDispModel, RingsBehaveLikeQueues)
{
    for (std::uint32_t seed : {1u, 2u, 3u, 4u, 5u}) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        const std::uint32_t outSize = 200 + rng() % 3000;
        TFakeDispatcher d;
        ASSERT_EQ(d.Open(outSize), 0);
        std::deque<std::uint8_t> driver, buffered, queued;
        std::vector<std::uint8_t> wire;
        std::uint8_t next = 0;
        for (int step = 0; step < 6000; ++step) {
            const std::uint32_t n = rng() % 3200;
            switch (rng() % 8) {
            case 0: {
                std::vector<std::uint8_t> bytes(n % 2500);
                for (auto& b : bytes) {
                    b = next++;
                }
                d.Deliver(bytes);
                driver.insert(driver.end(), bytes.begin(), bytes.end());
                break;
            }
            case 1: {
                d.FillInputBuffer();
                std::size_t room = DispatchBufferSize - buffered.size();
                for (; room > 0 && !driver.empty(); --room) {
                    buffered.push_back(driver.front());
                    driver.pop_front();
                }
                break;
            }
            case 2: {
                std::vector<std::uint8_t> out(n);
                const int r = d.ReadBlock(out.data(), n);
                if (n <= buffered.size()) {
                    ASSERT_EQ(r, static_cast<int>(n));
                    ASSERT_TRUE(std::equal(out.begin(), out.end(), buffered.begin()));
                    buffered.erase(buffered.begin(), buffered.begin() + n);
                } else {
                    ASSERT_EQ(r, DispBufferIsEmpty);
                }
                break;
            }
            case 3:
                if (rng() % 8 == 0) {
                    d.FlushInput();
                    driver.clear();
                    buffered.clear();
                }
                break;
            case 4:
            case 5: {
                std::vector<std::uint8_t> block(n % (outSize + 50));
                for (auto& b : block) {
                    b = static_cast<std::uint8_t>(rng());
                }
                const int r = d.WriteBlock(block.data(), static_cast<std::uint32_t>(block.size()));
                if (block.size() <= outSize - queued.size()) {
                    ASSERT_EQ(r, 0);
                    queued.insert(queued.end(), block.begin(), block.end());
                } else {
                    ASSERT_EQ(r, DispOutputBufferTooSmall);
                }
                break;
            }
            case 6:
                d.Transmit(n);
                for (std::uint32_t i = 0; i < n && !queued.empty(); ++i) {
                    wire.push_back(queued.front());
                    queued.pop_front();
                }
                break;
            case 7:
                if (rng() % 8 == 0) {
                    d.FlushOutput();
                    queued.clear();
                }
                break;
            }
            ASSERT_EQ(d.InputCount(), buffered.size());
            ASSERT_EQ(d.DriverHolds(), driver.size());
            ASSERT_EQ(d.OutputUsed(), queued.size());
            ASSERT_EQ(d.OutputFree(), outSize - queued.size());
        }
        EXPECT_EQ(d.wire, wire);
    }
}

// Real message windows: the handlers run on this thread, which owns the
// windows, while the notification is sent from a dispatch thread.
TEST(SerDispWindows, WindowHandlersReadAheadOnTheirOwnThread)
{
    TFakeDispatcher d;
    d.realWindows = true;
    ASSERT_EQ(d.Open(), 0);
    d.SetAvailLevel(1);
    std::vector<std::vector<std::uint8_t>> got;
    std::vector<std::uintptr_t> counts;
    auto proc = [&](std::uint32_t msg, std::uintptr_t wParam,
                    std::intptr_t lParam) -> std::intptr_t {
        EXPECT_EQ(msg, TriggerAvailMsg);
        EXPECT_EQ(lParam >> 16, d.DispatcherHandle());
        counts.push_back(wParam);
        got.push_back(Take(d, 3));
        return 0;
    };
    platform::WindowHandle first = 0;
    std::vector<platform::WindowHandle> windowsServed;
    bool removeFirst = false;
    auto procOf = [&](platform::WindowHandle* self) {
        return [&, self](std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
            windowsServed.push_back(*self);
            if (removeFirst && *self == first) {
                d.RemoveWindowHandler(first);
            }
            return proc(msg, wParam, lParam);
        };
    };
    platform::WindowHandle second = 0;
    first = platform::CreateMessageWindow(procOf(&first));
    second = platform::CreateMessageWindow(procOf(&second));
    d.AddWindowHandler(first);
    d.AddWindowHandler(second);

    auto pass = [&] { PassServingWindows(d); };
    d.Deliver(Sequence(5, 0x41));
    pass();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(counts, (std::vector<std::uintptr_t>{5, 5}));
    EXPECT_EQ(got[0], Sequence(3, 0x41));
    EXPECT_EQ(got[1], Sequence(3, 0x41));
    EXPECT_EQ(d.InputCount(), 2u);

    // The first window leaves from inside its own handler: the second is
    // still served this time, and alone (the component's events on) next time.
    d.UpdateHandlerFlags(TSerBaseDispatcher::THandlerFlags::ComponentOn);
    removeFirst = true;
    d.Deliver(Sequence(1, 0x46));
    pass();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[2], Sequence(3, 0x44));
    EXPECT_EQ(got[3], Sequence(3, 0x44));
    d.Deliver(Sequence(3, 0x47));
    pass();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[4], Sequence(3, 0x47));
    EXPECT_EQ(windowsServed,
              (std::vector<platform::WindowHandle>{first, second, first, second, second}));
    d.RemoveWindowHandler(first);
    d.RemoveWindowHandler(second);
    platform::DestroyMessageWindow(first);
    platform::DestroyMessageWindow(second);
}

// Two windows of one thread; the first one's handler outlasts its send.
// It goes on reading where it was, and the second window, whose reads could
// not be told from that handler's, is served by the next notification.
TEST(SerDispWindows, AHandlerThatOutlastsItsSendReadsOnWhereItWas)
{
    TFakeDispatcher d;
    d.realWindows = true;
    d.sendTimeoutMs = 100;
    ASSERT_EQ(d.Open(), 0);
    d.SetAvailLevel(1);
    std::vector<std::vector<std::uint8_t>> firstGot, secondGot;
    bool slow = true;
    const platform::WindowHandle first =
        platform::CreateMessageWindow([&](std::uint32_t, std::uintptr_t, std::intptr_t) {
            firstGot.push_back(Take(d, 2));
            if (std::exchange(slow, false)) {
                // Past this send's time, within the next one's.
                platform::Sleep(150);
                firstGot.push_back(Take(d, 2));
            }
            return std::intptr_t{0};
        });
    const platform::WindowHandle second =
        platform::CreateMessageWindow([&](std::uint32_t, std::uintptr_t, std::intptr_t) {
            secondGot.push_back(Take(d, 2));
            return std::intptr_t{0};
        });
    d.AddWindowHandler(first);
    d.AddWindowHandler(second);
    auto pass = [&] { PassServingWindows(d); };
    d.Deliver(Sequence(6, 0x41));
    pass();
    EXPECT_EQ(firstGot,
              (std::vector<std::vector<std::uint8_t>>{Sequence(2, 0x41), Sequence(2, 0x43)}));
    EXPECT_TRUE(secondGot.empty());
    EXPECT_EQ(d.InputCount(), 2u);
    d.Deliver(Sequence(1, 0x47));
    pass();
    EXPECT_EQ(firstGot.back(), Sequence(2, 0x45));
    EXPECT_EQ(secondGot, std::vector<std::vector<std::uint8_t>>{Sequence(2, 0x45)});
    EXPECT_EQ(d.InputCount(), 1u);
    d.RemoveWindowHandler(first);
    d.RemoveWindowHandler(second);
    platform::DestroyMessageWindow(first);
    platform::DestroyMessageWindow(second);
}
