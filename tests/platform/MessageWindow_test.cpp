// Unit under test: MessageWindow (thread-bound message windows and their Qt bridge).
#include "platform/MessageWindow.h"

#include "Hooks.h"
#include "platform/Sync.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using platform::Event;
using platform::WindowHandle;

namespace {

struct Received {
    std::uint32_t msg;
    std::uintptr_t wParam;
    std::thread::id thread;
};

// A window on its own thread that serves messages until told to stop, the
// way a thread without a Qt loop does it.
class WindowThread {
public:
    WindowThread()
    {
        thread_ = std::thread([this] {
            window_ = platform::CreateMessageWindow(
                [this](std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
                    const std::lock_guard lock(mutex_);
                    received_.push_back({msg, wParam, std::this_thread::get_id()});
                    return lParam * 2;
                });
            ready_.Set();
            for (;;) {
                const int r = platform::WaitAnyOrMessage({&stop_, &busy_});
                if (r == 0)
                    break;
                if (r == 1) {
                    busyNow_.Set();
                    release_.Wait();
                } else {
                    platform::ProcessOnePendingMessage();
                }
            }
            platform::DestroyMessageWindow(window_);
        });
        ready_.Wait();
    }
    ~WindowThread() { Stop(); }

    // Blocks the thread (not serving messages) until Release.
    void MakeBusy()
    {
        busy_.Set();
        busyNow_.Wait();
    }
    void Release() { release_.Set(); }
    void Stop()
    {
        if (thread_.joinable()) {
            stop_.Set();
            thread_.join();
        }
    }
    WindowHandle Window() const { return window_; }
    std::thread::id Id() const { return thread_.get_id(); }
    std::vector<Received> Messages()
    {
        const std::lock_guard lock(mutex_);
        return received_;
    }

private:
    Event ready_{Event::Kind::ManualReset};
    Event stop_{Event::Kind::ManualReset};
    Event busy_{Event::Kind::AutoReset};
    Event busyNow_{Event::Kind::AutoReset};
    Event release_{Event::Kind::AutoReset};
    WindowHandle window_ = 0;
    std::mutex mutex_;
    std::vector<Received> received_;
    std::thread thread_;
};

} // namespace

TEST(MessageWindow, MessagesArriveInOrderOnTheOwningThread)
{
    WindowThread t;
    ASSERT_NE(t.Window(), 0u);
    EXPECT_TRUE(platform::IsWindow(t.Window()));
    for (std::uintptr_t i = 0; i < 50; ++i) {
        if (i % 5 == 4) {
            std::intptr_t result = 0;
            ASSERT_TRUE(platform::SendMessageTimeout(t.Window(), 2, i, 21, 3000, &result));
            EXPECT_EQ(result, 42);
        } else {
            ASSERT_TRUE(platform::PostMessage(t.Window(), 1, i, 0));
        }
    }
    ASSERT_TRUE(platform::SendMessageTimeout(t.Window(), 3, 50, 0, 3000));
    const auto got = t.Messages();
    ASSERT_EQ(got.size(), 51u);
    for (std::uintptr_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].wParam, i);
        EXPECT_EQ(got[i].thread, t.Id());
    }
}

TEST(MessageWindow, SendToABusyThreadTimesOutAndIsNeverDeliveredLater)
{
    WindowThread t;
    t.MakeBusy();
    EXPECT_FALSE(platform::SendMessageTimeout(t.Window(), 9, 1, 0, 50));
    EXPECT_FALSE(platform::SendMessageTimeout(t.Window(), 9, 2, 0, 0));
    t.Release();
    // A later send is served; the withdrawn ones must not come before it.
    ASSERT_TRUE(platform::SendMessageTimeout(t.Window(), 10, 3, 0, 3000));
    const auto got = t.Messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].msg, 10u);
}

