#include "protocol/reply.h"

#include "protocol/float.h"

namespace {

std::optional<std::uint8_t> VoltageIndex(std::uint8_t index)
{
    return index < VoltageRanges.size() ? std::optional<std::uint8_t>(index) : std::nullopt;
}

std::optional<std::uint8_t> CurrentIndex(std::uint8_t index)
{
    return index < CurrentRanges.size() ? std::optional<std::uint8_t>(index) : std::nullopt;
}

std::string_view UnitLetter(std::uint8_t mode)
{
    switch (mode) {
    case ModeVoltage:
        return "V";
    case ModeCurrent:
        return "A";
    case ModePower:
        return "W";
    default:
        return {};
    }
}

} // namespace

ReplyDecision DecideReply(const Frame& reply, std::uint8_t integerDigits, std::uint8_t modelIndex)
{
    return DecideReply(reply, integerDigits, modelIndex, LocaleDecimalSeparator());
}

ReplyDecision DecideReply(const Frame& reply, std::uint8_t integerDigits, std::uint8_t modelIndex,
                          std::string_view separator)
{
    ReplyDecision d;
    d.integerDigits = integerDigits;
    switch (reply[0]) {
    case 0x41: {
        const std::uint8_t mode = reply[1];
        d.voltageRange = VoltageIndex(reply[2]);
        d.currentRange = CurrentIndex(reply[3]);
        d.unit = UnitLetter(mode);
        if (!d.unit.empty()) {
            d.mode = mode;
        }
        // A range the tables do not hold keeps the previous digit count.
        const auto fullScale = RangeFullScale(mode, reply[2], reply[3]);
        d.integerDigits = fullScale ? DigitsBeforePoint(*fullScale) : integerDigits;
        const int decimals = Decimals(mode, d.integerDigits, modelIndex);
        d.valueText = FormatFixed(DecodeFloat(&reply[4]), decimals, separator);
        d.startInterval = true;
        d.measuring = true;
        break;
    }
    case 0x42:
        d.voltageRange = VoltageIndex(reply[1]);
        d.startInterval = true;
        break;
    case 0x43:
        d.currentRange = CurrentIndex(reply[1]);
        d.startInterval = true;
        break;
    default:
        break;
    }
    return d;
}
