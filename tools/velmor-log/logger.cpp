#include "velmor-log/logger.h"

#include "platform/EndingSignals.h"
#include "platform/LastError.h"
#include "protocol/float.h"
#include "serial/SerExcept.h"
#include "serial/SerMisc.h"
#include "serial/SerWin32.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <csignal>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace vlog {

namespace {

constexpr std::chrono::milliseconds StatusPeriod{100}; // ten redraws a second at most
// How long the start waits for the broker's first answer, and the end for it
// to acknowledge what is queued.
constexpr std::chrono::milliseconds StartPatience{2000};
constexpr std::chrono::milliseconds DeliveryPatience{5000};

void Error(const std::string& text, Priority priority = Priority::Error)
{
    Say(priority, "velmor-log: " + text + "\n");
}

int TerminalWidth()
{
    winsize size{};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

// What the device layer found, in the words of the other lines; what it
// did not word itself, in the library's.
std::string OpenFailure(const std::string& port, bool byNumber, const std::exception& e)
{
    const platform::OpenRefusal refusal = platform::LastOpenRefusal();
    switch (refusal.finding) {
    case platform::OpenFinding::Unmapped:
        return port + ": no such port in the COM port map";
    case platform::OpenFinding::Missing:
        // "COM3 is /dev/ttyUSB2, which is not there": the map pins it.
        return byNumber ? platform::LastErrorDetail() : port + ": no such device";
    case platform::OpenFinding::NotAPort:
        return port + ": not a serial port";
    case platform::OpenFinding::Held:
        return port + ": held by " + (refusal.holder.empty() ? "another program" : refusal.holder);
    case platform::OpenFinding::Terminal:
        return port + ": the terminal of " + refusal.holder + ", not a meter's port";
    case platform::OpenFinding::BadLock:
        return port + ": its lock file " + refusal.lockFile + " is " + refusal.lockWhat +
               ", not a lock file";
    case platform::OpenFinding::None:
    case platform::OpenFinding::Other:
        break;
    }
    return port + ": " + e.what();
}

std::string Counted(std::uint64_t n, const char* thing)
{
    return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

} // namespace

void BlockEndingSignals()
{
    platform::BlockEndingSignals();
    std::signal(SIGPIPE, SIG_IGN);
}

TLogger::TLogger(const Options& options) : options(options)
{
    const MeterSettings settings = MeterSettings::From(options);
    for (const PortChoice& choice : options.ports) {
        meters.push_back(std::make_unique<TMeter>(
            choice, settings, clock,
            [this, index = meters.size()](TMeter& m, const Reading& r) { Report(index, m, r); },
            [this](TMeter&, const std::string& text, bool failed) {
                Note(text, failed ? Priority::Error : Priority::Warning);
                if (failed) {
                    Finish(ExitFailure);
                    return;
                }
                // After the meter has written what its loss brings.
                QMetaObject::invokeMethod(
                    &context, [this] { CheckOver(); }, Qt::QueuedConnection);
            }));
    }
    samples.resize(meters.size());
    if (options.mqtt) {
        publisher = std::make_unique<TPublisher>(
            *options.mqtt, options.ports, options.model == ModelVelmor ? "velmor" : "dranik",
            [this] {
                // On the sender thread; taken up on the loop's.
                QMetaObject::invokeMethod(
                    &context, [this] { OnBroker(); }, Qt::QueuedConnection);
            });
    }
    // Called on the thread that failed; the run ends on the loop's.
    TSerWin32Dispatcher::SetThreadExceptionHandler([this](std::exception_ptr error) {
        QMetaObject::invokeMethod(
            &context,
            [this, error] {
                Note("the serial port's threads failed: " + ExceptionMessage(error));
                Finish(ExitFailure);
            },
            Qt::QueuedConnection);
    });
}

TLogger::~TLogger()
{
    publisher.reset();
    meters.clear();
    TSerWin32Dispatcher::SetThreadExceptionHandler({});
    endingSignals.reset();
}

int TLogger::Run()
{
    if (const std::optional<int> refused = Open()) {
        return *refused;
    }
    StartRun();
    const int status = exitStatus ? *exitStatus : QCoreApplication::exec();
    service.Stopping(ServiceStatus());

    statusTick.stop();
    ClearStatus();
    for (auto& meter : meters) {
        meter->Stop();
    }
    const std::string broker = CloseBroker();
    // A run the broker refused has said why already, and logged nothing.
    std::string summary;
    if (!refused) {
        for (const auto& meter : meters) {
            summary += Summary(*meter);
        }
    }
    Say(Priority::Info, summary + broker);
    return status;
}

std::optional<int> TLogger::Open()
{
    // First, so that an ending signal ends the run wherever it is, also in
    // a wait for the output (a FIFO without a reader, a pipe that is full).
    try {
        endingSignals.emplace(platform::EndingSignalSet(), [this] { Finish(ExitOk); });
    } catch (const std::system_error& e) {
        Error(e.what());
        return ExitFailure;
    }
    output.SetStop(endingSignals->Fd());

    std::string error = publisher ? publisher->Prepare() : std::string();
    if (error.empty()) {
        error = CheckPorts();
    }
    if (error.empty()) {
        error = OpenMeters();
    }
    if (!error.empty()) {
        Error(error);
        return ExitBadInput;
    }
    return OpenOutput();
}

std::string TLogger::OpenMeters()
{
    // Nothing is written before every port has opened.
    for (std::size_t i = 0; i < meters.size(); ++i) {
        try {
            meters[i]->Open();
        } catch (const std::exception& e) {
            return OpenFailure(meters[i]->Name(), options.ports[i].device.empty(), e);
        }
    }
    return {};
}

std::optional<int> TLogger::OpenOutput()
{
    if (!options.toOutput) {
        return std::nullopt;
    }
    if (const std::string error = output.Open(options.output, options.format); !error.empty()) {
        if (output.LastTrouble() != record::TRecordFile::Trouble::Stopped) {
            Error(error);
            return ExitBadInput;
        }
        exitStatus = ExitOk; // stopped while waiting for a reader
    }
    return std::nullopt;
}

void TLogger::StartRun()
{
    // A service's status goes to its manager instead.
    live = !options.quiet && ::isatty(STDERR_FILENO) == 1 && !service.Notifying();
    if (live) {
        QObject::connect(&statusTick, &QTimer::timeout, [this] { DrawStatus(); });
        statusTick.start(StatusPeriod);
    }
    StartService();
    if (!publisher || exitStatus) {
        StartLogging();
        return;
    }
    publisher->Start();
    startPatience.setSingleShot(true);
    QObject::connect(&startPatience, &QTimer::timeout, [this] {
        Note(publisher->Url() + ": no answer yet; readings are queued until it answers");
        brokerKind = BrokerState::Kind::Away;
        StartLogging();
    });
    startPatience.start(StartPatience);
}

std::string TLogger::CloseBroker()
{
    if (!publisher) {
        return {};
    }
    // Said when the wait may be long: the broker is away.
    if (const std::uint64_t queued = publisher->Counts().queued;
        queued > 0 && publisher->State().kind != BrokerState::Kind::Connected) {
        Error("delivering " + Counted(queued, "queued reading") + " to " + publisher->Url() +
              " (up to " + std::to_string(DeliveryPatience.count() / 1000) + " s)");
    }
    const PublishCounts c = publisher->Close(DeliveryPatience, endingSignals->Fd());
    if (!logging) {
        return {};
    }
    return "MQTT " + publisher->Url() + ": " + std::to_string(c.published) + " published, " +
           std::to_string(c.dropped) + " dropped, " + std::to_string(c.queued) + " not delivered\n";
}

void TLogger::StartLogging()
{
    if (logging || exitStatus) {
        return;
    }
    logging = true;
    startPatience.stop();
    if (publisher) {
        publisher->Begin();
    }
    if (options.duration) {
        durationTimer.setSingleShot(true);
        durationTimer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&durationTimer, &QTimer::timeout, [this] { Finish(ExitOk); });
        durationTimer.start(*options.duration);
    }
    for (std::size_t i = 0; i < meters.size() && !exitStatus; ++i) {
        meters[i]->Start();
    }
    CheckReady();
}

void TLogger::OnBroker()
{
    if (!publisher || exitStatus) {
        return;
    }
    const BrokerState state = publisher->State();
    if (!logging) {
        if (!state.settled) {
            return; // every connection's first answer decides
        }
        brokerKind = state.kind;
        if (state.kind == BrokerState::Kind::Refused) {
            refused = true;
            Note(publisher->Url() + ": " + state.text);
            Finish(ExitFailure);
            return;
        }
        if (state.kind == BrokerState::Kind::Away) {
            Note(publisher->Url() + ": " + state.text + "; readings are queued until it answers");
        }
        StartLogging();
        return;
    }
    // Only a change of kind is a line; the status line follows every change.
    if (state.kind == brokerKind || state.kind == BrokerState::Kind::Connecting) {
        return;
    }
    brokerKind = state.kind;
    Note(publisher->Url() + ": " + state.text +
         (state.kind == BrokerState::Kind::Connected ? "" : "; readings are queued, retrying"));
}

std::string TLogger::CheckPorts() const
{
    std::vector<platform::DeviceIdentity> devices;
    for (const auto& meter : meters) {
        devices.push_back(meter->Identify());
    }
    for (std::size_t i = 0; i < devices.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (devices[i].rdev != 0 && devices[i].rdev == devices[j].rdev) {
                return meters[j]->Name() + " and " + meters[i]->Name() +
                       " are one device: each meter needs a port of its own";
            }
        }
    }
    // The lines would go down the meter's line.
    struct stat st {};
    const bool known =
        options.toOutput && (options.output.empty() ? ::fstat(STDOUT_FILENO, &st) == 0
                                                    : ::stat(options.output.c_str(), &st) == 0);
    for (std::size_t i = 0; known && S_ISCHR(st.st_mode) && i < devices.size(); ++i) {
        if (devices[i].rdev == st.st_rdev) {
            return (options.output.empty() ? "standard output" : "--output " + options.output) +
                   " is a meter's port (" + meters[i]->Name() + ")";
        }
    }
    return {};
}

