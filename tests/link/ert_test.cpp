// Unit under test: the exchange engine TExchange and its error report (src/link/ert, src/link/Mes).
#include "link/ert.h"

#include "PtyPair.h"
#include "instrument-sim/simulator.h"
#include "link/Mes.h"
#include "protocol/reply.h"
#include "serial/SerPort.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Shown {
    std::string text;
    Clock::time_point time;
};

class Engine : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (QCoreApplication::instance() == nullptr) {
            static int argc = 1;
            static char name[] = "ert_test";
            static char* argv[] = {name, nullptr};
            static QCoreApplication app(argc, argv);
        }
    }

    testutil::ComDir dir;
    std::unique_ptr<sim::Simulator> sim;
    std::unique_ptr<testutil::PtyPair> pty;
    TSerComPort port;
    QTimer interval;
    QTimer timeout;
    std::unique_ptr<TExchange> engine;
    std::vector<Shown> shown;
    std::vector<ReplyDecision> applied;
    bool closeBoxes = true;

    // The simulator as COM1 (or a bare pty the test writes to).
    void Begin(sim::Faults faults = {}, bool simulated = true, bool triggers = true)
    {
        if (simulated) {
            sim::Config config;
            config.faults = faults;
            config.baud = 9600; // replies take their line time, as on the meter's line
            sim = std::make_unique<sim::Simulator>(config);
            sim->Start();
            dir.Link(1, sim->Path());
        } else {
            pty = std::make_unique<testutil::PtyPair>();
            dir.Link(1, pty->SlavePath());
        }
        port.SetComNumber(1);
        port.SetBaud(9600);
        interval.setInterval(100);
        interval.setTimerType(Qt::PreciseTimer);
        timeout.setInterval(500);
        timeout.setTimerType(Qt::PreciseTimer);
        engine = std::make_unique<TExchange>(port, interval, timeout);
        QObject::connect(&interval, &QTimer::timeout, [this] { engine->IntervalTick(); });
        QObject::connect(&timeout, &QTimer::timeout, [this] { engine->Wake(); });
        if (triggers) {
            port.SetOnTrigger([this](TSerCustomComPort*, std::uint16_t, std::uint16_t,
                                     std::uint16_t) { engine->PortTrigger(); });
        }
        // What the window does with a reply.
        engine->SetApplyReply([this](const ReplyDecision& d) {
            applied.push_back(d);
            if (d.startInterval && !interval.isActive()) {
                interval.start();
            }
            if (d.measuring) {
                engine->PollState = 3;
            }
        });
        engine->SetErrorBox([this](const std::string& text, std::function<void()> closed) {
            shown.push_back({text, Clock::now()});
            if (closeBoxes) {
                closed();
            }
        });
        engine->Start();
    }

    void TearDown() override
    {
        if (engine) {
            engine->Shutdown();
        }
        port.SetOpen(false);
        if (sim) {
            sim->Stop();
        }
    }

    template <class Pred> bool Until(Pred done, milliseconds limit = milliseconds(5000))
    {
        const auto deadline = Clock::now() + limit;
        while (!done()) {
            if (Clock::now() > deadline) {
                return false;
            }
            QTimer tick;
            tick.setSingleShot(true);
            tick.start(10);
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        return true;
    }

    std::vector<std::uint8_t> Commands() const
    {
        std::vector<std::uint8_t> out;
        for (const auto& r : sim->Requests()) {
            out.push_back(r.bytes.at(0));
        }
        return out;
    }
};

TEST_F(Engine, StartsOnceAndRunsTheMeasurementCycle)
{
    Begin();
    EXPECT_EQ(engine->ModelIndex, 2);
    EXPECT_EQ(engine->PollState, 0);
    engine->ModelIndex = 1;
    engine->Start();
    EXPECT_EQ(engine->ModelIndex, 1) << "a second start leaves the engine alone";

    // A tick that finds state 1 queries both ranges, then measures for good.
    engine->PollState = 1;
    interval.start();
    ASSERT_TRUE(Until([&] { return sim->Requests().size() >= 5; })) << shown.size();
    std::vector<std::uint8_t> first = Commands();
    first.resize(5);
    EXPECT_EQ(first, (std::vector<std::uint8_t>{0x42, 0x43, 0x41, 0x41, 0x41}));
    EXPECT_TRUE(shown.empty());
    ASSERT_GE(applied.size(), 3u);
    EXPECT_TRUE(applied[2].valueText.has_value());
    EXPECT_EQ(engine->PollState, 3);

    // Each request goes out at least the interval after the reply before it.
    const auto requests = sim->Requests();
    const auto sent = sim->Sent();
    for (std::size_t i = 0; i + 1 < 5 && i < sent.size(); ++i) {
        EXPECT_GE(requests[i + 1].time - sent[i].time, milliseconds(99)) << i;
    }
    engine->StopPolling();
    EXPECT_FALSE(interval.isActive());
    EXPECT_FALSE(timeout.isActive());
    EXPECT_EQ(engine->PollState, 0);
}

TEST_F(Engine, ReplyInTwoPiecesIsTakenWhole)
{
    sim::Faults faults;
    faults.splitPieces = 2;
    faults.splitPause = milliseconds(150);
    Begin(faults);
    engine->PollState = 1;
    engine->SendRequest(Command::ReadMeasurement);
    ASSERT_TRUE(Until([&] { return !applied.empty() || !shown.empty(); }));
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(engine->ReceivedCount, 10);
    EXPECT_TRUE(applied.at(0).measuring);
    engine->StopPolling();
}

