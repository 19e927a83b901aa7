#include "link/Measurement.h"

#include "protocol/float.h"
#include "protocol/reply.h"

#include <algorithm>

namespace {

std::uint64_t TimeAndPort(std::int64_t timeMs, std::uint16_t port, int timeBits, std::uint64_t mask)
{
    const auto time = static_cast<std::uint64_t>(std::max<std::int64_t>(timeMs, 0)) & mask;
    return time | static_cast<std::uint64_t>(port) << timeBits;
}

} // namespace

TMeasurement TMeasurement::Reply(std::int64_t timeMs, std::uint16_t port, const Frame& reply,
                                 std::uint8_t integerDigits, std::uint8_t modelIndex)
{
    TMeasurement m;
    m.timeAndPort = TimeAndPort(timeMs, port, TimeBits, TimeMask);
    std::copy(reply.begin() + 4, reply.begin() + 8, m.value.begin());
    m.mode = reply[1];
    m.voltageRange = reply[2];
    m.currentRange = reply[3];
    m.flags = static_cast<std::uint8_t>(static_cast<unsigned>(record::Status::Ok) |
                                        (integerDigits & 0x03u) << DigitsShift |
                                        (modelIndex == ModelVelmor ? 1u : 0u) << VelmorShift);
    return m;
}

TMeasurement TMeasurement::Gap(std::int64_t timeMs, std::uint16_t port, record::Status status)
{
    TMeasurement m;
    m.timeAndPort = TimeAndPort(timeMs, port, TimeBits, TimeMask);
    m.value = {};
    m.mode = 0;
    m.voltageRange = 0;
    m.currentRange = 0;
    m.flags = static_cast<std::uint8_t>(static_cast<unsigned>(status) & StatusMask);
    return m;
}

TMeasurement TMeasurement::WithTime(std::int64_t timeMs) const
{
    TMeasurement m = *this;
    m.timeAndPort = TimeAndPort(timeMs, Port(), TimeBits, TimeMask);
    return m;
}

std::uint8_t TMeasurement::ModelIndex() const
{
    return (flags >> VelmorShift & 1) != 0 ? ModelVelmor : ModelDranik;
}

Frame TMeasurement::AsFrame() const
{
    Frame frame{};
    frame[0] = 0x41;
    frame[1] = mode;
    frame[2] = voltageRange;
    frame[3] = currentRange;
    std::copy(value.begin(), value.end(), frame.begin() + 4);
    return frame;
}

double TMeasurement::Value() const
{
    return DecodeFloat(value.data());
}

std::uint8_t TMeasurement::Bucket() const
{
    return mode >= ModeVoltage && mode <= ModePower ? static_cast<std::uint8_t>(mode - ModeVoltage)
                                                    : OtherBucket;
}

std::uint32_t TMeasurement::Key() const
{
    return static_cast<std::uint32_t>(mode) << 16 | static_cast<std::uint32_t>(voltageRange) << 8 |
           currentRange;
}

std::string TMeasurement::ValueText(std::string_view separator) const
{
    const ReplyDecision d = DecideReply(AsFrame(), IntegerDigits(), ModelIndex(), separator);
    return d.valueText ? *d.valueText : std::string();
}

int TMeasurement::Decimals() const
{
    const ReplyDecision d = DecideReply(AsFrame(), IntegerDigits(), ModelIndex(), ".");
    return ::Decimals(mode, d.integerDigits, ModelIndex());
}

std::string_view TMeasurement::Unit() const
{
    static constexpr std::array<std::string_view, Buckets> units = {"V", "A", "W", ""};
    return units[Bucket()];
}

record::Reading TMeasurement::ToReading() const
{
    record::Reading r;
    r.time = record::LogClock::TimePoint(std::chrono::milliseconds(TimeMs()));
    r.port = "COM" + std::to_string(Port());
    r.status = Status();
    if (Ok()) {
        const Frame frame = AsFrame();
        const ReplyDecision d = DecideReply(frame, IntegerDigits(), ModelIndex(), ".");
        record::FillMeasurement(r, frame, d, ModelIndex());
    }
    return r;
}
