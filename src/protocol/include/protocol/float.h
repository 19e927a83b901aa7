#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Full scale of each range, indexed by the range index the instrument reports.
// The same for both models.
inline constexpr std::array<double, 7> VoltageRanges = {30, 60, 75, 150, 300, 450, 600};
inline constexpr std::array<double, 4> CurrentRanges = {1, 2.5, 5, 10};

// Full scale of the mode's present range, volts times amperes for power;
// none for a mode code other than 1..3 or a range index outside its table.
std::optional<double> RangeFullScale(std::uint8_t modeCode, std::uint8_t voltageRange,
                                     std::uint8_t currentRange);

// ModelIndex values.
inline constexpr std::uint8_t ModelVelmor = 1;
inline constexpr std::uint8_t ModelDranik = 2;

// The value of a measurement reply: four bytes in single-precision layout,
// most significant first. Every pattern goes through the one formula, so
// exponent 0 and 255 give finite numbers (about 5.9e-39 and up to 6.8e38).
double DecodeFloat(const std::uint8_t* bytes);

// The four bytes the instrument sends for value: rounded to single precision,
// most significant byte first. DecodeFloat gives back the rounded value.
std::array<std::uint8_t, 4> EncodeFloat(double value);

// Digits before the point of a range's full scale: 0..3.
std::uint8_t DigitsBeforePoint(double x);

// Decimals shown for a value: one more with the Velmor model for every mode
// code from 2 up. integerDigits is 0..3, so the result is 1..5.
std::uint8_t Decimals(std::uint8_t modeCode, std::uint8_t integerDigits, std::uint8_t modelIndex);

// The value with exactly `decimals` digits after `separator`, keeping at
// most 7 significant digits; rounds half away from zero on the value's first
// 18 significant digits, never shows a sign on a zero result. Magnitudes that
// need more than 7 integer digits are written as 1.234568E+07.
std::string FormatFixed(double value, int decimals, std::string_view separator);

// The same with the decimal separator of the current C locale (LC_NUMERIC).
std::string FormatFixed(double value, int decimals);

// LC_NUMERIC's decimal separator; "." when the locale gives none.
std::string LocaleDecimalSeparator();