TEST_F(Engine, SilenceAndCorruptionAreReportedInABox)
{
    sim::Faults faults;
    faults.silent = true;
    Begin(faults);
    // A timeout that has run for a while must not shorten the wait.
    timeout.start();
    ASSERT_TRUE(Until([] { return false; }, milliseconds(350)) == false);
    const auto sentAt = Clock::now();
    engine->SendRequest(Command::ReadMeasurement);
    ASSERT_TRUE(Until([&] { return !shown.empty(); }));
    EXPECT_EQ(shown[0].text, "Нет ответа от прибора! ");
    EXPECT_GE(shown[0].time - sentAt, milliseconds(500));
    EXPECT_FALSE(timeout.isActive());
    EXPECT_FALSE(interval.isActive());

    faults.silent = false;
    faults.badCheckProbability = 1;
    sim->SetFaults(faults);
    shown.clear();
    engine->PollState = 3;
    engine->SendRequest(Command::ReadMeasurement);
    ASSERT_TRUE(Until([&] { return !shown.empty(); }));
    EXPECT_EQ(shown[0].text, "Ошибка контрольной суммы! ");
    EXPECT_TRUE(applied.empty());
    EXPECT_FALSE(interval.isActive()) << "the cycle rests after an error";
    EXPECT_EQ(engine->PollState, 3);
}

TEST_F(Engine, AcknowledgementLeavesTheCycleResting)
{
    Begin();
    engine->PollState = 3;
    engine->RequestFrame[1] = 2;
    engine->SendRequest(Command::SetMode);
    ASSERT_TRUE(Until([&] { return engine->ReceivedCount == 4 && !engine->AwaitingReply; }));
    // Let the worker finish its pass.
    Until([] { return false; }, milliseconds(50));
    EXPECT_EQ(sim->State().mode, 2);
    EXPECT_TRUE(applied.empty());
    EXPECT_TRUE(shown.empty());
    EXPECT_FALSE(interval.isActive());
    EXPECT_EQ(engine->PollState, 3);
}

TEST_F(Engine, OverlongInputIsTakenWholeAndReportedAsCheckError)
{
    // No trigger: only the timeout wakes the worker, so every byte is waiting.
    Begin({}, false, false);
    for (const std::size_t extra : {75u, 300u}) {
        shown.clear();
        engine->SendRequest(Command::ReadMeasurement);
        pty->Read(3);
        pty->Write(std::string(extra, '\x41'));
        ASSERT_TRUE(Until([&] { return !shown.empty(); })) << extra;
        EXPECT_EQ(shown[0].text, "Ошибка контрольной суммы! ");
        EXPECT_EQ(engine->ReceivedCount, static_cast<std::uint8_t>(extra));
        EXPECT_EQ(port.InputWaiting(), 0) << "nothing stale is left behind";
        EXPECT_TRUE(applied.empty());
    }
}

TEST_F(Engine, ThePauseCountsFromTheReplyComingInNotFromItsWordReachingTheWindow)
{
    Begin({}, false);
    engine->SendRequest(Command::ReadMeasurement);
    pty->Read(3);
    pty->Write(std::string(10, '\x41'));
    // The window's thread is busy while the reply comes in: word of it
    // reaches the engine late, the reply is complete all the same.
    std::this_thread::sleep_for(milliseconds(200));
    ASSERT_TRUE(Until([&] { return engine->replyCompleteAt.has_value(); }));
    EXPECT_LT(engine->PauseLeft(milliseconds(300)), milliseconds(250));
    EXPECT_GT(engine->PauseLeft(milliseconds(300)), milliseconds(0));
}

TEST_F(Engine, StopWhileAwaitingShowsTheReplyButDoesNotResume)
{
    sim::Faults faults;
    faults.replyDelay = milliseconds(200);
    Begin(faults);
    engine->PollState = 3;
    engine->SendRequest(Command::ReadMeasurement);
    engine->StopButton();
    ASSERT_TRUE(Until([&] { return !applied.empty(); }));
    EXPECT_TRUE(applied[0].valueText.has_value());
    EXPECT_FALSE(interval.isActive());
    EXPECT_EQ(engine->PollState, 0);

    // A stop made inside the reply's own handlers does not end the cycle.
    engine->SetApplyReply([this](const ReplyDecision& d) {
        applied.push_back(d);
        engine->StopPolling();
        if (d.startInterval && !interval.isActive()) {
            interval.start();
        }
        engine->PollState = 3;
    });
    applied.clear();
    engine->SendRequest(Command::ReadMeasurement);
    ASSERT_TRUE(Until([&] { return !applied.empty(); }));
    EXPECT_TRUE(interval.isActive());
    EXPECT_EQ(engine->PollState, 3);
    engine->StopPolling();
}

TEST_F(Engine, ShutdownDoesNotWaitForAnOpenBox)
{
    sim::Faults faults;
    faults.badCheckProbability = 1;
    Begin(faults);
    closeBoxes = false;
    engine->SendRequest(Command::ReadMeasurement);
    ASSERT_TRUE(Until([&] { return !shown.empty(); }));
    // Wakes while the box is open are dropped; the worker still ends.
    engine->Wake();
    engine->Shutdown();
    EXPECT_FALSE(engine->Started());
}

} // namespace
