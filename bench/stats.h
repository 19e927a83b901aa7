#pragma once

// Figures the benchmarks print, computed the same way in each of them.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

namespace bench {

inline double Micros(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

// Nearest-rank percentile (p in 0..1) of the samples; 0 without samples.
inline double Percentile(std::vector<double> samples, double p)
{
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    const auto rank = static_cast<std::size_t>(p * static_cast<double>(samples.size()));
    return samples[std::min(samples.size() - 1, rank)];
}

} // namespace bench