TEST(MessageWindow, SendToOwnWindowRunsAtOnceAndPostWaitsForProcessing)
{
    std::vector<std::uint32_t> seen;
    const WindowHandle w =
        platform::CreateMessageWindow([&](std::uint32_t msg, std::uintptr_t, std::intptr_t) {
            seen.push_back(msg);
            return std::intptr_t{msg + 100};
        });
    ASSERT_TRUE(platform::PostMessage(w, 1, 0, 0));
    std::intptr_t result = 0;
    ASSERT_TRUE(platform::SendMessageTimeout(w, 2, 0, 0, 0, &result));
    EXPECT_EQ(result, 102);
    EXPECT_EQ(seen, std::vector<std::uint32_t>{2});
    EXPECT_TRUE(platform::ProcessOnePendingMessage());
    EXPECT_FALSE(platform::ProcessOnePendingMessage());
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{2, 1}));

    platform::DestroyMessageWindow(w);
    EXPECT_FALSE(platform::IsWindow(w));
    EXPECT_FALSE(platform::PostMessage(w, 3, 0, 0));
    EXPECT_FALSE(platform::SendMessageTimeout(w, 3, 0, 0, 100));
    EXPECT_FALSE(platform::ProcessOnePendingMessage());
}

TEST(MessageWindow, ProcessOnePendingServesASenderWhileWaitingForItsThread)
{
    // The shape of a close: the owner waits for a thread that is itself
    // blocked in a send to the owner's window.
    std::vector<std::uint32_t> seen;
    const WindowHandle w =
        platform::CreateMessageWindow([&](std::uint32_t msg, std::uintptr_t, std::intptr_t) {
            seen.push_back(msg);
            return std::intptr_t{1};
        });
    Event ended(Event::Kind::ManualReset);
    std::atomic<bool> sent{false};
    std::thread worker([&] {
        sent = platform::SendMessageTimeout(w, 0x7E01, 0, 0, 3000);
        ended.Set();
    });
    while (platform::WaitAnyOrMessage({&ended}) != 0)
        platform::ProcessOnePendingMessage();
    worker.join();
    EXPECT_TRUE(sent.load());
    EXPECT_EQ(seen, std::vector<std::uint32_t>{0x7E01});
    platform::DestroyMessageWindow(w);
}

TEST(MessageWindow, ASenderServesSendsToItsOwnWindowsWhileItWaits)
{
    const auto self = std::this_thread::get_id();
    std::thread::id servedOn;
    const WindowHandle mine =
        platform::CreateMessageWindow([&](std::uint32_t, std::uintptr_t, std::intptr_t) {
            servedOn = std::this_thread::get_id();
            return std::intptr_t{5};
        });
    // The other thread's procedure sends back to us while we wait for it.
    std::atomic<WindowHandle> hop{0};
    Event ready(Event::Kind::ManualReset);
    Event stop(Event::Kind::ManualReset);
    std::thread other([&] {
        hop = platform::CreateMessageWindow([&](std::uint32_t, std::uintptr_t, std::intptr_t) {
            std::intptr_t r = 0;
            platform::SendMessageTimeout(mine, 1, 0, 0, 3000, &r);
            return r + 1;
        });
        ready.Set();
        while (platform::WaitAnyOrMessage({&stop}) != 0)
            platform::ProcessOnePendingMessage();
    });
    ready.Wait();
    std::intptr_t result = 0;
    EXPECT_TRUE(platform::SendMessageTimeout(hop, 1, 0, 0, 3000, &result));
    EXPECT_EQ(result, 6);
    EXPECT_EQ(servedOn, self);
    stop.Set();
    other.join();
    EXPECT_FALSE(platform::IsWindow(hop)); // gone with its thread
    platform::DestroyMessageWindow(mine);
}

TEST(MessageWindow, DestroyingTheWindowOrEndingItsThreadReleasesWaitingSenders)
{
    int calls = 0;
    const auto proc = [&](std::uint32_t, std::uintptr_t, std::intptr_t) {
        ++calls;
        return std::intptr_t{0};
    };
    // Window destroyed by its thread while a send to it is queued.
    const WindowHandle w = platform::CreateMessageWindow(proc);
    std::atomic<int> outcome{-1};
    std::thread sender([&] { outcome = platform::SendMessageTimeout(w, 4, 0, 0, 60000); });
    EXPECT_EQ(platform::WaitAnyOrMessage({}), 0); // the send is queued
    platform::DestroyMessageWindow(w);
    sender.join();
    EXPECT_EQ(outcome.load(), 0);
    EXPECT_FALSE(platform::ProcessOnePendingMessage());

    // The owning thread ends with a send queued and its window not destroyed.
    std::atomic<WindowHandle> w2{0};
    Event created(Event::Kind::ManualReset);
    std::thread owner([&] {
        w2 = platform::CreateMessageWindow(proc);
        created.Set();
        platform::WaitAnyOrMessage({});
    });
    created.Wait();
    EXPECT_FALSE(platform::SendMessageTimeout(w2, 4, 0, 0, 60000));
    owner.join();
    EXPECT_FALSE(platform::IsWindow(w2));
    EXPECT_EQ(calls, 0);
}

