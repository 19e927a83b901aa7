#pragma once

#include "link/Measurement.h"
#include "link/Mes.h"
#include "protocol/frames.h"
#include "record/Reading.h"

#include "platform/Mutex.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

class QObject;
class QTimer;
class TSerCustomComPort;
struct ReplyDecision;

// The worker: a thread that sleeps until woken and then runs one pass. A
// wake that arrives while a pass runs is dropped; the decision to sleep and
// the sleeping are one step under the gate's lock, so no wake slips between.
class thr {
public:
    struct Gate {
        platform::Mutex m;
        platform::ConditionVariable cv;
        // created asleep: a wake before the first wait counts
        bool sleeping GUARDED_BY(m) = true;
        bool woken GUARDED_BY(m) = false;
        bool stopping GUARDED_BY(m) = false;
    };

    thr() : gate(std::make_shared<Gate>()) {}
    ~thr() { Stop(); }
    thr(const thr&) = delete;
    thr& operator=(const thr&) = delete;

    // Starts the thread, which runs pass once per accepted wake.
    void Start(std::function<void()> pass);
    // Never blocks for long; dropped unless the worker sleeps.
    void Wake();
    // Ends the thread and joins it; a pass that waits for the UI thread or
    // for a closed box gives up waiting. Idempotent.
    void Stop();
    bool Running() const { return worker.joinable(); }

    const std::shared_ptr<Gate>& SharedGate() const { return gate; }

private:
    void Loop(const std::function<void()>& pass);

    std::shared_ptr<Gate> gate;
    std::thread worker;
};

// The exchange engine: the one engine record, the requests, the worker's
// taking of replies and the polling cycle. Every member but the worker's pass
// runs on the UI thread, which also owns the two timers and the port; the
// engine must be destroyed (or stopped) before them.
class TExchange {
public:
    using TApplyReply = std::function<void(const ReplyDecision&)>;
    // A failure raised by a handler run on the UI thread for the worker.
    using TFailure = std::function<void(const std::exception&)>;
    // Every answer to a measurement request, gaps included; UI thread.
    using TMeasured = std::function<void(const TMeasurement&)>;

    TExchange(TSerCustomComPort& port, QTimer& interval, QTimer& timeout);
    ~TExchange();
    TExchange(const TExchange&) = delete;
    TExchange& operator=(const TExchange&) = delete;

    // What ProcessReply does to the window for one decided reply.
    void SetApplyReply(TApplyReply apply) { applyReply = std::move(apply); }
    void SetFailure(TFailure failure) { uiFailure = std::move(failure); }
    // The box ShowError uses; without one its text goes to standard error.
    void SetErrorBox(TErrorBox box) { errorBox = std::move(box); }
    // Where the measurements go, before the reply is applied to the window.
    void SetMeasured(TMeasured measured) { onMeasured = std::move(measured); }

    // Engine start: the worker asleep, PollState 0, ModelIndex 2. Only the
    // first call does anything.
    void Start();
    // Stops and joins the worker (shutdown).
    void Shutdown();
    bool Started() const { return worker.Running(); }

    void SendRequest(Command command);
    void StopPolling();
    // The "Стоп" button: StopPolling, and a reply still awaited from before
    // it no longer restarts the cycle.
    void StopButton();
    void IntervalTick();
    void PortTrigger();
    void Wake() { worker.Wake(); }
    // UI thread: what is left of pause since the awaited reply was complete,
    // so that the next request leaves a pause after the reply however long
    // the reply took to reach the window; the whole pause when no reply
    // came.
    std::chrono::milliseconds PauseLeft(std::chrono::milliseconds pause) const;

    // Runs call on the UI thread and waits until it invokes its done
    // argument; false when the engine stopped first. Worker only.
    bool AwaitUi(std::function<void(std::function<void()> done)> call);

    // Worker only: the error box for text; returns when it is closed (or the
    // engine stops).
    void ShowError(const std::string& text);
    // Worker only: the message for LinkError.
    void ReportLinkError();

    // --- The engine record.
    Frame RequestFrame{};
    Frame ReplyFrame{};
    std::uint8_t RequestLength = 0;
    std::uint8_t ExpectedReplyLength = 0;
    std::atomic<std::uint8_t> ReceivedCount{0};
    std::atomic<std::uint8_t> LinkError{0};
    std::atomic<bool> AwaitingReply{false};
    // UI thread: when the reply to the latest request was all there.
    std::optional<std::chrono::steady_clock::time_point> replyCompleteAt;
    std::chrono::steady_clock::time_point requestSentAt; // UI thread
    // Where the polling cycle is: idle, or the query the next interval sends.
    static constexpr std::uint8_t PollIdle = 0;
    static constexpr std::uint8_t PollVoltageRange = 1;
    static constexpr std::uint8_t PollCurrentRange = 2;
    static constexpr std::uint8_t PollMeasuring = 3;
    std::uint8_t PollState = PollIdle;
    std::uint8_t ModelIndex = 0;
    std::uint8_t IntegerDigits = 0;

private:
    void Pass();
    // Hands over to the UI thread, which stops the time-out unless a newer
    // request superseded this one: the serial of the request the pass takes
    // for, nothing when superseded or the engine stopped. The UI thread
    // takes engineLock meanwhile.
    std::optional<std::uint64_t> AwaitedRequest() EXCLUDES(engineLock);
    // TakeReply; a port that fails is reported (a gap for a measurement, and
    // the error box), giving nothing.
    std::optional<TakenReply> TakeReplyOrReport(std::uint64_t serial, Command& command)
        EXCLUDES(engineLock);
    // Gives the UI thread the taken reply: the reading when measured, then
    // the reply's processing, which may send the next request under
    // engineLock.
    void HandOver(const TakenReply& taken, bool measured) EXCLUDES(engineLock);
    // Nothing, taking nothing, when a request went out since serial.
    // command: the request the reply answers.
    std::optional<TakenReply> TakeReply(std::uint64_t serial, Command& command)
        EXCLUDES(engineLock);
    void ProcessReply();
    // UI thread: the measurement a taken reply makes, before ProcessReply.
    TMeasurement Measured(std::int64_t timeMs, const TakenReply& taken) const;
    void Deliver(const TMeasurement& measurement) const;
    std::int64_t NowMs() const;

    TSerCustomComPort& port;
    QTimer& interval;
    QTimer& timeout;
    std::unique_ptr<QObject> uiContext;
    TApplyReply applyReply;
    TFailure uiFailure;
    TErrorBox errorBox;
    TMeasured onMeasured;
    // The readings' times, on velmor-log's clock.
    const record::LogClock clock{};
    // Between SendRequest's flush-and-send and the worker's count-and-take.
    platform::Mutex engineLock;
    // Counts requests; written on the UI thread.
    std::uint64_t requestSerial GUARDED_BY(engineLock) = 0;
    // The request the awaited reply answers.
    Command awaitedCommand GUARDED_BY(engineLock) = Command::ReadMeasurement;
    // Set by "Стоп", cleared by the next request.
    bool stopPressed = false;
    thr worker;
};
