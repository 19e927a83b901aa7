#pragma once

#include "velmor-log/options.h"

#include "platform/DeviceIdentity.h"
#include "platform/Mutex.h"
#include "protocol/float.h"
#include "protocol/frames.h"
#include "serial/SerPort.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>
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

    // The name the device layer opens: "\\.\COMn" or the absolute path.
    std::string Device() const { return DeviceName(); }

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
    std::uint64_t lateReply = 0;
    std::uint64_t errorsInRow = 0;
    double min = 0;
    double max = 0;
    double sum = 0;
    std::string minText, maxText, lastText; // as shown, with the unit
    std::string unit;                       // of the last reading
    int decimals = 0;                       // of the last reading

    std::uint64_t Errors() const { return noReply + checkError + badReply + portLost + lateReply; }
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
// expected length, or the time-out, again while bytes keep coming), the pause, the next
// request. The setting commands go first, each acknowledged before the next.
// After a request that got no reply the next waits until the line has been
// quiet for a time-out, so that a late reply is not taken for its answer.
// Lives on the thread that runs the event loop, which also opens the port,
// so every trigger and timer of the meter runs there.
class TMeter {
public:
    // A line for the output; the meter counts it once Written says so.
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

    // The reading reported is in the output: it counts for the summary
    // and for --count.
    void Written(const Reading& reading);

    const std::string& Name() const { return name; }
    const MeterStats& Stats() const
    {
        loopThread.Assume();
        return stats;
    }
    bool Done() const
    {
        loopThread.Assume();
        return done;
    }
    // The device went away and cannot come back: a pseudo-terminal named
    // by its path, which hung up.
    bool Gone() const
    {
        loopThread.Assume();
        return gone;
    }
    // The device the port stands for now.
    platform::DeviceIdentity Identify() const;
    // Steps of the polling so far, for the watchdog: exchanges whose request
    // left, bytes while the line settles, attempts to reopen a lost port.
    std::uint64_t Progress() const
    {
        loopThread.Assume();
        return progress;
    }

private:
    struct Step {
        Command command;
        std::uint8_t parameter;
        const char* what; // the option it comes from, for messages
    };

    void Next() REQUIRES(loopThread);
    void Send(const Step& step) REQUIRES(loopThread);
    void Trigger() REQUIRES(loopThread);
    void Take() REQUIRES(loopThread);
    void TimedOut() REQUIRES(loopThread);
    void Settled(const TakenReply& taken, const Frame& reply, std::uint16_t count)
        REQUIRES(loopThread);
    void Emit(Reading reading) REQUIRES(loopThread);
    void Lost(const std::exception& e) REQUIRES(loopThread);
    void Reconnect() REQUIRES(loopThread);
    void ScheduleNext() REQUIRES(loopThread);
    void Settle(bool line) REQUIRES(loopThread);
    void QuietEnough() REQUIRES(loopThread);

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
    QTimer quiet; // after a no-reply: the line has been quiet long enough

    // The meter's state is the event loop thread's: it is made there, and
    // its timers, queued calls and trigger run there.
    platform::ThreadRole loopThread;
    std::vector<Step> setup GUARDED_BY(loopThread);
    std::size_t setupDone GUARDED_BY(loopThread) = 0;
    bool started GUARDED_BY(loopThread) = false; // the settings went through once
    Step current GUARDED_BY(loopThread){Command::ReadMeasurement, 0, ""};
    bool awaiting GUARDED_BY(loopThread) = false;
    bool takeQueued GUARDED_BY(loopThread) = false;
    // The bytes in when the time-out last started: more when it ends means
    // the reply is still coming.
    std::uint16_t seenAtTimeout GUARDED_BY(loopThread) = 0;
    std::uint64_t serial GUARDED_BY(loopThread) = 0; // requests sent, so a late take finds its own
    std::uint8_t integerDigits GUARDED_BY(loopThread) = 0;
    bool running GUARDED_BY(loopThread) = false;
    bool done GUARDED_BY(loopThread) = false;
    bool gone GUARDED_BY(loopThread) = false;
    // While quiet runs: bytes that came late are dropped; lateLine: the
    // first of them makes a late-reply line (not after a setting), lateSeen:
    // it has.
    bool settling GUARDED_BY(loopThread) = false;
    bool lateLine GUARDED_BY(loopThread) = false;
    bool lateSeen GUARDED_BY(loopThread) = false;
    platform::DeviceIdentity identity GUARDED_BY(loopThread); // of the device as last opened
    MeterStats stats GUARDED_BY(loopThread);
    std::uint64_t progress GUARDED_BY(loopThread) = 0;
};

} // namespace vlog
