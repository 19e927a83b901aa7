#include "link/ert.h"

#include "link/take.h"
#include "protocol/reply.h"
#include "serial/SerPort.h"

#include <QMetaObject>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <stdexcept>

void thr::Start(std::function<void()> pass)
{
    if (worker.joinable()) {
        return;
    }
    worker = std::thread([this, pass = std::move(pass)] { Loop(pass); });
}

void thr::Wake()
{
    thr::Gate& g = *gate;
    const platform::LockGuard lock(g.m);
    if (g.sleeping) {
        g.woken = true;
        g.cv.NotifyAll();
    }
}

void thr::Stop()
{
    {
        thr::Gate& g = *gate;
        const platform::LockGuard lock(g.m);
        g.stopping = true;
        g.cv.NotifyAll();
    }
    if (worker.joinable()) {
        worker.join();
    }
}

void thr::Loop(const std::function<void()>& pass)
{
    for (;;) {
        {
            thr::Gate& g = *gate;
            const platform::LockGuard lock(g.m);
            g.sleeping = true;
            while (!g.woken && !g.stopping) {
                g.cv.Wait(g.m);
            }
            g.sleeping = false;
            g.woken = false;
            if (g.stopping) {
                return;
            }
        }
        pass();
    }
}

TExchange::TExchange(TSerCustomComPort& port, QTimer& interval, QTimer& timeout)
    : port(port), interval(interval), timeout(timeout), uiContext(std::make_unique<QObject>())
{
}

TExchange::~TExchange()
{
    Shutdown();
}

void TExchange::Start()
{
    if (worker.Running()) {
        return;
    }
    PollState = PollIdle;
    ModelIndex = 2;
    worker.Start([this] { Pass(); });
}

void TExchange::Shutdown()
{
    worker.Stop();
}

void TExchange::SendRequest(Command command)
{
    stopPressed = false;
    RequestLength = BuildRequest(RequestFrame, command);
    ExpectedReplyLength = ::ExpectedReplyLength(command);
    // Bytes taken from the line before this are not the reply's.
    requestSentAt = std::chrono::steady_clock::now();
    try {
        const platform::LockGuard lock(engineLock);
        ++requestSerial;
        awaitedCommand = command;
        port.PurgeInput();
        port.PurgeOutput();
        port.PutBlock(RequestFrame.data(), RequestLength);
    } catch (const std::exception&) {
        // The port failing under the running cycle is a gap in the readings,
        // as velmor-log writes one; the failure itself goes on to the caller.
        if (command == Command::ReadMeasurement && PollState == PollMeasuring) {
            Deliver(TMeasurement::Gap(NowMs(), port.ComNumber(), record::Status::PortLost));
        }
        throw;
    }
    // A fresh period, so that no-reply never comes sooner than a full
    // timeout after the request.
    timeout.start();
    replyCompleteAt.reset();
    AwaitingReply = true;
}

void TExchange::StopPolling()
{
    interval.stop();
    timeout.stop();
    PollState = PollIdle;
}

void TExchange::StopButton()
{
    StopPolling();
    stopPressed = true;
}

void TExchange::IntervalTick()
{
    interval.stop();
    switch (PollState) {
    case PollVoltageRange:
        SendRequest(Command::ReadVoltageRange);
        PollState = PollCurrentRange;
        break;
    case PollCurrentRange:
        SendRequest(Command::ReadCurrentRange);
        PollState = PollMeasuring;
        break;
    case PollMeasuring:
        SendRequest(Command::ReadMeasurement);
        break;
    default:
        break;
    }
}

void TExchange::PortTrigger()
{
    timeout.start();
    if (port.InputWaiting() >= ExpectedReplyLength) {
        if (!replyCompleteAt) {
            // From when its last bytes came off the line: the hand-overs
            // that brought word of it here may have been held up.
            const auto now = std::chrono::steady_clock::now();
            const auto arrived = port.LastArrival();
            replyCompleteAt = arrived >= requestSentAt && arrived <= now ? arrived : now;
        }
        worker.Wake();
    }
}

std::chrono::milliseconds TExchange::PauseLeft(std::chrono::milliseconds pause) const
{
    if (!replyCompleteAt) {
        return pause;
    }
    // To the nearest millisecond, the timer's step, so that the cycle's
    // error centres on none instead of always adding up to one.
    const auto since = std::chrono::round<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - *replyCompleteAt);
    return since >= pause ? std::chrono::milliseconds(0) : pause - since;
}

bool TExchange::AwaitUi(std::function<void(std::function<void()> done)> call)
{
    auto gate = worker.SharedGate();
    auto finished = std::make_shared<bool>(false);
    // finished is under the gate's lock, as stopping is.
    std::function<void()> done = [gate, finished] {
        const platform::LockGuard lock(gate->m);
        *finished = true;
        gate->cv.NotifyAll();
    };
    TFailure failure = uiFailure;
    QMetaObject::invokeMethod(
        uiContext.get(),
        [gate, call = std::move(call), done, failure] {
            {
                thr::Gate& g = *gate;
                const platform::LockGuard lock(g.m);
                if (g.stopping) {
                    return;
                }
            }
            // No failure may unwind through the event loop; the worker
            // must not wait for a call that ended by raising.
            try {
                call(done);
            } catch (const std::exception& e) {
                if (failure) {
                    failure(e);
                } else {
                    std::fprintf(stderr, "%s\n", e.what());
                }
                done();
            }
        },
        Qt::QueuedConnection);
    thr::Gate& g = *gate;
    const platform::LockGuard lock(g.m);
    while (!*finished && !g.stopping) {
        g.cv.Wait(g.m);
    }
    return *finished;
}

