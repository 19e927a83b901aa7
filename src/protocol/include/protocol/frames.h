#pragma once

#include <array>
#include <cstdint>
#include <optional>

// The instrument's commands: the first byte of every request.
enum class Command : std::uint8_t {
    SetMode = 0x01,
    SetVoltageRange = 0x02,
    SetCurrentRange = 0x03,
    ReadMeasurement = 0x41,
    ReadVoltageRange = 0x42,
    ReadCurrentRange = 0x43,
};

// Mode codes, the same in the SetMode parameter and in the measurement reply.
inline constexpr std::uint8_t ModeVoltage = 1;
inline constexpr std::uint8_t ModeCurrent = 2;
inline constexpr std::uint8_t ModePower = 3;

// Size of the engine's request and reply buffers.
inline constexpr std::size_t FrameCapacity = 70;
using Frame = std::array<std::uint8_t, FrameCapacity>;

inline constexpr std::uint8_t MeasurementReplyLength = 10;

// The command for a request's first byte, if it is one of the six.
std::optional<Command> CommandFromByte(std::uint8_t code);

// Setting commands carry a parameter in byte 1; queries do not.
bool IsSettingCommand(Command command);

// 4 for setting commands, 3 for queries.
std::uint8_t RequestLength(Command command);

// 10 for ReadMeasurement, 4 for every other command.
std::uint8_t ExpectedReplyLength(Command command);

// Writes the check code of the first length - 2 bytes into the last two,
// so that the whole frame checks to 0. length must be at least 2.
void PutCheckCode(std::uint8_t* frame, std::uint16_t length);

// Builds a request in place: byte 0 and the two check bytes only. For a
// setting command the caller has written the parameter into byte 1; a query
// overwrites byte 1 with its first check byte. Returns the request length.
std::uint8_t BuildRequest(Frame& frame, Command command);

// The meter's replies, check code included, as it sends them. To
// ReadMeasurement (MeasurementReplyLength bytes): the mode and the two range
// indexes the value was taken with, then the value's four bytes in
// EncodeFloat's order.
Frame MeasurementReply(std::uint8_t mode, std::uint8_t voltageRange, std::uint8_t currentRange,
                       const std::array<std::uint8_t, 4>& value);
// To every other command (4 bytes): the command, then a setting's parameter
// echoed or the range index asked for.
Frame ShortReply(Command command, std::uint8_t value);

// True when count bytes (check bytes included) form an intact frame.
// Zero bytes never do.
bool ReplyIntact(const std::uint8_t* data, std::uint16_t count);

// What the worker makes of the bytes waiting when it takes a reply.
// What went wrong with a taken reply (TakenReply::linkError, LinkError).
inline constexpr std::uint8_t LinkErrorNone = 0;
inline constexpr std::uint8_t LinkErrorNoReply = 1;
inline constexpr std::uint8_t LinkErrorCheckCode = 2;

struct TakenReply {
    std::uint16_t kept = 0;         // bytes that go into the reply buffer, from position 0
    std::uint8_t receivedCount = 0; // the port's count, 8 bits wide
    std::uint8_t linkError = LinkErrorNone;
    bool process = false; // hand the reply to ProcessReply
};

// How many of the waiting bytes the reply buffer keeps: all of them up to
// its capacity. Any beyond are taken from the port and dropped.
std::uint16_t ReplyBytesKept(std::uint16_t waiting);

// Judges a reply once the kept bytes are in reply. More bytes than the buffer
// holds are a check code error whatever they are; an intact reply goes on to
// ProcessReply when byte 0 is 0x40 or above (below is an acknowledgement).
TakenReply JudgeReply(const Frame& reply, std::uint16_t waiting);

enum class ReplyKind {
    Acknowledgement, // byte 0 below 0x40: a setting command was taken
    Measurement,     // 0x41
    VoltageRange,    // 0x42
    CurrentRange,    // 0x43
    Ignored,         // 0x40 and 0x44 upward: no action
};

// Classifies an intact reply by its first byte.
ReplyKind ClassifyReply(std::uint8_t firstByte);
