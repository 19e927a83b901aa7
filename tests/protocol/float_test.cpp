// Unit under test: float (value decoding, digit count, fixed notation).
#include "protocol/float.h"

#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>

namespace {

double Decode(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3)
{
    const std::uint8_t bytes[] = {b0, b1, b2, b3};
    return DecodeFloat(bytes);
}

std::string Fixed(double value, int decimals)
{
    return FormatFixed(value, decimals, ".");
}

// Sets LC_NUMERIC for one test and puts the previous locale back.
class NumericLocale {
public:
    explicit NumericLocale(std::initializer_list<const char*> names)
        : previous_(std::setlocale(LC_NUMERIC, nullptr))
    {
        for (const char* name : names) {
            if (std::setlocale(LC_NUMERIC, name) != nullptr) {
                active_ = true;
                return;
            }
        }
    }
    ~NumericLocale() { std::setlocale(LC_NUMERIC, previous_.c_str()); }
    NumericLocale(const NumericLocale&) = delete;
    NumericLocale& operator=(const NumericLocale&) = delete;
    bool Active() const { return active_; }

private:
    std::string previous_;
    bool active_ = false;
};

} // namespace

TEST(DecodeFloat, ExamplesAndExtremeExponents)
{
    EXPECT_EQ(Decode(0x41, 0x48, 0x00, 0x00), 12.5);
    EXPECT_EQ(Decode(0xBE, 0x80, 0x00, 0x00), -0.25);
    // No zero, denormal, infinity or NaN: exponents 0 and 255 use the formula.
    EXPECT_EQ(Decode(0x00, 0x00, 0x00, 0x00), std::ldexp(1.0, -127));
    EXPECT_EQ(Decode(0x80, 0x00, 0x00, 0x00), -std::ldexp(1.0, -127));
    EXPECT_EQ(Decode(0x00, 0x00, 0x00, 0x01), std::ldexp(1.0 + std::ldexp(1.0, -23), -127));
    EXPECT_EQ(Decode(0x7F, 0x80, 0x00, 0x00), std::ldexp(1.0, 128));
    EXPECT_EQ(Decode(0x7F, 0xC0, 0x00, 0x00), std::ldexp(1.5, 128)); // a NaN pattern
    EXPECT_EQ(Decode(0xFF, 0xFF, 0xFF, 0xFF), -std::ldexp(2.0 - std::ldexp(1.0, -23), 128));
}

TEST(EncodeFloat, MostSignificantFirstAndDecodeFloatsInverse)
{
    EXPECT_EQ(EncodeFloat(12.5), (std::array<std::uint8_t, 4>{0x41, 0x48, 0x00, 0x00}));
    EXPECT_EQ(EncodeFloat(-0.25), (std::array<std::uint8_t, 4>{0xBE, 0x80, 0x00, 0x00}));
    for (const double v : {12.5, -0.25, 450.0 * 2.5, 1e-3, -6000.0, 0.1}) {
        const auto bytes = EncodeFloat(v);
        EXPECT_EQ(DecodeFloat(bytes.data()), static_cast<double>(static_cast<float>(v))) << v;
    }
}

TEST(DecodeFloat, AgreesWithSinglePrecisionForNormalNumbers)
{
    std::mt19937 random(7);
    for (int n = 0; n < 20000; ++n) {
        std::uint32_t bits = random();
        const std::uint32_t exponent = bits >> 23 & 0xFF;
        if (exponent == 0 || exponent == 255) {
            continue;
        }
        const double decoded =
            Decode(static_cast<std::uint8_t>(bits >> 24), static_cast<std::uint8_t>(bits >> 16),
                   static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits));
        ASSERT_EQ(decoded, static_cast<double>(std::bit_cast<float>(bits))) << std::hex << bits;
    }
}