void TLogger::Report(std::size_t index, TMeter& meter, const Reading& reading)
{
    if (exitStatus) {
        return;
    }
    const std::string error = options.toOutput ? output.Append(reading) : std::string();
    if (!error.empty()) {
        switch (output.LastTrouble()) {
        case record::TRecordFile::Trouble::Stopped:
            Finish(ExitOk); // a signal ended the wait for room: the line is not written
            return;
        case record::TRecordFile::Trouble::Refused:
            // Found at the first line: another program began the file.
            Note(error);
            Finish(ExitBadInput);
            return;
        case record::TRecordFile::Trouble::None:
        case record::TRecordFile::Trouble::Failed:
            break;
        }
        Note(error);
        Finish(ExitFailure);
        return;
    }
    meter.Written(reading);
    if (publisher) {
        publisher->Publish(index, reading);
    }
    CheckReady();
    const MeterStats& s = meter.Stats();
    if (options.maxErrors && s.errorsInRow >= *options.maxErrors) {
        Note(meter.Name() + ": " + Counted(s.errorsInRow, "error") + " in a row, giving up");
        Finish(ExitFailure);
        return;
    }
    for (const auto& m : meters) {
        if (!m->Done()) {
            return;
        }
    }
    Finish(ExitOk);
}

void TLogger::CheckOver()
{
    bool gone = false;
    for (const auto& meter : meters) {
        if (!meter->Done() && !meter->Gone()) {
            return;
        }
        gone = gone || meter->Gone();
    }
    if (gone && !exitStatus) {
        Note("no meter is left to log, giving up");
        Finish(ExitFailure);
    }
}

