// Unit under test: frames (request building, reply check and classification).
#include "protocol/crc.h"
#include "protocol/frames.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr Command AllCommands[] = {Command::SetMode,          Command::SetVoltageRange,
                                   Command::SetCurrentRange,  Command::ReadMeasurement,
                                   Command::ReadVoltageRange, Command::ReadCurrentRange};

std::vector<std::uint8_t> Build(Command command, std::uint8_t parameter)
{
    Frame frame{};
    frame[1] = parameter;
    const std::uint8_t length = BuildRequest(frame, command);
    return {frame.begin(), frame.begin() + length};
}

} // namespace

TEST(Frames, CompleteFramesByteForByte)
{
    using V = std::vector<std::uint8_t>;
    EXPECT_EQ(Build(Command::ReadMeasurement, 0), (V{0x41, 0x7F, 0x70}));
    EXPECT_EQ(Build(Command::ReadVoltageRange, 0), (V{0x42, 0x3F, 0x71}));
    EXPECT_EQ(Build(Command::ReadCurrentRange, 0), (V{0x43, 0xFE, 0xB1}));
    EXPECT_EQ(Build(Command::SetMode, 1), (V{0x01, 0x01, 0xC1, 0xE0}));
    EXPECT_EQ(Build(Command::SetVoltageRange, 0), (V{0x02, 0x00, 0x00, 0xD0}));
    EXPECT_EQ(Build(Command::SetCurrentRange, 3), (V{0x03, 0x03, 0x41, 0x41}));

    std::uint8_t reply[10] = {0x41, 0x01, 0x02, 0x00, 0x41, 0x48, 0x00, 0x00};
    PutCheckCode(reply, sizeof reply);
    EXPECT_EQ(reply[8], 0x00);
    EXPECT_EQ(reply[9], 0xFF);

    // The meter's side: a reading and an acknowledgement (the request echoed).
    const Frame measurement = MeasurementReply(1, 2, 0, {0x41, 0x48, 0x00, 0x00});
    EXPECT_EQ(V(measurement.begin(), measurement.begin() + 10), V(reply, reply + 10));
    const Frame ack = ShortReply(Command::SetMode, 1);
    EXPECT_EQ(V(ack.begin(), ack.begin() + 4), (V{0x01, 0x01, 0xC1, 0xE0}));
}

TEST(Frames, LengthsByCommand)
{
    for (const Command c : AllCommands) {
        const bool setting = static_cast<std::uint8_t>(c) < 0x40;
        EXPECT_EQ(IsSettingCommand(c), setting);
        EXPECT_EQ(RequestLength(c), setting ? 4 : 3);
        EXPECT_EQ(ExpectedReplyLength(c), c == Command::ReadMeasurement ? 10 : 4);
        EXPECT_EQ(CommandFromByte(static_cast<std::uint8_t>(c)), c);
    }
    int known = 0;
    for (int b = 0; b < 256; ++b) {
        known += CommandFromByte(static_cast<std::uint8_t>(b)).has_value();
    }
    EXPECT_EQ(known, 6);
}

TEST(Frames, BuilderWritesOnlyCodeAndCheckBytesAndEveryRequestChecksToZero)
{
    for (const Command c : AllCommands) {
        for (int p = 0; p < 256; ++p) {
            Frame frame;
            for (std::size_t i = 0; i < frame.size(); ++i) {
                frame[i] = static_cast<std::uint8_t>(0xA5 ^ i);
            }
            frame[1] = static_cast<std::uint8_t>(p);
            const Frame before = frame;
            const std::uint8_t length = BuildRequest(frame, c);
            ASSERT_EQ(Crc16(frame.data(), length), 0) << int(c) << " " << p;
            EXPECT_EQ(frame[0], static_cast<std::uint8_t>(c));
            for (std::size_t i = 1; i < frame.size(); ++i) {
                if (i != length - 2u && i != length - 1u) {
                    ASSERT_EQ(frame[i], before[i]) << "byte " << i << " of " << int(c);
                }
            }
        }
    }
}

