// Unit under test: reply (what a checked reply changes on the main window).
#include "protocol/reply.h"

#include "protocol/float.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

Frame Measurement(std::uint8_t mode, std::uint8_t voltage, std::uint8_t current, float value)
{
    return MeasurementReply(mode, voltage, current, EncodeFloat(value));
}

ReplyDecision Decide(const Frame& reply, std::uint8_t digits, std::uint8_t model)
{
    return DecideReply(reply, digits, model, ".");
}

std::string OneWith(int decimals)
{
    return "1." + std::string(static_cast<std::size_t>(decimals), '0');
}

} // namespace

TEST(DecideReply, ReferenceMeasurementReply)
{
    Frame f{};
    const std::uint8_t bytes[] = {0x41, 0x01, 0x02, 0x00, 0x41, 0x48, 0x00, 0x00, 0x00, 0xFF};
    std::memcpy(f.data(), bytes, sizeof bytes);
    const ReplyDecision d = Decide(f, 0, ModelDranik);
    EXPECT_EQ(d.mode, ModeVoltage);
    EXPECT_EQ(d.unit, "V");
    EXPECT_EQ(d.voltageRange, 2);
    EXPECT_EQ(d.currentRange, 0);
    EXPECT_EQ(d.valueText, "12.500");
    EXPECT_TRUE(d.startInterval);
    EXPECT_TRUE(d.measuring);
    EXPECT_EQ(d.integerDigits, 1);
    EXPECT_EQ(DecideReply(f, 0, ModelDranik, ",").valueText, "12,500");
}

TEST(DecideReply, ValueExamples)
{
    EXPECT_EQ(Decide(Measurement(1, 6, 0, 230.456f), 0, ModelDranik).valueText, "230.46");
    EXPECT_EQ(Decide(Measurement(2, 0, 0, 0.123456f), 0, ModelVelmor).valueText, "0.12346");
    EXPECT_EQ(Decide(Measurement(3, 0, 3, 123.4567f), 0, ModelDranik).valueText, "123.46");
    EXPECT_EQ(Decide(Measurement(3, 0, 3, 123.4567f), 0, ModelVelmor).valueText, "123.457");
    EXPECT_EQ(Decide(Measurement(3, 0, 3, 123.4567f), 0, ModelVelmor).unit, "W");
    EXPECT_EQ(Decide(Measurement(2, 0, 3, 1.0f), 0, ModelVelmor).unit, "A");
}

TEST(DecideReply, DecimalsByModeRangeAndModel)
{
    // Dranik decimals; Velmor shows one more for current and power.
    const int voltage[7] = {3, 3, 3, 2, 2, 2, 2};
    const int current[4] = {4, 4, 4, 3};
    const int power[7][4] = {{3, 3, 2, 2}, {3, 2, 2, 2}, {3, 2, 2, 2}, {2, 2, 2, 1},
                             {2, 2, 1, 1}, {2, 1, 1, 1}, {2, 1, 1, 1}};
    for (std::uint8_t model : {ModelVelmor, ModelDranik}) {
        const int extra = model == ModelVelmor ? 1 : 0;
        for (std::uint8_t v = 0; v < 7; ++v) {
            for (std::uint8_t c = 0; c < 4; ++c) {
                const auto u = Decide(Measurement(ModeVoltage, v, c, 1.0f), 3, model);
                EXPECT_EQ(u.valueText, OneWith(voltage[v])) << int(model) << " V" << int(v);
                EXPECT_EQ(u.integerDigits, 4 - voltage[v]);
                const auto i = Decide(Measurement(ModeCurrent, v, c, 1.0f), 3, model);
                EXPECT_EQ(i.valueText, OneWith(current[c] + extra)) << int(model) << " A" << int(c);
                EXPECT_EQ(i.integerDigits, 4 - current[c]);
                const auto p = Decide(Measurement(ModePower, v, c, 1.0f), 3, model);
                EXPECT_EQ(p.valueText, OneWith(power[v][c] + extra))
                    << int(model) << " W" << int(v) << "," << int(c);
                EXPECT_EQ(p.integerDigits, 4 - power[v][c]);
                EXPECT_EQ(p.voltageRange, v);
                EXPECT_EQ(p.currentRange, c);
            }
        }
    }
}

TEST(DecideReply, AllZeroAndNegativeZeroPatternsShowZeroWithoutSign)
{
    Frame f = Measurement(ModeVoltage, 0, 0, 0.0f);
    EXPECT_EQ(Decide(f, 0, ModelDranik).valueText, "0.000");
    f[4] = 0x80;
    EXPECT_EQ(Decide(f, 0, ModelDranik).valueText, "0.000");
}

