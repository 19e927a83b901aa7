#pragma once

#include "protocol/frames.h"
#include "record/Reading.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// What one measurement request came to, as the window took it: a reading, or
// a gap (no reply, a wrong check code, a reply that is no measurement, a lost
// port). Sixteen bytes, so that the trend window can hold a day of them; the
// record line and the window's value text come back from it exactly.
class TMeasurement {
public:
    // Unit buckets: one per mode the meter has, and one for a code it has not.
    static constexpr std::size_t Buckets = 4;
    static constexpr std::uint8_t OtherBucket = 3;

    // Trivial, so that a ring of them costs nothing before it is written.
    TMeasurement() = default;

    // An intact measurement reply (byte 0 0x41, ten bytes). integerDigits and
    // modelIndex are the engine's as the reply came, before it was applied.
    static TMeasurement Reply(std::int64_t timeMs, std::uint16_t port, const Frame& reply,
                              std::uint8_t integerDigits, std::uint8_t modelIndex);
    // Anything else; status is not Ok.
    static TMeasurement Gap(std::int64_t timeMs, std::uint16_t port, record::Status status);

    // The same at another time.
    TMeasurement WithTime(std::int64_t timeMs) const;

    // Milliseconds since the epoch (wall clock), and the COM number.
    std::int64_t TimeMs() const { return static_cast<std::int64_t>(timeAndPort & TimeMask); }
    std::uint16_t Port() const { return static_cast<std::uint16_t>(timeAndPort >> TimeBits); }
    record::Status Status() const { return static_cast<record::Status>(flags & StatusMask); }
    bool Ok() const { return Status() == record::Status::Ok; }

    // With Ok only.
    double Value() const;
    std::uint8_t Mode() const { return mode; }
    std::uint8_t VoltageRange() const { return voltageRange; }
    std::uint8_t CurrentRange() const { return currentRange; }
    // Mode code 1..3 less one; OtherBucket for any other code.
    std::uint8_t Bucket() const;
    // Mode and ranges: readings of one key draw one line.
    std::uint32_t Key() const;
    // The value as the main window shows it, with separator.
    std::string ValueText(std::string_view separator) const;
    // Decimals of ValueText, for texts of other values in the same unit.
    int Decimals() const;
    std::string_view Unit() const;

    // The reading as velmor-log writes it ("COM1"); the reply goes through
    // the decoding velmor-log's meter uses.
    record::Reading ToReading() const;

private:
    static constexpr int TimeBits = 48;
    static constexpr std::uint64_t TimeMask = (std::uint64_t{1} << TimeBits) - 1;
    static constexpr std::uint8_t StatusMask = 0x07;
    static constexpr int DigitsShift = 3;
    static constexpr int VelmorShift = 5;

    Frame AsFrame() const;
    std::uint8_t IntegerDigits() const { return (flags >> DigitsShift) & 0x03; }
    std::uint8_t ModelIndex() const;

    std::uint64_t timeAndPort; // the time in the low 48 bits, the COM number above
    std::array<std::uint8_t, 4> value;
    std::uint8_t mode;
    std::uint8_t voltageRange;
    std::uint8_t currentRange;
    std::uint8_t flags; // status, integer digits, Velmor model
};