TEST(Frames, SettingCommandAfterQueryCarriesTheQuerysCheckByte)
{
    Frame frame{};
    frame[1] = 2;
    BuildRequest(frame, Command::ReadMeasurement);
    BuildRequest(frame, Command::SetMode);
    EXPECT_EQ(frame[1], 0x7F);
    EXPECT_EQ(Crc16(frame.data(), 4), 0);
}

TEST(Frames, ReplyCheck)
{
    EXPECT_FALSE(ReplyIntact(nullptr, 0));
    const std::uint8_t ffff[] = {0xFF, 0xFF};
    EXPECT_TRUE(ReplyIntact(ffff, 2));
    EXPECT_EQ(ClassifyReply(ffff[0]), ReplyKind::Ignored);

    std::uint8_t reply[] = {0x41, 0x01, 0x02, 0x00, 0x41, 0x48, 0x00, 0x00, 0x00, 0xFF};
    EXPECT_TRUE(ReplyIntact(reply, sizeof reply));
    EXPECT_FALSE(ReplyIntact(reply, sizeof reply - 1)); // one byte missing
    reply[5] ^= 0x01;
    EXPECT_FALSE(ReplyIntact(reply, sizeof reply));
}

TEST(Frames, ClassificationByFirstByte)
{
    for (int b = 0; b < 256; ++b) {
        const auto kind = ClassifyReply(static_cast<std::uint8_t>(b));
        if (b < 0x40) {
            EXPECT_EQ(kind, ReplyKind::Acknowledgement) << b;
        } else if (b == 0x41) {
            EXPECT_EQ(kind, ReplyKind::Measurement);
        } else if (b == 0x42) {
            EXPECT_EQ(kind, ReplyKind::VoltageRange);
        } else if (b == 0x43) {
            EXPECT_EQ(kind, ReplyKind::CurrentRange);
        } else {
            EXPECT_EQ(kind, ReplyKind::Ignored) << b;
        }
    }
}

TEST(Frames, JudgingTakenReplies)
{
    Frame frame{};
    // Nothing waiting: no reply.
    TakenReply t = JudgeReply(frame, 0);
    EXPECT_EQ(t.linkError, 1);
    EXPECT_EQ(t.kept, 0);
    EXPECT_FALSE(t.process);

    // An intact measurement goes on; an intact acknowledgement and a corrupted
    // frame do not.
    frame = {0x41, 0x01, 0x02, 0x00, 0x41, 0x48, 0x00, 0x00};
    PutCheckCode(frame.data(), 10);
    t = JudgeReply(frame, 10);
    EXPECT_EQ(t.linkError, 0);
    EXPECT_EQ(t.receivedCount, 10);
    EXPECT_EQ(t.kept, 10);
    EXPECT_TRUE(t.process);
    frame[5] ^= 0x10;
    t = JudgeReply(frame, 10);
    EXPECT_EQ(t.linkError, 2);
    EXPECT_FALSE(t.process);
    frame = {0x01, 0x02};
    PutCheckCode(frame.data(), 4);
    t = JudgeReply(frame, 4);
    EXPECT_EQ(t.linkError, 0);
    EXPECT_FALSE(t.process);

    // Above the buffer: keep what fits, count modulo 256, and a check code
    // error even when the 8-bit count would name an intact frame at the start.
    frame = {0x42, 0x03};
    PutCheckCode(frame.data(), 4);
    t = JudgeReply(frame, 256 + 4);
    EXPECT_EQ(t.kept, FrameCapacity);
    EXPECT_EQ(t.receivedCount, 4);
    EXPECT_EQ(t.linkError, 2);
    EXPECT_FALSE(t.process);
    EXPECT_EQ(JudgeReply(frame, 71).receivedCount, 71);
    EXPECT_EQ(JudgeReply(frame, 71).linkError, 2);
    EXPECT_EQ(ReplyBytesKept(70), 70);
    EXPECT_EQ(ReplyBytesKept(5000), FrameCapacity);
}
