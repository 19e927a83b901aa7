#pragma once

#include <chrono>
#include <cstdint>
#include <random>

namespace sim {

enum class Waveform { Constant, Sine, Noise, Ramp };

struct SignalConfig {
    Waveform waveform = Waveform::Constant;
    double level = 0.5; // fraction of full scale, -1..1
    std::chrono::milliseconds period{10000};
};

// The measured quantity over time, as a fraction of the present range's full
// scale: constant level; a sine of that amplitude; uniform noise within
// +-level; a ramp from 0 to level that restarts every period.
class Signal {
public:
    explicit Signal(SignalConfig config = {}, std::uint32_t seed = 1);

    void SetConfig(const SignalConfig& config) { config_ = config; }
    const SignalConfig& Config() const { return config_; }

    // The value at `seconds` since start; never beyond +-fullScale.
    double Value(double seconds, double fullScale);

private:
    SignalConfig config_;
    std::mt19937 random_;
};

} // namespace sim
