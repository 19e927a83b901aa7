#include "instrument-sim/instrument.h"

#include "protocol/crc.h"
#include "protocol/float.h"
#include "protocol/frames.h"

namespace sim {

double FullScale(const InstrumentState& state)
{
    return RangeFullScale(state.mode, state.voltageRange, state.currentRange).value_or(0);
}

const char* OutcomeName(RequestOutcome outcome)
{
    switch (outcome) {
    case RequestOutcome::Answered:
        return "answered";
    case RequestOutcome::Silenced:
        return "silenced";
    case RequestOutcome::BadCheck:
        return "wrong check code";
    case RequestOutcome::UnknownCommand:
        return "unknown command";
    case RequestOutcome::BadParameter:
        return "invalid parameter";
    case RequestOutcome::Incomplete:
        return "incomplete";
    }
    return "?";
}

std::size_t RequestFrameLength(std::uint8_t firstByte)
{
    const auto command = CommandFromByte(firstByte);
    return command ? RequestLength(*command) : 0;
}

Instrument::Instrument(InstrumentState state, Signal signal)
    : state_(state), signal_(std::move(signal))
{
}

Instrument::Response Instrument::Respond(const std::uint8_t* request, std::size_t length,
                                         double seconds)
{
    const auto command = length > 0 ? CommandFromByte(request[0]) : std::nullopt;
    if (!command) {
        return {RequestOutcome::UnknownCommand, {}};
    }
    // A frame of the wrong length cannot be intact either.
    if (length != RequestLength(*command) ||
        Crc16(request, static_cast<std::uint16_t>(length)) != 0) {
        return {RequestOutcome::BadCheck, {}};
    }

    Frame reply{};
    const std::uint8_t parameter = request[1];
    switch (*command) {
    case Command::SetMode:
    case Command::SetVoltageRange:
    case Command::SetCurrentRange: {
        std::uint8_t* setting = &state_.mode;
        bool valid = parameter >= ModeVoltage && parameter <= ModePower;
        if (*command == Command::SetVoltageRange) {
            setting = &state_.voltageRange;
            valid = parameter < VoltageRanges.size();
        } else if (*command == Command::SetCurrentRange) {
            setting = &state_.currentRange;
            valid = parameter < CurrentRanges.size();
        }
        if (!valid) {
            return {RequestOutcome::BadParameter, {}};
        }
        *setting = parameter;
        reply = ShortReply(*command, parameter);
        break;
    }
    case Command::ReadMeasurement: {
        const auto value =
            rawValue_ ? *rawValue_ : EncodeFloat(signal_.Value(seconds, FullScale(state_)));
        reply = MeasurementReply(state_.mode, state_.voltageRange, state_.currentRange, value);
        break;
    }
    case Command::ReadVoltageRange:
        reply = ShortReply(*command, state_.voltageRange);
        break;
    case Command::ReadCurrentRange:
        reply = ShortReply(*command, state_.currentRange);
        break;
    }
    return {RequestOutcome::Answered,
            {reply.begin(), reply.begin() + ExpectedReplyLength(*command)}};
}

} // namespace sim
