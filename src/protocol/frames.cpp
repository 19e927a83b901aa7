#include "protocol/frames.h"

#include "protocol/crc.h"

std::optional<Command> CommandFromByte(std::uint8_t code)
{
    switch (code) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x41:
    case 0x42:
    case 0x43:
        return static_cast<Command>(code);
    default:
        return std::nullopt;
    }
}

bool IsSettingCommand(Command command)
{
    return static_cast<std::uint8_t>(command) < 0x40;
}

std::uint8_t RequestLength(Command command)
{
    return IsSettingCommand(command) ? 4 : 3;
}

std::uint8_t ExpectedReplyLength(Command command)
{
    return command == Command::ReadMeasurement ? MeasurementReplyLength : 4;
}

void PutCheckCode(std::uint8_t* frame, std::uint16_t length)
{
    const std::uint16_t code = Crc16(frame, static_cast<std::uint16_t>(length - 2));
    // Crc16 packs the byte that goes first on the line into the high half.
    frame[length - 2] = static_cast<std::uint8_t>(code >> 8);
    frame[length - 1] = static_cast<std::uint8_t>(code & 0xFF);
}

std::uint8_t BuildRequest(Frame& frame, Command command)
{
    frame[0] = static_cast<std::uint8_t>(command);
    const std::uint8_t length = RequestLength(command);
    PutCheckCode(frame.data(), length);
    return length;
}

Frame MeasurementReply(std::uint8_t mode, std::uint8_t voltageRange, std::uint8_t currentRange,
                       const std::array<std::uint8_t, 4>& value)
{
    Frame frame{static_cast<std::uint8_t>(Command::ReadMeasurement),
                mode,
                voltageRange,
                currentRange,
                value[0],
                value[1],
                value[2],
                value[3]};
    PutCheckCode(frame.data(), MeasurementReplyLength);
    return frame;
}

Frame ShortReply(Command command, std::uint8_t value)
{
    Frame frame{static_cast<std::uint8_t>(command), value};
    PutCheckCode(frame.data(), ExpectedReplyLength(command));
    return frame;
}

bool ReplyIntact(const std::uint8_t* data, std::uint16_t count)
{
    return count > 0 && Crc16(data, count) == 0;
}

std::uint16_t ReplyBytesKept(std::uint16_t waiting)
{
    return waiting > FrameCapacity ? static_cast<std::uint16_t>(FrameCapacity) : waiting;
}

TakenReply JudgeReply(const Frame& reply, std::uint16_t waiting)
{
    TakenReply taken;
    taken.kept = ReplyBytesKept(waiting);
    taken.receivedCount = static_cast<std::uint8_t>(waiting & 0xFF);
    if (waiting == 0) {
        taken.linkError = LinkErrorNoReply;
    } else if (waiting > FrameCapacity || Crc16(reply.data(), waiting) != 0) {
        taken.linkError = LinkErrorCheckCode;
    } else {
        taken.process = reply[0] >= 0x40;
    }
    return taken;
}

ReplyKind ClassifyReply(std::uint8_t firstByte)
{
    if (firstByte < 0x40) {
        return ReplyKind::Acknowledgement;
    }
    switch (firstByte) {
    case 0x41:
        return ReplyKind::Measurement;
    case 0x42:
        return ReplyKind::VoltageRange;
    case 0x43:
        return ReplyKind::CurrentRange;
    default:
        return ReplyKind::Ignored;
    }
}
