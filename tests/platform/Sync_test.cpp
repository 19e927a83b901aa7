// Unit under test: Sync (events, waits on several, Sleep, the millisecond clock).
#include "PtyPair.h"
#include "WaitUtil.h"
#include "platform/MessageWindow.h"
#include "platform/Sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <poll.h>
#include <thread>
#include <vector>

using platform::Event;

TEST(Event, AutoResetReleasesOneWaiterPerSetAndClearsItself)
{
    Event e(Event::Kind::AutoReset);
    EXPECT_FALSE(e.Wait(0));
    e.Set();
    e.Set(); // two sets before a wait count once
    EXPECT_TRUE(e.Wait(0));
    EXPECT_FALSE(e.Wait(0));

    // Whichever thread gets there first takes the one signal; the other times out.
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] { released += e.Wait(300) ? 1 : 0; });
    e.Set();
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(released.load(), 1);
    EXPECT_FALSE(e.Wait(0));
}

TEST(Event, ManualResetReleasesEveryWaiterUntilReset)
{
    Event e(Event::Kind::ManualReset, true);
    EXPECT_TRUE(e.Wait(0));
    EXPECT_TRUE(e.Wait(0));
    e.Reset();
    EXPECT_FALSE(e.Wait(0));

    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] { released += e.Wait() ? 1 : 0; });
    e.Set();
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(released.load(), 3);
    EXPECT_TRUE(e.Wait(0)); // still set: a wait does not take it
    e.Reset();
    EXPECT_FALSE(e.Wait(0));
}

TEST(Event, PollDescriptorIsReadableExactlyWhileSet)
{
    Event e(Event::Kind::AutoReset);
    {
        platform::detail::EventPoll watch(e);
        pollfd p{watch.Descriptor(), POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 0), 0);
        e.Set();
        EXPECT_EQ(poll(&p, 1, 0), 1);
        EXPECT_TRUE(watch.Take());
        EXPECT_FALSE(watch.Take());
        EXPECT_EQ(poll(&p, 1, 0), 0);
    }
    e.Set(); // before the poll begins: readable at once
    {
        platform::detail::EventPoll watch(e);
        pollfd p{watch.Descriptor(), POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 0), 1);
        EXPECT_TRUE(watch.Take());
    }
    EXPECT_FALSE(e.Wait(0));
    EXPECT_EQ(e.GetKind(), Event::Kind::AutoReset);
}

// Every blocked waiter is woken by a Set; all but the one that takes it
// must go back to sleep, neither returning nor missing a later Set. A Set
// that released two leaves the count ahead of the Sets; a waiter that slept
// through its wakes misses the stop. A second event, set over and over,
// wakes the waiters at every point of their waits.
TEST(Event, ManyBlockedWaitersOneSetReleasesExactlyOne)
{
    constexpr int Waiters = 8;
    constexpr int Sets = 2000;
    Event e(Event::Kind::AutoReset);
    Event stop(Event::Kind::ManualReset);
    Event back(Event::Kind::AutoReset);
    Event noise(Event::Kind::AutoReset);
    Event left(Event::Kind::AutoReset);
    std::atomic<bool> done{false};
    std::atomic<int> released{0};
    std::atomic<int> stopped{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < Waiters; ++i)
        waiters.emplace_back([&] {
            for (;;) {
                const int which = platform::WaitAny({&stop, &e, &noise}, 10000);
                if (which == 2)
                    continue;
                if (which != 1) {
                    if (which == 0) {
                        ++stopped;
                        left.Set();
                    }
                    return;
                }
                ++released;
                back.Set();
            }
        });
    std::thread noisy([&] {
        while (!done) {
            noise.Set();
            platform::Sleep(0);
        }
    });
    platform::Sleep(5); // most of them asleep, so that the first Set wakes a crowd
    int answered = 0;
    while (answered < Sets) {
        e.Set();
        if (!back.Wait(5000) || released.load() != answered + 1)
            break;
        ++answered;
    }
    done = true;
    noisy.join();
    stop.Set();
    while (stopped.load() < Waiters && left.Wait(5000)) {
    }
    EXPECT_EQ(stopped.load(), Waiters) << "a waiter slept through the stop";
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(answered, Sets) << released << " released";
    EXPECT_FALSE(e.Wait(0));
}

