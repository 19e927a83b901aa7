#pragma once

#include "platform/SignalNotifier.h"
#include "record/RecordFile.h"
#include "velmor-log/journal.h"
#include "velmor-log/meter.h"
#include "velmor-log/options.h"
#include "velmor-log/publisher.h"
#include "velmor-log/service.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vlog {

// Blocks SIGINT, SIGTERM and SIGHUP, so that they wait for the event loop's
// descriptor, and ignores SIGPIPE, so that a reader that went away is a
// write error. Must run on the initial thread before any other thread exists.
void BlockEndingSignals();

// Every live line and the summary go to standard error; lines of readings to
// the output, and with --mqtt to the broker too. One per run, on the thread
// of the event loop. A failure in the serial library's threads ends the run
// (exit 1): a meter whose port has no threads left would only seem silent.
// With a broker, polling starts once every connection has had its first
// answer (or after StartPatience): a refusal then ends the run before
// anything is logged, a broker away only queues the readings.
class TLogger {
public:
    explicit TLogger(const Options& options);
    ~TLogger();
    TLogger(const TLogger&) = delete;
    TLogger& operator=(const TLogger&) = delete;

    // Opens the ports and the output, logs until a stop, prints the summary
    // and releases the ports. Returns the exit status.
    int Run();

private:
    // Run's steps. Open: the ending signals, the broker's set-up, the ports
    // and the output; the exit status when the run cannot begin.
    std::optional<int> Open();
    std::string OpenMeters(); // why a port did not open, or empty
    std::optional<int> OpenOutput();
    void StartRun(); // the status line, the service, the broker, then logging
    // The broker's delivery of what is queued, and its summary line.
    std::string CloseBroker();
    void Report(std::size_t index, TMeter& meter, const Reading& reading);
    void StartLogging();
    // The broker's connections changed.
    void OnBroker();
    void Note(const std::string& text, Priority priority = Priority::Error);
    void Finish(int status);
    // Ends the run once no meter can log any more.
    void CheckOver();
    // Why the ports and the output cannot be used together, or empty.
    std::string CheckPorts() const;
    void DrawStatus();
    void ClearStatus();
    void TakeSamples(); // each meter's reading count now, for its rate
    std::string StatusLine(std::size_t index) const;
    std::string BrokerLine() const;
    std::string Summary(const TMeter& meter) const;
    // For a service manager (service.cpp beside the logger's own).
    void StartService();
    void CheckReady();
    bool Polling();
    std::string ServiceStatus();
    void Reopen();

    const Options options;
    LogClock clock;
    QObject context; // calls queued from the serial library's threads die with it
    std::vector<std::unique_ptr<TMeter>> meters;
    record::TRecordFile output;
    std::optional<int> exitStatus;
    bool logging = false; // the meters were started

    // After the context, so that its thread has ended before the context's
    // queued calls die.
    std::unique_ptr<TPublisher> publisher;
    QTimer startPatience;
    BrokerState::Kind brokerKind = BrokerState::Kind::Connecting; // as last told
    bool refused = false;                                         // by the broker, at the start

    // The live status: on a terminal only, redrawn every tick.
    bool live = false;
    QTimer statusTick;
    std::size_t drawn = 0; // status lines on the screen
    struct Sample {
        std::chrono::steady_clock::time_point time;
        std::uint64_t readings;
    };
    std::vector<std::deque<Sample>> samples; // per meter, the last second

    TService service;
    bool settingsGiven = false;
    QTimer serviceTick; // the status, once a second
    struct Progress {
        std::uint64_t steps = 0;
        std::chrono::steady_clock::time_point since;
    };
    std::vector<Progress> progress; // per meter, for the watchdog

    std::optional<platform::SignalNotifier> endingSignals;
    QTimer durationTimer;
};

} // namespace vlog