void TLogger::Note(const std::string& text, Priority priority)
{
    ClearStatus();
    Error(text, priority);
}

void TLogger::Finish(int status)
{
    if (exitStatus) {
        return;
    }
    exitStatus = status;
    service.Stopping(ServiceStatus());
    for (auto& meter : meters) {
        meter->Stop();
    }
    // Through the loop, which may not be running yet.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [status] { QCoreApplication::exit(status); },
        Qt::QueuedConnection);
}

void TLogger::TakeSamples()
{
    const auto now = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < meters.size(); ++i) {
        auto& window = samples[i];
        window.push_back({now, meters[i]->Stats().readings});
        while (window.size() > 2 && now - window[1].time >= std::chrono::seconds(1)) {
            window.pop_front();
        }
    }
}

void TLogger::DrawStatus()
{
    TakeSamples();
    const std::size_t width = static_cast<std::size_t>(std::max(TerminalWidth() - 1, 10));
    std::string screen = drawn > 0 ? "\033[" + std::to_string(drawn) + "F" : "";
    for (std::size_t i = 0; i < meters.size(); ++i) {
        std::string line = StatusLine(i);
        if (line.size() > width) {
            line.resize(width);
        }
        screen += "\033[2K" + line + "\n";
    }
    drawn = meters.size();
    if (publisher) {
        std::string line = BrokerLine();
        if (line.size() > width) {
            line.resize(width);
        }
        screen += "\033[2K" + line + "\n";
        ++drawn;
    }
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, screen.data(), screen.size());
}