void TExchange::ShowError(const std::string& text)
{
    AwaitUi([box = errorBox, text](std::function<void()> done) {
        ShowErrorBox(box, text, std::move(done));
    });
}

void TExchange::ReportLinkError()
{
    ShowError(LinkErrorText(LinkError));
}

void TExchange::Pass()
{
    LinkError = LinkErrorNone;
    if (!AwaitingReply.exchange(false)) {
        return;
    }
    const std::optional<std::uint64_t> serial = AwaitedRequest();
    if (!serial) {
        return;
    }
    Command command = Command::ReadMeasurement;
    const std::optional<TakenReply> taken = TakeReplyOrReport(*serial, command);
    if (!taken) {
        return;
    }
    // Only the answers to measurement requests are readings.
    HandOver(*taken, command == Command::ReadMeasurement);
    if (LinkError != LinkErrorNone) {
        ReportLinkError();
    }
}

std::optional<std::uint64_t> TExchange::AwaitedRequest()
{
    bool superseded = false;
    std::uint64_t serial = 0;
    if (!AwaitUi([this, &superseded, &serial](std::function<void()> done) {
            // A request sent since the flag was taken keeps its own timeout,
            // or its silence would never be reported. Its flush emptied the
            // input, so what this pass came for is gone: taking now would
            // report silence for a request whose reply is still on its way,
            // and leave that reply to a later pass as a second silence.
            superseded = AwaitingReply;
            const platform::LockGuard lock(engineLock);
            serial = requestSerial;
            if (!superseded) {
                timeout.stop();
            }
            done();
        }) ||
        superseded) {
        return std::nullopt;
    }
    return serial;
}

std::optional<TakenReply> TExchange::TakeReplyOrReport(std::uint64_t serial, Command& command)
{
    try {
        // Nothing when overtaken by a request sent after AwaitedRequest looked.
        return TakeReply(serial, command);
    } catch (const std::exception& e) {
        // A port that fails here is reported like a line fault; the worker
        // goes back to sleep either way.
        if (command == Command::ReadMeasurement) {
            AwaitUi([this, timeMs = NowMs()](std::function<void()> done) {
                Deliver(TMeasurement::Gap(timeMs, port.ComNumber(), record::Status::PortLost));
                done();
            });
        }
        ShowError(e.what());
        return std::nullopt;
    }
}

void TExchange::HandOver(const TakenReply& taken, bool measured)
{
    // The time is the taking's, as velmor-log's.
    const std::int64_t timeMs = NowMs();
    if (!taken.process && !measured) {
        return;
    }
    AwaitUi([this, measured, timeMs, taken](std::function<void()> done) {
        // Delivered first: a handler that fails inside the reply must
        // not cost the reading.
        if (measured) {
            Deliver(Measured(timeMs, taken));
        }
        if (taken.process) {
            ProcessReply();
        }
        done();
    });
}

std::optional<TakenReply> TExchange::TakeReply(std::uint64_t serial, Command& command)
{
    const platform::LockGuard lock(engineLock);
    if (requestSerial != serial) {
        return std::nullopt;
    }
    command = awaitedCommand;
    const TakenReply taken = TakeWaitingReply(port, ReplyFrame);
    ReceivedCount = taken.receivedCount;
    LinkError = taken.linkError;
    return taken;
}

void TExchange::ProcessReply()
{
    // "Стоп" pressed while this reply was awaited: show it, but the cycle
    // stays stopped. A stop made by a handler inside the reply does not
    // count, so the current-range handler's stop is overridden as before.
    const bool stopped = stopPressed;
    // A request sent after this reply was taken (the operator restarted
    // reading meanwhile) is still awaited: its reply goes on with the cycle.
    // Starting the pause here too would send again before that reply is in,
    // and the send's flush would cut it.
    const bool overtaken = AwaitingReply;
    ReplyDecision decision = DecideReply(ReplyFrame, IntegerDigits, ModelIndex);
    IntegerDigits = decision.integerDigits;
    if (overtaken) {
        decision.startInterval = false;
        decision.measuring = false;
    }
    if (applyReply) {
        applyReply(decision);
    }
    if (stopped) {
        interval.stop();
        PollState = PollIdle;
    }
}

TMeasurement TExchange::Measured(std::int64_t timeMs, const TakenReply& taken) const
{
    // velmor-log's rules for a line's status.
    const std::uint16_t number = port.ComNumber();
    if (taken.linkError == LinkErrorNoReply) {
        return TMeasurement::Gap(timeMs, number, record::Status::NoReply);
    }
    if (taken.linkError == LinkErrorCheckCode) {
        return TMeasurement::Gap(timeMs, number, record::Status::CheckError);
    }
    if (taken.kept != MeasurementReplyLength ||
        ClassifyReply(ReplyFrame[0]) != ReplyKind::Measurement) {
        return TMeasurement::Gap(timeMs, number, record::Status::BadReply);
    }
    return TMeasurement::Reply(timeMs, number, ReplyFrame, IntegerDigits, ModelIndex);
}

void TExchange::Deliver(const TMeasurement& measurement) const
{
    if (onMeasured) {
        onMeasured(measurement);
    }
}

std::int64_t TExchange::NowMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock.Now().time_since_epoch())
        .count();
}
