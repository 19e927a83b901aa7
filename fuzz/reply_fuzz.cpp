// Fuzz target: the worker's reply path. Any bytes become a series of takes:
// how many bytes wait, what they are and what earlier replies left in the
// buffer; each take is judged and, when it goes on, decided as ProcessReply
// would, and every decision is checked against what it may be.
#include "FuzzInput.h"
#include "protocol/crc.h"
#include "protocol/float.h"
#include "protocol/frames.h"
#include "protocol/reply.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Bit by bit, independently of the table the library uses.
std::uint16_t ReferenceCrc(const std::uint8_t* data, std::size_t n)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                                 : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    // The library packs the byte sent first (the low half) into the high half.
    return static_cast<std::uint16_t>((crc << 8) | (crc >> 8));
}

void CheckValueText(const std::string& text, double value, int decimals)
{
    FUZZ_CHECK(std::isfinite(value));
    FUZZ_CHECK(!text.empty() && text.size() < 32);
    const bool scientific = text.find('E') != std::string::npos;
    if (!scientific) {
        const auto point = text.find('.');
        FUZZ_CHECK(point != std::string::npos);
        FUZZ_CHECK(text.size() - point - 1 == static_cast<std::size_t>(decimals));
        FUZZ_CHECK(text.find_first_not_of("-0123456789.") == std::string::npos);
    }
    if (text[0] == '-') {
        FUZZ_CHECK(text.find_first_of("123456789") < text.find('E'));
    }
    // At most half a unit of the last place shown, with 7 significant digits.
    const double shown = std::strtod(text.c_str(), nullptr);
    const double unit = std::max(0.5 * std::pow(10.0, -decimals), 0.5e-6 * std::fabs(value));
    FUZZ_CHECK(std::fabs(shown - value) <= unit * 1.000001 + 1e-300);
}

void CheckDecision(const Frame& frame, const ReplyDecision& d, std::uint8_t digitsBefore,
                   std::uint8_t model)
{
    FUZZ_CHECK(d.integerDigits <= 3);
    if (d.voltageRange) {
        FUZZ_CHECK(*d.voltageRange < VoltageRanges.size());
    }
    if (d.currentRange) {
        FUZZ_CHECK(*d.currentRange < CurrentRanges.size());
    }
    switch (ClassifyReply(frame[0])) {
    case ReplyKind::Measurement: {
        FUZZ_CHECK(d.startInterval && d.measuring && d.valueText);
        FUZZ_CHECK(d.mode.has_value() == !d.unit.empty());
        if (d.mode) {
            FUZZ_CHECK(*d.mode == frame[1] && *d.mode >= 1 && *d.mode <= 3);
            FUZZ_CHECK(d.unit == std::string_view("VAW").substr(*d.mode - 1, 1));
        }
        const auto fullScale = RangeFullScale(frame[1], frame[2], frame[3]);
        FUZZ_CHECK(d.integerDigits == (fullScale ? DigitsBeforePoint(*fullScale) : digitsBefore));
        const int decimals = Decimals(frame[1], d.integerDigits, model);
        FUZZ_CHECK(decimals >= 1 && decimals <= 5);
        CheckValueText(*d.valueText, DecodeFloat(&frame[4]), decimals);
        break;
    }
    case ReplyKind::VoltageRange:
    case ReplyKind::CurrentRange:
        FUZZ_CHECK(d.startInterval && !d.measuring && !d.valueText && !d.mode);
        FUZZ_CHECK(d.integerDigits == digitsBefore);
        break;
    default:
        FUZZ_CHECK(!d.startInterval && !d.measuring && !d.valueText && !d.mode && !d.voltageRange &&
                   !d.currentRange && d.unit.empty());
        FUZZ_CHECK(d.integerDigits == digitsBefore);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput in(data, size);
    // What earlier replies left in the buffer.
    Frame frame{};
    std::size_t stale = frame.size();
    const std::uint8_t* old = in.Bytes(stale);
    std::copy(old, old + stale, frame.begin());
    std::uint8_t digits = in.U8() % 4;
    const std::uint8_t model = in.U8() % 2 == 0 ? ModelVelmor : ModelDranik;

    while (!in.Empty()) {
        // The port's count: mostly short replies, sometimes bursts.
        const std::uint8_t shape = in.U8();
        std::uint16_t waiting =
            shape < 0xF0 ? shape % 80 : static_cast<std::uint16_t>(in.Upto(5000));
        std::vector<std::uint8_t> bytes(waiting);
        std::size_t given = waiting;
        const std::uint8_t* p = in.Bytes(given);
        std::copy(p, p + given, bytes.begin());
        // A reply the fuzzer only roughly found gets its check code put right.
        if (waiting >= 2 && waiting <= FrameCapacity && (shape & 1) != 0) {
            PutCheckCode(bytes.data(), waiting);
        }

        const Frame before = frame;
        const std::uint16_t kept = ReplyBytesKept(waiting);
        std::copy(bytes.begin(), bytes.begin() + kept, frame.begin());
        const TakenReply taken = JudgeReply(frame, waiting);

        FUZZ_CHECK(taken.kept == kept && kept <= FrameCapacity &&
                   kept == std::min<std::size_t>(waiting, FrameCapacity));
        FUZZ_CHECK(std::equal(frame.begin() + kept, frame.end(), before.begin() + kept));
        FUZZ_CHECK(taken.receivedCount == (waiting & 0xFF));
        const bool intact =
            waiting > 0 && waiting <= FrameCapacity && ReferenceCrc(frame.data(), waiting) == 0;
        FUZZ_CHECK(ReplyIntact(frame.data(), kept) ==
                   (kept > 0 && ReferenceCrc(frame.data(), kept) == 0));
        FUZZ_CHECK(taken.linkError == (waiting == 0 ? 1 : intact ? 0 : 2));
        FUZZ_CHECK(taken.process == (intact && frame[0] >= 0x40));
        if (taken.process) {
            const ReplyDecision d = DecideReply(frame, digits, model, ".");
            CheckDecision(frame, d, digits, model);
            digits = d.integerDigits;
        }
    }
    return 0;
}
