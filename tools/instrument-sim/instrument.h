#pragma once

#include "instrument-sim/waveform.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

// What the instrument is set to. Setting commands only store valid values;
// the library API may store any byte, to produce replies outside the tables.
struct InstrumentState {
    std::uint8_t mode = 1; // 1 voltage, 2 current, 3 power
    std::uint8_t voltageRange = 0;
    std::uint8_t currentRange = 0;
};

// Full scale of the present mode and ranges (power: volts times amperes);
// 0 when the state is outside the tables.
double FullScale(const InstrumentState& state);

enum class RequestOutcome {
    Answered,
    Silenced,       // the silence fault or a due hang-up swallowed it
    BadCheck,       // wrong check code: no answer
    UnknownCommand, // no answer
    BadParameter,   // setting command with a parameter outside its table: no answer
    Incomplete,     // a frame's start followed by silence: dropped
};

const char* OutcomeName(RequestOutcome outcome);

// Length of the request that starts with `firstByte`; 0 for no command.
std::size_t RequestFrameLength(std::uint8_t firstByte);

// The instrument's side of the protocol, without any I/O or faults.
class Instrument {
public:
    Instrument(InstrumentState state, Signal signal);

    struct Response {
        RequestOutcome outcome;
        std::vector<std::uint8_t> reply; // empty unless Answered
    };

    // One received frame, check code not yet verified. `seconds` since start
    // drives the signal. Setting commands change the state only when answered.
    Response Respond(const std::uint8_t* request, std::size_t length, double seconds);

    InstrumentState State() const { return state_; }
    void SetState(const InstrumentState& state) { state_ = state; }
    Signal& MeasuredSignal() { return signal_; }
    // Fixed value bytes instead of the signal, e.g. to send exponent 0 or 255.
    void SetRawValue(std::optional<std::array<std::uint8_t, 4>> bytes) { rawValue_ = bytes; }

private:
    InstrumentState state_;
    Signal signal_;
    std::optional<std::array<std::uint8_t, 4>> rawValue_;
};

} // namespace sim
