#include "protocol/float.h"

#include "protocol/frames.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>

namespace {

constexpr int SignificantDigits = 7;
// Decimal digits taken from the double before rounding to what is shown.
constexpr int SourceDigits = 18;

struct DecimalDigits {
    std::array<int, SourceDigits> digit{}; // d0.d1d2... of the magnitude
    int exponent = 0;                      // power of ten of d0
};

// The magnitude's first 18 significant digits, correctly rounded.
DecimalDigits ToDecimalDigits(double magnitude)
{
    char text[48];
    const auto result = std::to_chars(text, text + sizeof text, magnitude,
                                      std::chars_format::scientific, SourceDigits - 1);
    DecimalDigits d;
    d.digit[0] = text[0] - '0';
    for (int i = 1; i < SourceDigits; ++i) {
        d.digit[i] = text[i + 1] - '0'; // skip the point
    }
    const char* e = std::find(text, result.ptr, 'e');
    std::from_chars(e + (e[1] == '+' ? 2 : 1), result.ptr, d.exponent);
    return d;
}

// The first `count` digits as an integer, rounded half away from zero on the
// digit that follows; count may be 0 or negative (the value is then below one
// unit of the last kept place).
std::uint64_t RoundDigits(const DecimalDigits& d, int count)
{
    if (count < 0) {
        return 0;
    }
    std::uint64_t n = 0;
    for (int i = 0; i < count; ++i) {
        n = n * 10 + static_cast<std::uint64_t>(d.digit[i]);
    }
    if (count < SourceDigits && d.digit[count] >= 5) {
        ++n;
    }
    return n;
}

std::uint64_t Pow10(int n)
{
    std::uint64_t p = 1;
    while (n-- > 0) {
        p *= 10;
    }
    return p;
}

std::string Scientific(bool negative, const DecimalDigits& d, std::string_view separator)
{
    std::uint64_t mantissa = RoundDigits(d, SignificantDigits);
    int exponent = d.exponent;
    if (mantissa == Pow10(SignificantDigits)) { // 9.9999995 carried to 10
        mantissa /= 10;
        ++exponent;
    }
    std::string digits = std::to_string(mantissa);
    std::string text = negative ? "-" : "";
    text += digits[0];
    text += separator;
    text += digits.substr(1);
    text += exponent < 0 ? "E-" : "E+";
    const std::string e = std::to_string(std::abs(exponent));
    text += e.size() < 2 ? "0" + e : e;
    return text;
}

} // namespace

double DecodeFloat(const std::uint8_t* bytes)
{
    const bool negative = (bytes[0] & 0x80) != 0;
    const int exponent = (bytes[0] & 0x7F) * 2 + (bytes[1] >> 7);
    const std::uint32_t fraction =
        static_cast<std::uint32_t>(bytes[1] & 0x7F) << 16 | bytes[2] << 8 | bytes[3];
    const double mantissa = 1.0 + fraction / 8388608.0; // 2^23
    const double value = std::ldexp(mantissa, exponent - 127);
    return negative ? -value : value;
}

std::array<std::uint8_t, 4> EncodeFloat(double value)
{
    const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(value));
    return {static_cast<std::uint8_t>(bits >> 24), static_cast<std::uint8_t>(bits >> 16),
            static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits)};
}

std::optional<double> RangeFullScale(std::uint8_t modeCode, std::uint8_t voltageRange,
                                     std::uint8_t currentRange)
{
    const bool voltage = voltageRange < VoltageRanges.size();
    const bool current = currentRange < CurrentRanges.size();
    switch (modeCode) {
    case ModeVoltage:
        return voltage ? std::optional(VoltageRanges[voltageRange]) : std::nullopt;
    case ModeCurrent:
        return current ? std::optional(CurrentRanges[currentRange]) : std::nullopt;
    case ModePower:
        return voltage && current
                   ? std::optional(VoltageRanges[voltageRange] * CurrentRanges[currentRange])
                   : std::nullopt;
    default:
        return std::nullopt;
    }
}

std::uint8_t DigitsBeforePoint(double x)
{
    if (x >= 1000) {
        return 3;
    }
    if (x >= 100) {
        return 2;
    }
    if (x >= 10) {
        return 1;
    }
    return 0; // also NaN
}

std::uint8_t Decimals(std::uint8_t modeCode, std::uint8_t integerDigits, std::uint8_t modelIndex)
{
    const int base = modelIndex == ModelVelmor && modeCode >= ModeCurrent ? 5 : 4;
    return static_cast<std::uint8_t>(base - std::min<int>(integerDigits, 3));
}

std::string FormatFixed(double value, int decimals, std::string_view separator)
{
    if (std::isnan(value)) {
        return "NAN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-INF" : "INF";
    }
    decimals = std::clamp(decimals, 0, SourceDigits - 1);
    const bool negative = std::signbit(value);
    const DecimalDigits d = ToDecimalDigits(std::fabs(value));

    const int integerDigits = d.exponent + 1; // 0 or less below 1
    if (integerDigits > SignificantDigits) {
        return Scientific(negative, d, separator);
    }
    const int fraction =
        integerDigits > 0 ? std::min(decimals, SignificantDigits - integerDigits) : decimals;
    const std::uint64_t n = RoundDigits(d, integerDigits + fraction);
    const std::uint64_t scale = Pow10(fraction);
    if (n / scale >= Pow10(SignificantDigits)) { // 9999999.5 carried to 8 digits
        return Scientific(negative, d, separator);
    }

    std::string text = negative && n != 0 ? "-" : "";
    text += std::to_string(n / scale);
    if (decimals > 0) {
        text += separator;
        const std::string part = std::to_string(n % scale + scale).substr(1); // keeps leading 0s
        text += part;
        text.append(static_cast<std::size_t>(decimals - fraction), '0');
    }
    return text;
}

std::string FormatFixed(double value, int decimals)
{
    return FormatFixed(value, decimals, LocaleDecimalSeparator());
}

std::string LocaleDecimalSeparator()
{
    const std::lconv* conv = std::localeconv();
    if (conv == nullptr || conv->decimal_point == nullptr || *conv->decimal_point == '\0') {
        return ".";
    }
    return conv->decimal_point;
}