void TLogger::ClearStatus()
{
    if (drawn == 0) {
        return;
    }
    const std::string clear = "\033[" + std::to_string(drawn) + "F\033[J";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, clear.data(), clear.size());
    drawn = 0;
}

std::string TLogger::StatusLine(std::size_t index) const
{
    const MeterStats& s = meters[index]->Stats();
    const auto& window = samples[index];
    double rate = 0;
    if (window.size() >= 2) {
        const std::chrono::duration<double> span = window.back().time - window.front().time;
        if (span.count() > 0) {
            rate = static_cast<double>(window.back().readings - window.front().readings) /
                   span.count();
        }
    }
    char rateText[32];
    std::snprintf(rateText, sizeof rateText, "%.1f/s", rate);
    return meters[index]->Name() + "  " + Counted(s.readings, "reading") + "  " +
           Counted(s.Errors(), "error") + "  last " + (s.lastText.empty() ? "-" : s.lastText) +
           "  " + rateText;
}

std::string TLogger::BrokerLine() const
{
    const PublishCounts c = publisher->Counts();
    return "MQTT " + publisher->Url() + "  " + publisher->State().text + "  " +
           std::to_string(c.published) + " published  " + std::to_string(c.queued) + " queued  " +
           std::to_string(c.dropped) + " dropped";
}

std::string TLogger::Summary(const TMeter& meter) const
{
    const MeterStats& s = meter.Stats();
    std::string text =
        meter.Name() + ": " + Counted(s.readings, "reading") + ", " + Counted(s.Errors(), "error");
    std::string kinds;
    const std::pair<const char*, std::uint64_t> counts[] = {{"no-reply", s.noReply},
                                                            {"check-error", s.checkError},
                                                            {"bad-reply", s.badReply},
                                                            {"port-lost", s.portLost},
                                                            {"late-reply", s.lateReply}};
    for (const auto& [kind, n] : counts) {
        if (n > 0) {
            kinds += (kinds.empty() ? "" : ", ") + std::string(kind) + " " + std::to_string(n);
        }
    }
    if (!kinds.empty()) {
        text += " (" + kinds + ")";
    }
    if (s.readings > 0) {
        const std::string unit = s.unit.empty() ? "" : " " + s.unit;
        text += "; min " + s.minText + ", max " + s.maxText + ", mean " +
                FormatFixed(s.sum / static_cast<double>(s.readings), s.decimals, ".") + unit;
    }
    return text + "\n";
}

} // namespace vlog