// A port has ten events and three threads: the events hold no descriptor,
// and a thread that blocks holds one, until it ends.
TEST(Event, EventsHoldNoDescriptorAndABlockingThreadOneForItsLife)
{
    const int before = testutil::OpenDescriptors();
    std::vector<std::unique_ptr<Event>> events;
    for (int i = 0; i < 100; ++i)
        events.push_back(std::make_unique<Event>(Event::Kind::AutoReset));
    EXPECT_EQ(testutil::OpenDescriptors(), before);
    int during = 0;
    std::thread([&] {
        for (auto& e : events)
            e->Wait(1);
        during = testutil::OpenDescriptors();
    }).join();
    EXPECT_EQ(during, before + 1);
    EXPECT_EQ(testutil::OpenDescriptors(), before);
}

// A Set that finds the event set writes nothing, so the flag and the
// descriptor must never part: a set flag over an empty descriptor would
// leave a waiter asleep for ever.
TEST(Event, SetsRacingWithConsumersAndResetsAreNeverLost)
{
    constexpr int Sets = 100000;
    Event e(Event::Kind::AutoReset);
    std::atomic<int> produced{0};
    std::thread producer([&] {
        for (int i = 1; i <= Sets; ++i) {
            produced.store(i);
            e.Set();
        }
    });
    int seen = 0;
    while (seen < Sets) {
        ASSERT_TRUE(e.Wait(5000)) << "a Set was lost after " << seen;
        seen = produced.load();
    }
    producer.join();
    // The last count can be read before its own Set lands: at most that one
    // is pending, since an auto-reset event holds one Set.
    e.Wait(0);
    EXPECT_FALSE(e.Wait(0));

    // Sets and Resets from two threads, the setter last: the event ends set.
    Event m(Event::Kind::ManualReset);
    for (int round = 0; round < 200; ++round) {
        std::thread resetter([&] {
            for (int i = 0; i < 50; ++i)
                m.Reset();
        });
        for (int i = 0; i < 50; ++i)
            m.Set();
        resetter.join();
        m.Set();
        ASSERT_TRUE(m.Wait(5000));
        ASSERT_TRUE(m.Wait(0));
        m.Reset();
        ASSERT_FALSE(m.Wait(0));
    }
}

TEST(WaitAny, LowestSignalledIndexWinsAndOnlyItIsConsumed)
{
    Event a(Event::Kind::AutoReset);
    Event b(Event::Kind::AutoReset);
    Event m(Event::Kind::ManualReset);
    b.Set();
    a.Set();
    m.Set();
    EXPECT_EQ(platform::WaitAny({&a, &b, &m}, 0), 0);
    EXPECT_EQ(platform::WaitAny({&a, &b, &m}, 0), 1);
    EXPECT_EQ(platform::WaitAny({&a, &b, &m}, 0), 2);
    EXPECT_EQ(platform::WaitAny({&a, &b, &m}, 0), 2); // manual-reset stays set
    m.Reset();
    EXPECT_EQ(platform::WaitAny({&a, &b, &m}, 0), platform::WaitTimeout);
}

TEST(WaitAny, WakesOnASetFromAnotherThreadAndTimesOutNotEarly)
{
    Event a(Event::Kind::AutoReset);
    Event b(Event::Kind::AutoReset);
    std::thread setter([&] { b.Set(); });
    EXPECT_EQ(platform::WaitAny({&a, &b}), 1);
    setter.join();

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platform::WaitAny({&a, &b}, 30), platform::WaitTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(WaitAnyOrMessage, ReportsAPendingMessageAfterTheEvents)
{
    std::vector<std::uint32_t> seen;
    const platform::WindowHandle w =
        platform::CreateMessageWindow([&](std::uint32_t msg, std::uintptr_t, std::intptr_t) {
            seen.push_back(msg);
            return std::intptr_t{0};
        });
    Event done(Event::Kind::ManualReset);
    EXPECT_EQ(platform::WaitAnyOrMessage({&done}, 0), platform::WaitTimeout);

    std::thread poster([&] { platform::PostMessage(w, 7, 0, 0); });
    EXPECT_EQ(platform::WaitAnyOrMessage({&done}), 1);
    poster.join();
    done.Set();
    EXPECT_EQ(platform::WaitAnyOrMessage({&done}, 0), 0); // events rank first
    done.Reset();
    EXPECT_TRUE(platform::ProcessOnePendingMessage());
    EXPECT_EQ(seen, std::vector<std::uint32_t>{7});
    EXPECT_EQ(platform::WaitAnyOrMessage({&done}, 0), platform::WaitTimeout);
    platform::DestroyMessageWindow(w);
}

TEST(Sleep, LastsAtLeastItsTimeByTheMillisecondClock)
{
    const std::uint32_t before = platform::MillisecondClock();
    platform::Sleep(20);
    const std::uint32_t after = platform::MillisecondClock();
    EXPECT_GE(static_cast<std::uint32_t>(after - before), 20u);
    platform::Sleep(0); // gives up the time slice and returns
}
