#include "velmor-log/meter.h"

#include "velmor-log/journal.h"

#include "link/take.h"
#include "protocol/reply.h"
#include "serial/SerExcept.h"

#include <QMetaObject>

#include <algorithm>
#include <filesystem>

namespace vlog {

namespace {

// A reconnect attempt per second while a device is away.
constexpr std::chrono::milliseconds ReconnectPeriod{1000};

int DecimalsOf(const std::string& text)
{
    const auto point = text.find('.');
    return point == std::string::npos ? 0 : static_cast<int>(text.size() - point - 1);
}

std::string WithUnit(const Reading& r)
{
    return r.unit.empty() ? r.valueText : r.valueText + " " + r.unit;
}

} // namespace

TLogPort::TLogPort(const PortChoice& choice)
{
    if (choice.device.empty()) {
        SetComNumber(static_cast<std::uint16_t>(choice.com));
    } else {
        devicePath = std::filesystem::absolute(choice.device).lexically_normal().string();
    }
    SetBaud(9600);
    SetPromptForPort(false);
    // The meter reopens the port itself after a loss, at its own pace.
    SetAutoOpen(false);
}

void TLogPort::ValidateComNumber()
{
    if (devicePath.empty()) {
        TSerComPort::ValidateComNumber();
    }
}

std::string TLogPort::DeviceName() const
{
    return devicePath.empty() ? TSerComPort::DeviceName() : devicePath;
}

void MeterStats::Add(const Reading& r)
{
    ++lines;
    switch (r.status) {
    case Status::Ok:
        break;
    case Status::NoReply:
        ++noReply;
        break;
    case Status::CheckError:
        ++checkError;
        break;
    case Status::BadReply:
        ++badReply;
        break;
    case Status::PortLost:
        ++portLost;
        break;
    case Status::LateReply:
        ++lateReply;
        break;
    }
    if (r.status != Status::Ok) {
        ++errorsInRow;
        return;
    }
    errorsInRow = 0;
    const double v = *r.value;
    if (readings == 0 || v < min) {
        min = v;
        minText = WithUnit(r);
    }
    if (readings == 0 || v > max) {
        max = v;
        maxText = WithUnit(r);
    }
    ++readings;
    sum += v;
    lastText = WithUnit(r);
    unit = r.unit;
    decimals = DecimalsOf(r.valueText);
}

MeterSettings MeterSettings::From(const Options& o)
{
    return {o.model, o.interval, o.timeout, o.mode, o.voltageRange, o.currentRange, o.count};
}

TMeter::TMeter(const PortChoice& choice, const MeterSettings& settings, const LogClock& clock,
               TReport report, TNote note)
    : name(choice.Name()), settings(settings), clock(clock), report(std::move(report)),
      note(std::move(note)), port(choice)
{
    if (settings.mode) {
        setup.push_back({Command::SetMode, *settings.mode, "--mode"});
    }
    if (settings.voltageRange) {
        setup.push_back({Command::SetVoltageRange, *settings.voltageRange, "--vrange"});
    }
    if (settings.currentRange) {
        setup.push_back({Command::SetCurrentRange, *settings.currentRange, "--crange"});
    }
    for (QTimer* t : {&interval, &timeout}) {
        t->setSingleShot(true);
        // The pause and the time-out are never cut short by a coarse timer.
        t->setTimerType(Qt::PreciseTimer);
    }
    quiet.setSingleShot(true);
    quiet.setTimerType(Qt::PreciseTimer);
    interval.setInterval(settings.interval);
    timeout.setInterval(settings.timeout);
    // A reply later than a whole time-out of silence after the one that
    // was missed is no longer taken for the next one's; the pause after a
    // reply is kept as well.
    quiet.setInterval(std::max(settings.timeout, settings.interval));
    reconnect.setInterval(ReconnectPeriod);
    QObject::connect(&interval, &QTimer::timeout, &context, [this] {
        loopThread.Assume();
        Next();
    });
    QObject::connect(&timeout, &QTimer::timeout, &context, [this] {
        loopThread.Assume();
        TimedOut();
    });
    QObject::connect(&quiet, &QTimer::timeout, &context, [this] {
        loopThread.Assume();
        QuietEnough();
    });
    QObject::connect(&reconnect, &QTimer::timeout, &context, [this] {
        loopThread.Assume();
        Reconnect();
    });
    port.SetOnTrigger([this](TSerCustomComPort*, std::uint16_t msg, std::uint16_t, std::uint16_t) {
        loopThread.Assume();
        if (msg == TriggerAvailMsg) {
            Trigger();
        }
    });
}

TMeter::~TMeter()
{
    Stop();
}

void TMeter::Open()
{
    loopThread.Assume();
    port.SetOpen(true);
    identity = Identify();
}

platform::DeviceIdentity TMeter::Identify() const
{
    return platform::IdentifyDevice(port.Device());
}

void TMeter::Start()
{
    loopThread.Assume();
    running = true;
    Next();
}

void TMeter::Stop()
{
    loopThread.Assume();
    running = false;
    awaiting = false;
    settling = false;
    interval.stop();
    timeout.stop();
    quiet.stop();
    reconnect.stop();
    try {
        port.SetOpen(false);
    } catch (const std::exception&) {
        // A device that has gone fails its close's flushes; it is closed.
    }
}

void TMeter::Next()
{
    if (!running) {
        return;
    }
    Send(setupDone < setup.size() ? setup[setupDone]
                                  : Step{Command::ReadMeasurement, 0, "the measurement query"});
}

void TMeter::Send(const Step& step)
{
    Frame frame{};
    frame[1] = step.parameter;
    const std::uint8_t length = BuildRequest(frame, step.command);
    current = step;
    try {
        port.PurgeInput();
        port.PurgeOutput();
        // Told once the whole reply is in, not for each byte of it.
        port.SetAvailTriggerLength(ExpectedReplyLength(step.command));
        port.PutBlock(frame.data(), length);
    } catch (const std::exception& e) {
        Lost(e);
        return;
    }
    ++serial;
    awaiting = true;
    seenAtTimeout = 0;
    timeout.start();
}

void TMeter::Trigger()
{
    if (settling) {
        ++progress;
        // A reply to a request that was given up: the quiet time starts
        // again, and the next request's purge drops it. Its line is written
        // now, in time order with the other meters' (outside the
        // notification, as a take is).
        quiet.start();
        if (lateLine && !lateSeen) {
            lateSeen = true;
            QMetaObject::invokeMethod(
                &context,
                [this, time = clock.Now()] {
                    loopThread.Assume();
                    Reading r;
                    r.time = time;
                    r.port = name;
                    r.status = Status::LateReply;
                    Emit(std::move(r));
                },
                Qt::QueuedConnection);
        }
        return;
    }
    if (!awaiting || takeQueued || port.InputWaiting() < ExpectedReplyLength(current.command)) {
        return;
    }
    // Taken outside the notification, which holds the dispatchers' table.
    takeQueued = true;
    QMetaObject::invokeMethod(
        &context,
        [this, sent = serial] {
            loopThread.Assume();
            takeQueued = false;
            if (sent == serial) {
                Take();
            }
        },
        Qt::QueuedConnection);
}

void TMeter::TimedOut()
{
    if (!awaiting) {
        return;
    }
    // A reply still coming in gets another time-out from here: bytes are
    // told of only once the whole reply is in.
    if (const std::uint16_t now = port.InputWaiting(); now > seenAtTimeout) {
        seenAtTimeout = now;
        timeout.start();
        return;
    }
    Take();
}

void TMeter::Take()
{
    if (!awaiting) {
        return;
    }
    awaiting = false;
    timeout.stop();
    Frame reply{};
    TakenReply taken;
    try {
        taken = TakeWaitingReply(port, reply);
        // A request still queued never reached the line (an adapter that
        // takes no bytes): its time-out is no step.
        TSerBaseDispatcher* d = port.Dispatcher();
        if (taken.kept > 0 || d == nullptr || d->OutputUsed() == 0) {
            ++progress;
        }
    } catch (const std::exception& e) {
        Lost(e);
        return;
    }
    Settled(taken, reply, taken.kept);
}

void TMeter::Settled(const TakenReply& taken, const Frame& reply, std::uint16_t count)
{
    if (current.command != Command::ReadMeasurement) {
        const bool acknowledged = taken.linkError == LinkErrorNone &&
                                  ClassifyReply(reply[0]) == ReplyKind::Acknowledgement;
        if (!acknowledged) {
            const char* why = taken.linkError == LinkErrorNoReply     ? "no reply"
                              : taken.linkError == LinkErrorCheckCode ? "wrong check code"
                                                                      : "not an acknowledgement";
            const std::string text =
                name + ": the meter did not acknowledge " + current.what + " (" + why + ")";
            if (!started) {
                Stop();
                note(*this, text, true);
                return;
            }
            note(*this, text, false);
        }
        if (++setupDone == setup.size()) {
            started = true;
        }
        if (taken.linkError == LinkErrorNoReply) {
            Settle(false);
        } else {
            ScheduleNext();
        }
        return;
    }
    started = true;
    Reading r;
    r.time = clock.Now();
    r.port = name;
    if (taken.linkError == LinkErrorNoReply) {
        r.status = Status::NoReply;
    } else if (taken.linkError == LinkErrorCheckCode) {
        r.status = Status::CheckError;
    } else if (count != MeasurementReplyLength ||
               ClassifyReply(reply[0]) != ReplyKind::Measurement) {
        r.status = Status::BadReply;
    } else {
        const ReplyDecision d = DecideReply(reply, integerDigits, settings.model, ".");
        integerDigits = d.integerDigits;
        record::FillMeasurement(r, reply, d, settings.model);
    }
    const bool missed = r.status == Status::NoReply;
    Emit(std::move(r));
    if (missed) {
        Settle(true);
    } else {
        ScheduleNext();
    }
}

void TMeter::Emit(Reading reading)
{
    report(*this, reading);
}

void TMeter::Written(const Reading& reading)
{
    loopThread.Assume();
    stats.Add(reading);
    if (settings.count && stats.lines >= *settings.count) {
        done = true;
        running = false;
    }
}

void TMeter::Settle(bool line)
{
    if (!running) {
        return;
    }
    settling = true;
    lateLine = line;
    lateSeen = false;
    // Every late byte starts the quiet time again.
    port.SetAvailTriggerLength(1);
    quiet.start();
}

void TMeter::QuietEnough()
{
    settling = false;
    Next();
}

void TMeter::ScheduleNext()
{
    if (!running) {
        return;
    }
    if (settings.interval.count() > 0) {
        interval.start();
    } else {
        // Through the event loop, so that other meters and signals get
        // their turn between the exchanges.
        QMetaObject::invokeMethod(
            &context,
            [this] {
                loopThread.Assume();
                Next();
            },
            Qt::QueuedConnection);
    }
}

void TMeter::Lost(const std::exception& e)
{
    awaiting = false;
    settling = false;
    timeout.stop();
    quiet.stop();
    try {
        port.SetOpen(false);
    } catch (const std::exception&) {
    }
    // Its number goes to the next terminal anyone opens; only a COM link
    // made anew brings the meter back.
    gone = identity.pseudoTerminal && identity.link.empty();
    note(*this,
         name + ": " + Sentence(e.what()) +
             (gone ? "; a pseudo-terminal that hung up does not come back"
                   : "; logging resumes when it is back"),
         false);
    if (started) {
        Reading r;
        r.time = clock.Now();
        r.port = name;
        r.status = Status::PortLost;
        Emit(std::move(r));
    }
    if (running && !gone) {
        reconnect.start();
    }
}

void TMeter::Reconnect()
{
    if (!running) {
        reconnect.stop();
        return;
    }
    ++progress;
    // Only the device that was lost: whatever has its path now may be
    // someone else's.
    if (!platform::MayResume(identity, Identify())) {
        return;
    }
    try {
        port.SetOpen(true);
    } catch (const std::exception&) {
        return; // not back yet
    }
    identity = Identify();
    reconnect.stop();
    note(*this, name + ": back, logging resumes", false);
    setupDone = 0;
    Next();
}

} // namespace vlog
