#include "ui/TrendData.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

void TTrendStats::Add(double value)
{
    if (count == 0 || value < min) {
        min = value;
    }
    if (count == 0 || value > max) {
        max = value;
    }
    sum += value;
    ++count;
}

void TTrendStats::Merge(const TTrendStats& other)
{
    if (other.count == 0) {
        return;
    }
    if (count == 0 || other.min < min) {
        min = other.min;
    }
    if (count == 0 || other.max > max) {
        max = other.max;
    }
    sum += other.sum;
    count += other.count;
}

namespace {

void MergeAll(TBucketStats& into, const TBucketStats& from)
{
    for (std::size_t b = 0; b < into.size(); ++b) {
        into[b].Merge(from[b]);
    }
}

bool NoneMeasured(const TBucketStats& buckets, std::optional<std::uint8_t> bucket)
{
    if (bucket) {
        return buckets[*bucket].count == 0;
    }
    for (const TTrendStats& s : buckets) {
        if (s.count > 0) {
            return false;
        }
    }
    return true;
}

std::size_t PowerOfTwo(std::size_t wanted)
{
    std::size_t capacity = TTrendData::BigBlock;
    while (capacity < wanted) {
        capacity *= 2;
    }
    return capacity;
}

// A lone reading, or a bar of one value, would draw nothing: a dash one
// column wide.
void WidenDots(std::vector<TTrendLine>& lines, double width)
{
    for (TTrendLine& line : lines) {
        const auto& p = line.points;
        if (p.size() == 1 ||
            (p.size() == 2 && p[0].timeMs == p[1].timeMs && p[0].value == p[1].value)) {
            const TTrendPoint at = p.front();
            line.points = {{at.timeMs - width / 2, at.value}, {at.timeMs + width / 2, at.value}};
        }
    }
}

} // namespace

TTrendData::TTrendData(std::size_t wanted)
    : capacity(PowerOfTwo(wanted)), mask(capacity - 1), smallMask(capacity / Block - 1),
      bigMask(capacity / BigBlock - 1),
      // Untouched until written: a ring that never fills costs what it holds.
      samples(std::make_unique_for_overwrite<TMeasurement[]>(capacity)),
      small(std::make_unique<TSummary[]>(capacity / Block)),
      big(std::make_unique<TSummary[]>(capacity / BigBlock))
{
}

void TTrendData::Append(const TMeasurement& measurement)
{
    // Later readings never sort before earlier ones, so that times can be
    // searched.
    const TMeasurement kept = !Empty() && measurement.TimeMs() < Newest().TimeMs()
                                  ? measurement.WithTime(Newest().TimeMs())
                                  : measurement;
    if (Size() == capacity) {
        ++first;
    }
    const std::uint64_t i = next;
    samples[i & mask] = kept;
    next = i + 1;
    // A block's summary starts again with its first reading; the block that
    // held its slot before is by then no longer whole in the ring, and only
    // whole blocks are read.
    const auto update = [&](TSummary& s, std::size_t size) {
        if (i % size == 0) {
            s = TSummary{};
            s.joined = kept.Ok();
        } else {
            s.joined = s.joined && Continues(i);
        }
        if (kept.Ok()) {
            s.buckets[kept.Bucket()].Add(kept.Value());
        }
    };
    update(small[(i / Block) & smallMask], Block);
    update(big[(i / BigBlock) & bigMask], BigBlock);
}

void TTrendData::Clear()
{
    first = next;
}

std::vector<TMeasurement> TTrendData::Snapshot() const
{
    std::vector<TMeasurement> out;
    out.reserve(Size());
    for (std::uint64_t i = first; i < next; ++i) {
        out.push_back(Sample(i));
    }
    return out;
}