TEST(DigitsBeforePoint, Boundaries)
{
    EXPECT_EQ(DigitsBeforePoint(0), 0);
    EXPECT_EQ(DigitsBeforePoint(-5000), 0);
    EXPECT_EQ(DigitsBeforePoint(9.999), 0);
    EXPECT_EQ(DigitsBeforePoint(10), 1);
    EXPECT_EQ(DigitsBeforePoint(99.99), 1);
    EXPECT_EQ(DigitsBeforePoint(100), 2);
    EXPECT_EQ(DigitsBeforePoint(187.5), 2);
    EXPECT_EQ(DigitsBeforePoint(999.9), 2);
    EXPECT_EQ(DigitsBeforePoint(1000), 3);
    EXPECT_EQ(DigitsBeforePoint(1e30), 3);
    EXPECT_EQ(DigitsBeforePoint(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(FormatFixed, ExamplesAndRounding)
{
    EXPECT_EQ(Fixed(12.5, 3), "12.500");
    EXPECT_EQ(Fixed(230.456, 2), "230.46");
    EXPECT_EQ(Fixed(0.123456, 5), "0.12346");
    EXPECT_EQ(Fixed(123.4567, 2), "123.46");
    EXPECT_EQ(Fixed(123.4567, 3), "123.457");
    EXPECT_EQ(Fixed(12345.6789, 3), "12345.680"); // 7 significant digits at most
    EXPECT_EQ(Fixed(1234567.89, 1), "1234568.0");
    // Exact ties round away from zero.
    EXPECT_EQ(Fixed(0.125, 2), "0.13");
    EXPECT_EQ(Fixed(-0.125, 2), "-0.13");
    EXPECT_EQ(Fixed(2.5, 0), "3");
    EXPECT_EQ(Fixed(0.99996, 4), "1.0000");
    EXPECT_EQ(Fixed(-0.0006, 3), "-0.001");
}

TEST(FormatFixed, ZeroNeverShowsASign)
{
    EXPECT_EQ(Fixed(0.0, 3), "0.000");
    EXPECT_EQ(Fixed(-0.0, 3), "0.000");
    EXPECT_EQ(Fixed(-0.0004, 3), "0.000");
    EXPECT_EQ(Fixed(Decode(0x00, 0x00, 0x00, 0x00), 3), "0.000");
    EXPECT_EQ(Fixed(Decode(0x80, 0x00, 0x00, 0x00), 3), "0.000");
    EXPECT_EQ(Fixed(Decode(0x80, 0x00, 0x00, 0x00), 5), "0.00000");
}

TEST(FormatFixed, ScientificFromTenToTheSeven)
{
    EXPECT_EQ(Fixed(9999999.4, 1), "9999999.0");
    EXPECT_EQ(Fixed(9999999.6, 1), "1.000000E+07"); // rounding reaches 10^7
    EXPECT_EQ(Fixed(1e7, 3), "1.000000E+07");
    EXPECT_EQ(Fixed(-12345678.9, 2), "-1.234568E+07");
    EXPECT_EQ(Fixed(99999995e3, 2), "1.000000E+11");
    EXPECT_EQ(Fixed(Decode(0x7F, 0x80, 0x00, 0x00), 4), "3.402824E+38");
    EXPECT_EQ(FormatFixed(Decode(0xFF, 0xFF, 0xFF, 0xFF), 4, ","), "-6,805647E+38");
    EXPECT_EQ(Fixed(std::numeric_limits<double>::quiet_NaN(), 2), "NAN");
}

TEST(FormatFixed, SeparatorIsPassedThrough)
{
    EXPECT_EQ(FormatFixed(12.5, 3, ","), "12,500");
    EXPECT_EQ(FormatFixed(-0.25, 4, ","), "-0,2500");
    EXPECT_EQ(FormatFixed(7.0, 0, ","), "7");
}

TEST(FormatFixed, UsesTheLocalesDecimalSeparator)
{
    {
        NumericLocale c({"C"});
        EXPECT_EQ(FormatFixed(12.5, 3), "12.500");
    }
    NumericLocale russian({"ru_RU.UTF-8", "ru_RU.utf8", "ru_RU"});
    if (!russian.Active()) {
        GTEST_SKIP() << "no Russian locale installed; the separator is covered by "
                        "SeparatorIsPassedThrough";
    }
    EXPECT_EQ(LocaleDecimalSeparator(), ",");
    EXPECT_EQ(FormatFixed(12.5, 3), "12,500");
}

// Reference cases from an independent implementation: double bits, decimals
// and the expected text with "." as separator.
TEST(FormatFixed, ReferenceVectors)
{
    const std::filesystem::path path = VELMOR_FIXED7_VECTORS;
    std::ifstream in(path);
    ASSERT_TRUE(in) << "cannot read " << path;

    std::string line;
    int cases = 0;
    int failures = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::string hex;
        int decimals = 0;
        std::string expected;
        ASSERT_TRUE(fields >> hex >> decimals >> expected) << "malformed line: " << line;
        const double value = std::bit_cast<double>(std::stoull(hex, nullptr, 16));
        const std::string text = Fixed(value, decimals);
        if (text != expected && ++failures <= 20) {
            ADD_FAILURE() << hex << " (" << value << ") with " << decimals << " decimals: got "
                          << text << ", expected " << expected;
        }
        ++cases;
    }
    EXPECT_EQ(failures, 0);
    EXPECT_GE(cases, 2900) << path << " looks truncated";
}
