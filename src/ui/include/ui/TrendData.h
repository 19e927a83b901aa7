#pragma once

#include "link/Measurement.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// A point of the plot: milliseconds since the epoch, and the value.
struct TTrendPoint {
    double timeMs;
    double value;
};

// Points to be joined by one line, all in one unit bucket.
struct TTrendLine {
    std::uint8_t bucket;
    std::vector<TTrendPoint> points;
};

// Of the readings of one unit bucket.
struct TTrendStats {
    double min = 0;
    double max = 0;
    double sum = 0;
    std::uint32_t count = 0;

    void Add(double value);
    void Merge(const TTrendStats& other);
};

using TBucketStats = std::array<TTrendStats, TMeasurement::Buckets>;

// The trend window's readings: a bounded ring, oldest dropped first, with
// summaries of blocks of 64 and 4096 readings beside it, so that drawing a
// span into pixel columns and its minimum, maximum and mean cost the width,
// not the number of readings held. UI thread only.
//
// Readings of one key (mode and ranges) that follow each other within
// MaxStepMs are joined into lines; a gap (no reply, a check error, a lost
// port), a change of key or a longer pause breaks the line.
class TTrendData {
public:
    static constexpr std::size_t Block = 64;
    static constexpr std::size_t BigBlock = Block * Block;
    // More than a day at the polling rate (a reading every 110 ms, or every
    // 100 ms with replies that take no time): 2^20 = 1,048,576 readings. A
    // power of two, so that a reading's slot is a mask of its index.
    static constexpr std::size_t DayCapacity = std::size_t{1} << 20;
    // Longer than any cycle, even one that waited out its reply's time-out:
    // readings further apart were not taken in one run.
    static constexpr std::int64_t MaxStepMs = 2000;

    // capacity: rounded up to a power of two of at least a large block.
    explicit TTrendData(std::size_t capacity = DayCapacity);

    // A reading older than the newest is taken as of the newest's time.
    void Append(const TMeasurement& measurement);
    void Clear();

    std::size_t Size() const { return static_cast<std::size_t>(next - first); }
    std::size_t Capacity() const { return capacity; }
    bool Empty() const { return next == first; }
    // 0 is the oldest held.
    const TMeasurement& At(std::size_t index) const { return Sample(first + index); }
    const TMeasurement& Newest() const { return Sample(next - 1); }
    const TMeasurement& Oldest() const { return Sample(first); }
    // Every reading held, oldest first.
    std::vector<TMeasurement> Snapshot() const;

    // The readings from t0Ms to t1Ms drawn into columns: per column the
    // minimum and maximum of each line that passes it, so that a spike of
    // one reading stays in view at any width. A column that a gap or a
    // change of key breaks ends the line before it, draws what lies between
    // its breaks as a bar of its own and starts the next line after them.
    // Columns are aligned to whole multiples of their width in time, so the
    // picture does not shimmer as the span moves on.
    std::vector<TTrendLine> Decimate(double t0Ms, double t1Ms, int columns) const;

    // The newest reading measured from t0Ms to t1Ms (inclusive), and the
    // statistics of the readings of its unit bucket over that span.
    struct TSpan {
        std::optional<TMeasurement> last;
        TTrendStats stats;
    };
    TSpan Summarise(double t0Ms, double t1Ms) const;
    // The newest reading of each unit bucket from t0Ms to t1Ms (inclusive).
    std::array<std::optional<TMeasurement>, TMeasurement::Buckets> NewestOfEach(double t0Ms,
                                                                                double t1Ms) const;

    // Whether the newest reading continues the line of the one before.
    bool NewestContinues() const { return !Empty() && Continues(next - 1); }

private:
    struct TSummary {
        TBucketStats buckets;
        // Every reading of the block is measured and continues the line of
        // the one before it inside the block.
        bool joined = false;
    };

    const TMeasurement& Sample(std::uint64_t index) const { return samples[index & mask]; }
    const TSummary& Small(std::uint64_t index) const { return small[(index / Block) & smallMask]; }
    const TSummary& Big(std::uint64_t index) const { return big[(index / BigBlock) & bigMask]; }
    std::int64_t Time(std::uint64_t index) const { return Sample(index).TimeMs(); }
    bool Continues(std::uint64_t index) const;
    // The first held index whose time is at or after timeMs.
    std::uint64_t LowerBound(double timeMs) const;
    // The first index in (a, b) whose reading does not continue the line,
    // or b.
    std::uint64_t FirstBreak(std::uint64_t a, std::uint64_t b) const;
    // The last index in (a, b) whose reading does not continue the line,
    // or a.
    std::uint64_t LastBreak(std::uint64_t a, std::uint64_t b) const;
    TBucketStats Aggregate(std::uint64_t a, std::uint64_t b) const;
    // The last index in [a, b) measured in bucket, or in any without one.
    std::optional<std::uint64_t> LastMeasured(std::uint64_t a, std::uint64_t b,
                                              std::optional<std::uint8_t> bucket = {}) const;
    // The indices [a, b) of a span's times.
    std::pair<std::uint64_t, std::uint64_t> Indices(double t0Ms, double t1Ms) const;
    // Points for the readings [a, b) of one line.
    void Run(TTrendLine& line, std::uint64_t a, std::uint64_t b) const;
    // A bar at x for each unit measured in the readings [a, b).
    void Bars(std::vector<TTrendLine>& lines, std::uint64_t a, std::uint64_t b, double x) const;

    std::size_t capacity;
    std::uint64_t mask;      // capacity - 1
    std::uint64_t smallMask; // capacity / Block - 1
    std::uint64_t bigMask;   // capacity / BigBlock - 1
    std::unique_ptr<TMeasurement[]> samples;
    std::unique_ptr<TSummary[]> small; // capacity / Block
    std::unique_ptr<TSummary[]> big;   // capacity / BigBlock
    // Absolute indices: the oldest held, and one past the newest.
    std::uint64_t first = 0;
    std::uint64_t next = 0;
};