bool TTrendData::Continues(std::uint64_t index) const
{
    if (index <= first) {
        return false;
    }
    const TMeasurement& m = Sample(index);
    const TMeasurement& before = Sample(index - 1);
    return m.Ok() && before.Ok() && m.Key() == before.Key() &&
           m.TimeMs() - before.TimeMs() <= MaxStepMs;
}

std::uint64_t TTrendData::LowerBound(double timeMs) const
{
    std::uint64_t lo = first;
    std::uint64_t hi = next;
    while (lo < hi) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        if (static_cast<double>(Time(mid)) < timeMs) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

std::uint64_t TTrendData::FirstBreak(std::uint64_t a, std::uint64_t b) const
{
    // A joined block continues the line from its second reading to its
    // last: from inside one, the search goes on at its end. Its summary is
    // the block's own while the block's first reading is held.
    std::uint64_t i = a + 1;
    while (i < b) {
        const std::uint64_t bigStart = i / BigBlock * BigBlock;
        const std::uint64_t smallStart = i / Block * Block;
        if (bigStart >= first && Big(i).joined && (i > bigStart || Continues(i))) {
            i = std::min(b, bigStart + BigBlock);
        } else if (smallStart >= first && Small(i).joined && (i > smallStart || Continues(i))) {
            i = std::min(b, smallStart + Block);
        } else if (!Continues(i)) {
            return i;
        } else {
            ++i;
        }
    }
    return b;
}

std::uint64_t TTrendData::LastBreak(std::uint64_t a, std::uint64_t b) const
{
    // Looks at (a, i), from the right.
    std::uint64_t i = b;
    while (i > a + 1) {
        if (i % BigBlock == 0 && i - BigBlock > a && Big(i - BigBlock).joined &&
            Continues(i - BigBlock)) {
            i -= BigBlock;
        } else if (i % Block == 0 && i - Block > a && Small(i - Block).joined &&
                   Continues(i - Block)) {
            i -= Block;
        } else if (!Continues(i - 1)) {
            return i - 1;
        } else {
            --i;
        }
    }
    return a;
}

TBucketStats TTrendData::Aggregate(std::uint64_t a, std::uint64_t b) const
{
    TBucketStats out{};
    std::uint64_t i = a;
    while (i < b) {
        if (i % BigBlock == 0 && i + BigBlock <= b) {
            MergeAll(out, Big(i).buckets);
            i += BigBlock;
        } else if (i % Block == 0 && i + Block <= b) {
            MergeAll(out, Small(i).buckets);
            i += Block;
        } else {
            const TMeasurement& m = Sample(i);
            if (m.Ok()) {
                out[m.Bucket()].Add(m.Value());
            }
            ++i;
        }
    }
    return out;
}

std::optional<std::uint64_t> TTrendData::LastMeasured(std::uint64_t a, std::uint64_t b,
                                                      std::optional<std::uint8_t> bucket) const
{
    std::uint64_t i = b;
    while (i > a) {
        if (i % BigBlock == 0 && i - BigBlock >= a &&
            NoneMeasured(Big(i - BigBlock).buckets, bucket)) {
            i -= BigBlock;
        } else if (i % Block == 0 && i - Block >= a &&
                   NoneMeasured(Small(i - Block).buckets, bucket)) {
            i -= Block;
        } else if (const TMeasurement& m = Sample(i - 1);
                   m.Ok() && (!bucket || m.Bucket() == *bucket)) {
            return i - 1;
        } else {
            --i;
        }
    }
    return std::nullopt;
}

void TTrendData::Run(TTrendLine& line, std::uint64_t a, std::uint64_t b) const
{
    if (b - a == 1) {
        line.points.push_back({static_cast<double>(Time(a)), Sample(a).Value()});
        return;
    }
    const TTrendStats s = Aggregate(a, b)[line.bucket];
    // Ends at the extreme nearer the last reading, so that the line leaves
    // the column about where the signal does.
    const double last = Sample(b - 1).Value();
    const bool risesToLast = std::abs(last - s.max) <= std::abs(last - s.min);
    line.points.push_back({static_cast<double>(Time(a)), risesToLast ? s.min : s.max});
    line.points.push_back({static_cast<double>(Time(b - 1)), risesToLast ? s.max : s.min});
}

std::vector<TTrendLine> TTrendData::Decimate(double t0Ms, double t1Ms, int columns) const
{
    std::vector<TTrendLine> lines;
    if (columns <= 0 || !(t1Ms > t0Ms) || Empty()) {
        return lines;
    }
    const double width = (t1Ms - t0Ms) / columns;
    // One column more on either side, so that the lines run on to the edges.
    const auto kFirst = static_cast<std::int64_t>(std::floor(t0Ms / width)) - 1;
    const auto kLast = static_cast<std::int64_t>(std::floor(t1Ms / width)) + 1;
    std::optional<std::size_t> open;
    std::uint64_t a = LowerBound(static_cast<double>(kFirst) * width);
    for (std::int64_t k = kFirst; k <= kLast && a < next; ++k) {
        const std::uint64_t b = LowerBound(static_cast<double>(k + 1) * width);
        if (a == b) {
            continue;
        }
        if (open && !Continues(a)) {
            open.reset();
        }
        if (!open && Sample(a).Ok()) {
            lines.push_back({Sample(a).Bucket(), {}});
            open = lines.size() - 1;
        }
        std::uint64_t f = a;
        if (open) {
            f = FirstBreak(a, b);
            Run(lines[*open], a, f);
            if (f == b) {
                a = b;
                continue;
            }
            open.reset();
        }
        // Between the first and the last break of the column: a bar per
        // unit, standing alone.
        const std::uint64_t l = LastBreak(f, b);
        if (l > f) {
            Bars(lines, f, l, (static_cast<double>(k) + 0.5) * width);
        }
        if (Sample(l).Ok()) {
            lines.push_back({Sample(l).Bucket(), {}});
            open = lines.size() - 1;
            Run(lines[*open], l, b);
        }
        a = b;
    }
    WidenDots(lines, width);
    return lines;
}

void TTrendData::Bars(std::vector<TTrendLine>& lines, std::uint64_t a, std::uint64_t b,
                      double x) const
{
    const TBucketStats bars = Aggregate(a, b);
    for (std::size_t bucket = 0; bucket < bars.size(); ++bucket) {
        if (bars[bucket].count > 0) {
            lines.push_back({static_cast<std::uint8_t>(bucket),
                             {{x, bars[bucket].min}, {x, bars[bucket].max}}});
        }
    }
}

std::pair<std::uint64_t, std::uint64_t> TTrendData::Indices(double t0Ms, double t1Ms) const
{
    // Times are whole milliseconds: up to the first after t1Ms.
    return {LowerBound(t0Ms), LowerBound(std::floor(t1Ms) + 1)};
}

std::array<std::optional<TMeasurement>, TMeasurement::Buckets>
TTrendData::NewestOfEach(double t0Ms, double t1Ms) const
{
    std::array<std::optional<TMeasurement>, TMeasurement::Buckets> out;
    const auto [a, b] = Indices(t0Ms, t1Ms);
    for (std::size_t bucket = 0; bucket < out.size(); ++bucket) {
        if (const auto i =
                a < b ? LastMeasured(a, b, static_cast<std::uint8_t>(bucket)) : std::nullopt) {
            out[bucket] = Sample(*i);
        }
    }
    return out;
}

TTrendData::TSpan TTrendData::Summarise(double t0Ms, double t1Ms) const
{
    TSpan span;
    const auto [a, b] = Indices(t0Ms, t1Ms);
    if (a >= b) {
        return span;
    }
    const auto last = LastMeasured(a, b);
    if (!last) {
        return span;
    }
    span.last = Sample(*last);
    span.stats = Aggregate(a, b)[span.last->Bucket()];
    return span;
}
