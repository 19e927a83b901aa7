// Unit under test: TTrendData (src/ui/TrendData), the trend window's ring and its decimation.
#include "TrendReading.h"
#include "ui/TrendData.h"

#include "protocol/float.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

struct Extent {
    double min = 1e300;
    double max = -1e300;
    double from = 1e300;
    double to = -1e300;
};

Extent Of(const TTrendLine& line)
{
    Extent e;
    for (const TTrendPoint& p : line.points) {
        e.min = std::min(e.min, p.value);
        e.max = std::max(e.max, p.value);
        e.from = std::min(e.from, p.timeMs);
        e.to = std::max(e.to, p.timeMs);
    }
    return e;
}

} // namespace

// 100 ms readings: a flat 1 V with one 5 V spike, a no-reply, then current.
// At every width the spike is drawn, no line crosses the gap or the change
// of mode, and the points stay a few per column.
TEST(TrendData, DecimationKeepsTheSpikeTheGapAndTheModeBreak)
{
    TTrendData data;
    constexpr std::int64_t T0 = 1'800'000'000'000;
    constexpr int Count = 20000;
    constexpr int Spike = 4321;
    constexpr int Gap = 9000;
    constexpr int ModeChange = 15000;
    for (int i = 0; i < Count; ++i) {
        const std::int64_t t = T0 + 100 * std::int64_t{i};
        if (i == Gap) {
            data.Append(TMeasurement::Gap(t, 1, record::Status::NoReply));
        } else if (i >= ModeChange) {
            data.Append(TrendReading(t, 0.25, ModeCurrent));
        } else {
            data.Append(TrendReading(t, i == Spike ? 5.0 : 1.0));
        }
    }
    const auto gapTime = static_cast<double>(T0 + 100 * std::int64_t{Gap});
    const auto changeTime = static_cast<double>(T0 + 100 * std::int64_t{ModeChange});
    const double t1 = static_cast<double>(T0 + 100 * std::int64_t{Count - 1});
    for (const int columns : {37, 640, 1280, 50000}) {
        const auto lines = data.Decimate(static_cast<double>(T0), t1, columns);
        double top = 0;
        std::size_t points = 0;
        bool voltage = false;
        bool current = false;
        for (const TTrendLine& line : lines) {
            const Extent e = Of(line);
            top = std::max(top, e.max);
            points += line.points.size();
            EXPECT_FALSE(e.from < gapTime && e.to > gapTime) << columns << " columns";
            EXPECT_FALSE(e.from < changeTime && e.to > changeTime) << columns << " columns";
            if (line.bucket == 0) {
                voltage = true;
                EXPECT_LT(e.from, changeTime);
                EXPECT_GE(e.min, 1.0);
            } else {
                current = true;
                EXPECT_EQ(line.bucket, 1);
                EXPECT_GE(e.from, changeTime - t1 / columns);
                EXPECT_EQ(e.min, 0.25);
                EXPECT_EQ(e.max, 0.25);
            }
        }
        EXPECT_EQ(top, 5.0) << columns << " columns";
        EXPECT_TRUE(voltage && current) << columns << " columns";
        // Two points per column and line, a few more where lines break.
        EXPECT_LE(points, 2 * std::min<std::size_t>(columns + 3, Count) + 16) << columns;
    }

    const auto span = data.Summarise(static_cast<double>(T0), t1);
    ASSERT_TRUE(span.last.has_value());
    EXPECT_EQ(span.last->Mode(), ModeCurrent);
    EXPECT_EQ(span.stats.count, static_cast<std::uint32_t>(Count - ModeChange));
    const auto before = data.Summarise(static_cast<double>(T0), changeTime - 1);
    EXPECT_EQ(before.stats.max, 5.0);
    EXPECT_EQ(before.stats.count, static_cast<std::uint32_t>(ModeChange - 1));
    EXPECT_DOUBLE_EQ(before.stats.sum, (ModeChange - 2) * 1.0 + 5.0);
}

// Past its capacity the ring holds the newest readings only, and what it
// draws and sums is theirs: a spike that was dropped is gone, one that is
// held is drawn.
TEST(TrendData, TheRingHoldsTheNewestAndForgetsTheRest)
{
    TTrendData data(2 * TTrendData::BigBlock);
    const std::size_t capacity = data.Capacity();
    ASSERT_EQ(capacity, 2 * TTrendData::BigBlock);
    const std::size_t total = 3 * capacity + 123;
    const std::size_t heldSpike = total - 100;
    for (std::size_t i = 0; i < total; ++i) {
        const double value = i == 7 ? 100.0 : (i == heldSpike ? 50.0 : 1.0);
        data.Append(TrendReading(static_cast<std::int64_t>(1000 + 100 * i), value));
    }
    ASSERT_EQ(data.Size(), capacity);
    EXPECT_EQ(data.Oldest().TimeMs(), static_cast<std::int64_t>(1000 + 100 * (total - capacity)));
    EXPECT_EQ(data.Newest().TimeMs(), static_cast<std::int64_t>(1000 + 100 * (total - 1)));

    const auto from = static_cast<double>(data.Oldest().TimeMs());
    const auto to = static_cast<double>(data.Newest().TimeMs());
    double top = 0;
    for (const TTrendLine& line : data.Decimate(0, to, 300)) {
        top = std::max(top, Of(line).max);
        EXPECT_GE(Of(line).from, from - to / 300);
    }
    EXPECT_EQ(top, 50.0);
    const auto span = data.Summarise(0, to);
    EXPECT_EQ(span.stats.count, capacity);
    EXPECT_EQ(span.stats.max, 50.0);
    EXPECT_DOUBLE_EQ(span.stats.sum, static_cast<double>(capacity - 1) + 50.0);

    data.Clear();
    EXPECT_TRUE(data.Empty());
    EXPECT_TRUE(data.Decimate(0, to, 300).empty());
}
