#pragma once

// A meter's measurement reply as the trend window receives it, for the
// trend tests.

#include "ui/TrendData.h"

#include "protocol/float.h"
#include "protocol/frames.h"

#include <algorithm>
#include <cstdint>

inline TMeasurement TrendReading(std::int64_t timeMs, double value, std::uint8_t mode = ModeVoltage)
{
    Frame reply{};
    reply[0] = 0x41;
    reply[1] = mode;
    const auto bytes = EncodeFloat(value);
    std::copy(bytes.begin(), bytes.end(), reply.begin() + 4);
    return TMeasurement::Reply(timeMs, 1, reply, 2, ModelDranik);
}
