#include "instrument-sim/waveform.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace sim {

Signal::Signal(SignalConfig config, std::uint32_t seed) : config_(config), random_(seed) {}

double Signal::Value(double seconds, double fullScale)
{
    const double level = std::clamp(config_.level, -1.0, 1.0);
    const double period = std::max(1e-3, std::chrono::duration<double>(config_.period).count());
    double fraction = 0;
    switch (config_.waveform) {
    case Waveform::Constant:
        fraction = level;
        break;
    case Waveform::Sine:
        fraction = level * std::sin(2 * std::numbers::pi * seconds / period);
        break;
    case Waveform::Noise:
        fraction = level * std::uniform_real_distribution<double>(-1.0, 1.0)(random_);
        break;
    case Waveform::Ramp: {
        const double phase = seconds / period - std::floor(seconds / period);
        fraction = level * phase;
        break;
    }
    }
    return fraction * fullScale;
}

} // namespace sim
