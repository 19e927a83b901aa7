// Unit under test: instrument (the meter's side of the protocol).
#include "instrument-sim/instrument.h"

#include "SimTest.h"
#include "protocol/crc.h"
#include "protocol/float.h"

using simtest::Bytes;
using simtest::Request;

namespace {

sim::Instrument::Response Ask(sim::Instrument& instrument, const Bytes& request)
{
    return instrument.Respond(request.data(), request.size(), 0.0);
}

} // namespace

TEST(Instrument, EveryReplyChecksToZeroAndSettingsFollowTheCommands)
{
    sim::Instrument instrument({}, sim::Signal({sim::Waveform::Constant, 1.0}));
    for (std::uint8_t mode = 1; mode <= 3; ++mode) {
        for (std::uint8_t v = 0; v < 7; ++v) {
            for (std::uint8_t c = 0; c < 4; ++c) {
                for (const auto& [command, parameter] :
                     {std::pair{Command::SetMode, mode}, std::pair{Command::SetVoltageRange, v},
                      std::pair{Command::SetCurrentRange, c}}) {
                    const auto ack = Ask(instrument, Request(command, parameter));
                    ASSERT_EQ(ack.outcome, sim::RequestOutcome::Answered);
                    EXPECT_EQ(ack.reply, Request(command, parameter));
                }
                const auto m = Ask(instrument, Request(Command::ReadMeasurement));
                ASSERT_EQ(m.reply.size(), 10u);
                EXPECT_EQ(Crc16(m.reply.data(), 10), 0);
                EXPECT_EQ(m.reply[1], mode);
                EXPECT_EQ(m.reply[2], v);
                EXPECT_EQ(m.reply[3], c);
                // Level 1 is exactly the full scale, the product in power mode.
                const double full = mode == 1   ? VoltageRanges[v]
                                    : mode == 2 ? CurrentRanges[c]
                                                : VoltageRanges[v] * CurrentRanges[c];
                EXPECT_EQ(DecodeFloat(&m.reply[4]), full);

                const auto vr = Ask(instrument, Request(Command::ReadVoltageRange));
                EXPECT_EQ(vr.reply, (Bytes{0x42, v, vr.reply.at(2), vr.reply.at(3)}));
                EXPECT_EQ(Crc16(vr.reply.data(), 4), 0);
                const auto cr = Ask(instrument, Request(Command::ReadCurrentRange));
                EXPECT_EQ(cr.reply.at(1), c);
                EXPECT_EQ(Crc16(cr.reply.data(), 4), 0);
            }
        }
    }
}

TEST(Instrument, InvalidRequestsAreRefusedAndChangeNothing)
{
    using sim::RequestOutcome;
    sim::Instrument instrument({2, 4, 1}, sim::Signal());
    EXPECT_EQ(Ask(instrument, Request(Command::SetMode, 0)).outcome, RequestOutcome::BadParameter);
    EXPECT_EQ(Ask(instrument, Request(Command::SetMode, 4)).outcome, RequestOutcome::BadParameter);
    EXPECT_EQ(Ask(instrument, Request(Command::SetVoltageRange, 7)).outcome,
              RequestOutcome::BadParameter);
    EXPECT_EQ(Ask(instrument, Request(Command::SetCurrentRange, 4)).outcome,
              RequestOutcome::BadParameter);
    Bytes corrupted = Request(Command::SetMode, 3);
    corrupted[1] = 1;
    EXPECT_EQ(Ask(instrument, corrupted).outcome, RequestOutcome::BadCheck);
    Bytes longer = Request(Command::ReadMeasurement);
    longer.push_back(0);
    EXPECT_EQ(Ask(instrument, longer).outcome, RequestOutcome::BadCheck);
    EXPECT_EQ(Ask(instrument, {0x40, 0x00, 0x00}).outcome, RequestOutcome::UnknownCommand);
    EXPECT_EQ(instrument.Respond(nullptr, 0, 0).outcome, RequestOutcome::UnknownCommand);

    const auto state = instrument.State();
    EXPECT_EQ(state.mode, 2);
    EXPECT_EQ(state.voltageRange, 4);
    EXPECT_EQ(state.currentRange, 1);
    EXPECT_TRUE(Ask(instrument, Request(Command::SetMode, 4)).reply.empty());
}

TEST(Instrument, RawValueAndStateOutsideTheTables)
{
    sim::Instrument instrument({}, sim::Signal({sim::Waveform::Constant, 1.0}));
    instrument.SetState({0, 9, 200});
    EXPECT_EQ(sim::FullScale(instrument.State()), 0);
    auto m = Ask(instrument, Request(Command::ReadMeasurement));
    EXPECT_EQ(Bytes(m.reply.begin(), m.reply.begin() + 4), (Bytes{0x41, 0, 9, 200}));
    EXPECT_EQ(Crc16(m.reply.data(), 10), 0);

    instrument.SetRawValue(std::array<std::uint8_t, 4>{0x7F, 0xFF, 0xFF, 0xFF});
    m = Ask(instrument, Request(Command::ReadMeasurement));
    EXPECT_EQ(Bytes(m.reply.begin() + 4, m.reply.begin() + 8), (Bytes{0x7F, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Crc16(m.reply.data(), 10), 0);
}
