#include "simulated-day/SimulatedDay.h"

#include "protocol/float.h"
#include "protocol/frames.h"

#include <cmath>
#include <numbers>
#include <random>

namespace simday {

namespace {

constexpr double HourMs = 3600e3;

TMeasurement Reading(std::int64_t timeMs, std::uint8_t mode, std::uint8_t voltageRange,
                     std::uint8_t currentRange, double value)
{
    Frame reply{};
    reply[0] = 0x41;
    reply[1] = mode;
    reply[2] = voltageRange;
    reply[3] = currentRange;
    const auto bytes = EncodeFloat(value);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        reply[4 + i] = bytes[i];
    }
    // Digits before the point of the range before, as the engine keeps them.
    const std::uint8_t digits = mode == ModeVoltage ? 2 : 1;
    return TMeasurement::Reply(timeMs, 1, reply, digits, ModelDranik);
}

} // namespace

void Fill(TTrendData& data, std::int64_t startMs, double hours)
{
    std::mt19937 random(20261209);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_int_distribution<int> jitter(0, 2);
    std::uniform_int_distribution<int> damaged(0, 4999);
    const double endMs = static_cast<double>(startMs) + hours * HourMs;
    bool glitched = false;
    for (double t = static_cast<double>(startMs); t < endMs; t += 110 + jitter(random)) {
        const double h = (t - static_cast<double>(startMs)) / HourMs;
        const auto ms = static_cast<std::int64_t>(t);
        if (h >= 9 && h < 9 + 1.0 / 3) {
            continue; // reading stopped
        }
        if (h >= 11.5 && h < 11.5 + 30.0 / 3600) {
            data.Append(TMeasurement::Gap(ms, 1, record::Status::NoReply));
            continue;
        }
        if (h >= 9 && h < 16) {
            double amperes = 0.1 + 2.0 * std::exp(-(h - 9 - 1.0 / 3) / 2) + 0.004 * noise(random);
            if (!glitched && h >= 14.05) {
                amperes = 2.4; // one reading's glitch
                glitched = true;
            }
            data.Append(Reading(ms, ModeCurrent, 0, 1, amperes));
            continue;
        }
        if (h >= 16 && damaged(random) == 0) {
            data.Append(TMeasurement::Gap(ms, 1, record::Status::CheckError));
            continue;
        }
        const double volts = (h < 9 ? 12.0 + 0.05 * h : 12.4) +
                             0.15 * std::sin(2 * std::numbers::pi * h / 6) + 0.01 * noise(random);
        data.Append(Reading(ms, ModeVoltage, 0, 0, volts));
    }
}

} // namespace simday
