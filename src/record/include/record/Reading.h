#pragma once

#include "protocol/frames.h"
#include "protocol/reply.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// One reading as the record files hold it, and its one line of text. Shared
// by velmor-log and the window's recording, so that both write the same file.
namespace record {

enum class Format { Csv, Jsonl };

// One clock for every meter: the wall clock, read for each reading, so
// that a line says when it was taken also after a suspend or a clock set
// right (the steady clock, which keeps the intervals, stands still while
// the machine sleeps).
class LogClock {
public:
    using TimePoint = std::chrono::system_clock::time_point;
    TimePoint Now() const;
};

enum class Status {
    Ok,
    NoReply,    // nothing came within the time-out
    CheckError, // bytes came, their check code is wrong
    BadReply,   // an intact reply that is no measurement
    PortLost,   // the device went away
    LateReply,  // bytes that came after a time-out, dropped
};

std::string_view StatusName(Status status);

struct Reading {
    LogClock::TimePoint time;
    std::string port;
    Status status = Status::Ok;
    // The rest only with a measurement; each may still be empty when the
    // meter reports a mode or range it does not have.
    std::string valueText; // as the window shows it, "." as separator
    std::optional<double> value;
    std::string unit;
    std::string mode;
    std::string voltageRange;
    std::string currentRange;
};

// The measurement fields of an intact measurement reply, from the decision
// the window takes on it (made with "." as the separator). modelIndex picks
// the current range captions.
void FillMeasurement(Reading& reading, const Frame& reply, const ReplyDecision& decision,
                     std::uint8_t modelIndex);

// "voltage", "current", "power"; empty for a code the meter does not have.
std::string ModeName(std::uint8_t mode);

// Local time, 2024-05-17T14:03:21.250+02:00.
std::string FormatTime(LogClock::TimePoint time);

// The shortest text that reads back as the same double.
std::string ExactNumber(double value);

std::string CsvHeader();
// One line each, with its newline.
std::string FormatReading(const Reading& reading, Format format);

} // namespace record
