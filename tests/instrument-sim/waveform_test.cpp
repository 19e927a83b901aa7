// Unit under test: waveform (the simulated measured quantity).
#include "instrument-sim/waveform.h"

#include <gtest/gtest.h>

#include <cmath>

using sim::Signal;
using sim::Waveform;

namespace {
constexpr std::chrono::milliseconds Period{2000}; // 2 s
}

TEST(Signal, ConstantSineAndRamp)
{
    Signal constant({Waveform::Constant, 0.5, Period});
    EXPECT_DOUBLE_EQ(constant.Value(0, 75), 37.5);
    EXPECT_DOUBLE_EQ(constant.Value(123, 75), 37.5);

    Signal sine({Waveform::Sine, -0.8, Period});
    EXPECT_NEAR(sine.Value(0, 10), 0, 1e-12);
    EXPECT_NEAR(sine.Value(0.5, 10), -8, 1e-12); // a quarter period
    EXPECT_NEAR(sine.Value(1.5, 10), 8, 1e-12);

    Signal ramp({Waveform::Ramp, 1.0, Period});
    EXPECT_DOUBLE_EQ(ramp.Value(0, 600), 0);
    EXPECT_DOUBLE_EQ(ramp.Value(1, 600), 300);
    EXPECT_DOUBLE_EQ(ramp.Value(2.5, 600), 150); // restarted
}

TEST(Signal, StaysWithinFullScale)
{
    Signal noise({Waveform::Noise, 1.0, Period}, 3);
    bool negative = false;
    bool positive = false;
    for (int i = 0; i < 1000; ++i) {
        const double v = noise.Value(i * 0.01, 2.5);
        ASSERT_LE(std::fabs(v), 2.5);
        negative |= v < 0;
        positive |= v > 0;
    }
    EXPECT_TRUE(negative && positive);

    for (const Waveform w : {Waveform::Constant, Waveform::Sine, Waveform::Noise, Waveform::Ramp}) {
        Signal s({w, 7.0, Period}); // a level beyond 1 is held to full scale
        for (int i = 0; i < 100; ++i) {
            ASSERT_LE(std::fabs(s.Value(i * 0.037, 30)), 30.0);
        }
    }
}
