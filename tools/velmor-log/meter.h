#pragma once

#include "velmor-log/options.h"

#include "protocol/float.h"
#include "protocol/frames.h"
#include "serial/SerPort.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vlog {

using record::LogClock;
using record::Reading;
using record::Status;

// The port component, opened by COM number or by a device path.
class TLogPort : public TSerComPort {
public:
    explicit TLogPort(const PortChoice& choice);

protected:
    void ValidateComNumber() override;
    std::string DeviceName() const override;

private:
    std::string devicePath; // absolute; empty for a COM number
};

// What one meter has logged, for the live status and the summary.
struct MeterStats {
    std::uint64_t lines = 0;
    std::uint64_t readings = 0; // status ok
    std::uint64_t noReply = 0;
    std::uint64_t checkError = 0;
    std::uint64_t badReply = 0;
    std::uint64_t portLost = 0;
    std::uint64_t errorsInRow = 0;
    double min = 0;
    double max = 0;
    double sum = 0;
    std::string minText, maxText, lastText; // as shown, with the unit
    std::string unit;                       // of the last reading
    int decimals = 0;                       // of the last reading

    std::uint64_t Errors() const { return noReply + checkError + badReply + portLost; }
    void Add(const Reading& reading);
};

struct MeterSettings {
    std::uint8_t model = ModelDranik;
    std::chrono::milliseconds interval{100};
    std::chrono::milliseconds timeout{500};
    std::optional<std::uint8_t> mode, voltageRange, currentRange;
    std::optional<std::uint64_t> count;

    static MeterSettings From(const Options& options);
};

// Polls one meter as the window does: a request, its reply (complete at the
// expected length, or the time-out after the last byte), the pause, the next
// request. The setting commands go first, each acknowledged before the next.
// Lives on the thread that runs the event loop, which also opens the port,
// so every trigger and timer of the meter runs there.
class TMeter {
public:
    using TReport = std::function<void(TMeter&, const Reading&)>;
    // A message for the user; failed: the meter cannot go on (a setting
    // was not acknowledged at start).
    using TNote = std::function<void(TMeter&, const std::string& text, bool failed)>;

    TMeter(const PortChoice& choice, const MeterSettings& settings, const LogClock& clock,
           TReport report, TNote note);
    ~TMeter();
    TMeter(const TMeter&) = delete;
    TMeter& operator=(const TMeter&) = delete;

    // Opens the port; raises the component's exception when it cannot.
    void Open();
    // Sends the settings, then polls until Stop or --count.
    void Start();
    // Ends polling and releases the port.
    void Stop();

    const std::string& Name() const { return name; }
    const MeterStats& Stats() const { return stats; }
    bool Done() const { return done; }

private:
    struct Step {
        Command command;
        std::uint8_t parameter;
        const char* what; // the option it comes from, for messages
    };

    void Next();
    void Send(const Step& step);
    void Trigger();
    void Take();
    void Settled(const TakenReply& taken, const Frame& reply, std::uint16_t count);
    void Emit(Reading reading);
    void Lost(const std::exception& e);
    void Reconnect();
    void ScheduleNext();

    std::string name;
    MeterSettings settings;
    const LogClock& clock;
    TReport report;
    TNote note;
    TLogPort port;
    QObject context; // queued calls and timers die with the meter
    QTimer interval;
    QTimer timeout;
    QTimer reconnect;

    std::vector<Step> setup;
    std::size_t setupDone = 0;
    bool started = false; // the settings went through once
    Step current{Command::ReadMeasurement, 0, ""};
    bool awaiting = false;
    bool takeQueued = false;
    std::uint64_t serial = 0; // requests sent, so a late take finds its own
    std::uint8_t integerDigits = 0;
    bool running = false;
    bool done = false;
    MeterStats stats;
};

} // namespace vlog
