#pragma once

#include "protocol/frames.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What the main window does for one intact reply whose byte 0 is 0x40 or
// above, decided without touching any widget. Applied in this order: the mode
// button and Edit2, the voltage range button, the current range button, Edit1,
// then the interval timer and PollState. Checking a button may run its click
// handler before the next step.
struct ReplyDecision {
    std::optional<std::uint8_t> mode;         // mode code 1..3 whose button to check
    std::string_view unit;                    // Edit2: "V", "A" or "W"; empty leaves it
    std::optional<std::uint8_t> voltageRange; // 0..6
    std::optional<std::uint8_t> currentRange; // 0..3
    std::optional<std::string> valueText;     // Edit1
    bool startInterval = false;
    bool measuring = false;         // PollState becomes 3
    std::uint8_t integerDigits = 0; // IntegerDigits after the reply
};

// reply: the reply buffer, read at its fixed positions. integerDigits: the
// current IntegerDigits. modelIndex: 1 Velmor, 2 Dranik. The value text uses
// the locale's decimal separator.
ReplyDecision DecideReply(const Frame& reply, std::uint8_t integerDigits, std::uint8_t modelIndex);

// The same with an explicit decimal separator.
ReplyDecision DecideReply(const Frame& reply, std::uint8_t integerDigits, std::uint8_t modelIndex,
                          std::string_view separator);
