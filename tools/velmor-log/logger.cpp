#include "velmor-log/logger.h"

#include "platform/EndingSignals.h"
#include "protocol/float.h"
#include "serial/SerExcept.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>

#include <csignal>
#include <sys/ioctl.h>
#include <system_error>
#include <unistd.h>

namespace vlog {

namespace {

constexpr std::chrono::milliseconds StatusPeriod{100}; // ten redraws a second at most

void Error(const std::string& text)
{
    const std::string line = "velmor-log: " + text + "\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
}

int TerminalWidth()
{
    winsize size{};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

std::string OpenFailure(const std::string& port, bool byNumber, const std::exception& e)
{
    if (dynamic_cast<const EBadId*>(&e) != nullptr) {
        return port + (byNumber ? ": no such port in the COM port map" : ": no such device");
    }
    if (dynamic_cast<const EAlreadyOpen*>(&e) != nullptr) {
        return port + ": held by another program";
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
            choice, settings, clock, [this](TMeter& m, const Reading& r) { Report(m, r); },
            [this](TMeter&, const std::string& text, bool failed) {
                Note(text);
                if (failed) {
                    Finish(ExitFailure);
                }
            }));
    }
    samples.resize(meters.size());
}

TLogger::~TLogger()
{
    meters.clear();
    endingSignals.reset();
    if (signalFd >= 0) {
        ::close(signalFd);
    }
}

int TLogger::Run()
{
    // Nothing is written before every port has opened.
    for (std::size_t i = 0; i < meters.size(); ++i) {
        try {
            meters[i]->Open();
        } catch (const std::exception& e) {
            Error(OpenFailure(meters[i]->Name(), options.ports[i].device.empty(), e));
            return ExitBadInput;
        }
    }
    if (!OpenOutput()) {
        return ExitBadInput;
    }

    try {
        signalFd = platform::OpenEndingSignals();
    } catch (const std::system_error& e) {
        Error(e.what());
        return ExitFailure;
    }
    endingSignals = std::make_unique<QSocketNotifier>(signalFd, QSocketNotifier::Read);
    QObject::connect(endingSignals.get(), &QSocketNotifier::activated, [this] {
        platform::TakeEndingSignals(signalFd);
        Finish(ExitOk);
    });

    if (options.duration) {
        durationTimer.setSingleShot(true);
        durationTimer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&durationTimer, &QTimer::timeout, [this] { Finish(ExitOk); });
        durationTimer.start(*options.duration);
    }
    live = !options.quiet && ::isatty(STDERR_FILENO) == 1;
    if (live) {
        QObject::connect(&statusTick, &QTimer::timeout, [this] { DrawStatus(); });
        statusTick.start(StatusPeriod);
    }

    for (auto& meter : meters) {
        meter->Start();
    }
    const int status = exitStatus ? *exitStatus : QCoreApplication::exec();

    statusTick.stop();
    ClearStatus();
    for (auto& meter : meters) {
        meter->Stop();
    }
    std::string summary;
    for (const auto& meter : meters) {
        summary += Summary(*meter);
    }
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, summary.data(), summary.size());
    return status;
}

bool TLogger::OpenOutput()
{
    const std::string error = output.Open(options.output, options.format);
    if (!error.empty()) {
        Error(error);
        return false;
    }
    return true;
}

void TLogger::Report(TMeter& meter, const Reading& reading)
{
    if (exitStatus) {
        return;
    }
    const std::string error = output.Append(reading);
    if (!error.empty()) {
        Note(error);
        Finish(ExitFailure);
        return;
    }
    const MeterStats& s = meter.Stats();
    if (options.maxErrors && s.errorsInRow >= *options.maxErrors) {
        Note(meter.Name() + ": " + std::to_string(s.errorsInRow) + " errors in a row, giving up");
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

void TLogger::Note(const std::string& text)
{
    ClearStatus();
    Error(text);
}

void TLogger::Finish(int status)
{
    if (exitStatus) {
        return;
    }
    exitStatus = status;
    for (auto& meter : meters) {
        meter->Stop();
    }
    // Through the loop, which may not be running yet.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [status] { QCoreApplication::exit(status); },
        Qt::QueuedConnection);
}

void TLogger::DrawStatus()
{
    const auto now = std::chrono::steady_clock::now();
    const std::size_t width = static_cast<std::size_t>(std::max(TerminalWidth() - 1, 10));
    std::string screen = drawn > 0 ? "\033[" + std::to_string(drawn) + "F" : "";
    for (std::size_t i = 0; i < meters.size(); ++i) {
        auto& window = samples[i];
        window.push_back({now, meters[i]->Stats().readings});
        while (window.size() > 2 && now - window[1].time >= std::chrono::seconds(1)) {
            window.pop_front();
        }
        std::string line = StatusLine(i);
        if (line.size() > width) {
            line.resize(width);
        }
        screen += "\033[2K" + line + "\n";
    }
    drawn = meters.size();
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

std::string TLogger::Summary(const TMeter& meter) const
{
    const MeterStats& s = meter.Stats();
    std::string text =
        meter.Name() + ": " + Counted(s.readings, "reading") + ", " + Counted(s.Errors(), "error");
    std::string kinds;
    const std::pair<const char*, std::uint64_t> counts[] = {{"no-reply", s.noReply},
                                                            {"check-error", s.checkError},
                                                            {"bad-reply", s.badReply},
                                                            {"port-lost", s.portLost}};
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