TEST(DecideReply, UnknownModeCodesKeepDigitsAndStillShowTheValue)
{
    // First reply after start: IntegerDigits still 0.
    for (std::uint8_t model : {ModelVelmor, ModelDranik}) {
        const auto d = Decide(Measurement(0, 6, 3, 1.0f), 0, model);
        EXPECT_EQ(d.valueText, OneWith(4));
        EXPECT_EQ(d.integerDigits, 0);
    }
    for (int mode = 0; mode < 256; ++mode) {
        if (mode >= 1 && mode <= 3) {
            continue;
        }
        for (std::uint8_t model : {ModelVelmor, ModelDranik}) {
            const auto d =
                Decide(Measurement(static_cast<std::uint8_t>(mode), 4, 1, 1.0f), 2, model);
            const int decimals = model == ModelVelmor && mode >= 2 ? 3 : 2;
            EXPECT_EQ(d.valueText, OneWith(decimals)) << mode << " model " << int(model);
            EXPECT_FALSE(d.mode.has_value());
            EXPECT_TRUE(d.unit.empty());
            EXPECT_EQ(d.integerDigits, 2);
            EXPECT_EQ(d.voltageRange, 4);
            EXPECT_EQ(d.currentRange, 1);
            EXPECT_TRUE(d.startInterval);
            EXPECT_TRUE(d.measuring);
        }
    }
}

TEST(DecideReply, RangeIndexOutsideItsTableKeepsDigitsAndChecksNoButton)
{
    auto d = Decide(Measurement(ModeVoltage, 7, 0, 1.0f), 3, ModelDranik);
    EXPECT_EQ(d.mode, ModeVoltage);
    EXPECT_EQ(d.unit, "V");
    EXPECT_FALSE(d.voltageRange.has_value());
    EXPECT_EQ(d.currentRange, 0);
    EXPECT_EQ(d.integerDigits, 3);
    EXPECT_EQ(d.valueText, OneWith(1));

    d = Decide(Measurement(ModeCurrent, 0, 255, 1.0f), 1, ModelDranik);
    EXPECT_FALSE(d.currentRange.has_value());
    EXPECT_EQ(d.integerDigits, 1);
    // A valid current index alone is enough for current mode.
    EXPECT_EQ(Decide(Measurement(ModeCurrent, 200, 3, 1.0f), 0, ModelDranik).integerDigits, 1);

    d = Decide(Measurement(ModePower, 255, 3, 1.0f), 2, ModelDranik);
    EXPECT_EQ(d.integerDigits, 2);
    EXPECT_EQ(d.currentRange, 3);
    d = Decide(Measurement(ModePower, 6, 4, 1.0f), 0, ModelDranik);
    EXPECT_EQ(d.integerDigits, 0);
    EXPECT_EQ(d.voltageRange, 6);
}

TEST(DecideReply, RangeQueryReplies)
{
    Frame f{};
    f[0] = 0x42;
    f[1] = 5;
    f[2] = 9; // stale bytes from an earlier reply are not read
    auto d = Decide(f, 2, ModelDranik);
    EXPECT_EQ(d.voltageRange, 5);
    EXPECT_FALSE(d.currentRange.has_value());
    EXPECT_FALSE(d.mode.has_value());
    EXPECT_FALSE(d.valueText.has_value());
    EXPECT_TRUE(d.startInterval);
    EXPECT_FALSE(d.measuring);
    EXPECT_EQ(d.integerDigits, 2);

    f[1] = 7;
    d = Decide(f, 2, ModelDranik);
    EXPECT_FALSE(d.voltageRange.has_value());
    EXPECT_TRUE(d.startInterval);

    f[0] = 0x43;
    f[1] = 3;
    d = Decide(f, 2, ModelDranik);
    EXPECT_EQ(d.currentRange, 3);
    EXPECT_FALSE(d.voltageRange.has_value());
    EXPECT_TRUE(d.startInterval);
    EXPECT_FALSE(d.measuring);
    f[1] = 4;
    d = Decide(f, 2, ModelDranik);
    EXPECT_FALSE(d.currentRange.has_value());
    EXPECT_TRUE(d.startInterval);
}

TEST(DecideReply, OtherFirstBytesChangeNothing)
{
    for (int b = 0; b < 256; ++b) {
        if (b >= 0x41 && b <= 0x43) {
            continue;
        }
        Frame f = Measurement(ModeVoltage, 1, 1, 5.0f);
        f[0] = static_cast<std::uint8_t>(b);
        const auto d = Decide(f, 1, ModelVelmor);
        EXPECT_FALSE(d.startInterval) << b;
        EXPECT_FALSE(d.measuring);
        EXPECT_FALSE(d.mode || d.voltageRange || d.currentRange || d.valueText) << b;
        EXPECT_TRUE(d.unit.empty());
        EXPECT_EQ(d.integerDigits, 1);
    }
}