TEST(MessageWindow, ExceptionsFromProceduresGoToTheGuardOrAreDropped)
{
    const WindowHandle w =
        platform::CreateMessageWindow([](std::uint32_t msg, std::uintptr_t, std::intptr_t) {
            if (msg == 1)
                throw std::runtime_error("handler failed");
            return std::intptr_t{3};
        });
    std::intptr_t result = -1;
    EXPECT_TRUE(platform::SendMessageTimeout(w, 1, 0, 0, 0, &result)); // dropped
    EXPECT_EQ(result, 0);

    std::vector<std::string> caught;
    platform::detail::SetExceptionGuard([&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& ex) {
            caught.emplace_back(ex.what());
        }
    });
    ASSERT_TRUE(platform::PostMessage(w, 1, 0, 0));
    ASSERT_TRUE(platform::PostMessage(w, 2, 0, 0));
    EXPECT_TRUE(platform::ProcessOnePendingMessage());
    EXPECT_TRUE(platform::ProcessOnePendingMessage());
    EXPECT_EQ(caught, std::vector<std::string>{"handler failed"});
    platform::detail::SetExceptionGuard(nullptr);
    platform::DestroyMessageWindow(w);
}

namespace {

int argc = 1;
char appName[] = "platform_tests";
char* argv[] = {appName, nullptr};

} // namespace

TEST(MessageWindowQt, TheMainLoopDeliversMessagesInOrderOnTheMainThread)
{
    QCoreApplication app(argc, argv);
    const auto self = std::this_thread::get_id();
    std::vector<std::uintptr_t> seen;
    bool allOnMain = true;
    const WindowHandle w =
        platform::CreateMessageWindow([&](std::uint32_t msg, std::uintptr_t wParam, std::intptr_t) {
            allOnMain = allOnMain && std::this_thread::get_id() == self;
            seen.push_back(wParam);
            if (msg == 2)
                QCoreApplication::quit();
            return std::intptr_t{static_cast<std::intptr_t>(wParam)};
        });
    std::atomic<int> failures{0};
    std::thread worker([&] {
        for (std::uintptr_t i = 0; i < 200; ++i) {
            std::intptr_t r = 0;
            if (i % 2 == 0) {
                if (!platform::PostMessage(w, 1, i, 0))
                    ++failures;
            } else if (!platform::SendMessageTimeout(w, 1, i, 0, 3000, &r) ||
                       r != static_cast<std::intptr_t>(i)) {
                ++failures;
            }
        }
        platform::PostMessage(w, 2, 200, 0);
    });
    EXPECT_EQ(app.exec(), 0);
    worker.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_EQ(seen.size(), 201u);
    for (std::uintptr_t i = 0; i < seen.size(); ++i)
        ASSERT_EQ(seen[i], i);
    EXPECT_TRUE(allOnMain);
    platform::DestroyMessageWindow(w);
}

TEST(MessageWindowQt, WaitingInsideTheLoopServesSendsAndKeepsTheQuitForTheLoop)
{
    QCoreApplication app(argc, argv);
    int served = 0;
    const WindowHandle w =
        platform::CreateMessageWindow([&](std::uint32_t, std::uintptr_t, std::intptr_t) {
            ++served;
            return std::intptr_t{0};
        });
    std::atomic<bool> sent{false};
    bool waited = false;
    QTimer::singleShot(0, [&] {
        // A handler asks to quit, then waits for a thread that sends to it.
        QCoreApplication::quit();
        Event ended(Event::Kind::ManualReset);
        std::thread worker([&] {
            sent = platform::SendMessageTimeout(w, 1, 0, 0, 3000);
            ended.Set();
        });
        while (platform::WaitAnyOrMessage({&ended}) != 0)
            platform::ProcessOnePendingMessage();
        worker.join();
        waited = true;
    });
    EXPECT_EQ(app.exec(), 0); // returns: the quit was not lost
    EXPECT_TRUE(waited);
    EXPECT_TRUE(sent.load());
    EXPECT_EQ(served, 1);
    platform::DestroyMessageWindow(w);
}
