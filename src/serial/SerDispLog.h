#pragma once

// The dispatch log's entry types and subtypes, as the dispatcher's files
// record them; the log file shows their labels (SerTrace).

#include <cstdint>

namespace serdisp {

constexpr std::uint8_t LogTypeDispatch = 1;
constexpr std::uint8_t LogTypeTrigger = 2;
constexpr std::uint8_t LogTypeHandlerAdded = 7;
constexpr std::uint8_t LogTypeHandlerRemoved = 8;
constexpr std::uint8_t LogTypeLevelChanged = 9;
constexpr std::uint8_t LogSubReadCom = 1;
constexpr std::uint8_t LogSubWriteCom = 2;
constexpr std::uint8_t LogSubAvail = 5;
constexpr std::uint8_t LogSubTimer = 6;
constexpr std::uint8_t LogSubData = 7;
constexpr std::uint8_t LogSubStatus = 8;
constexpr std::uint8_t LogSubAvailLevel = 16;
constexpr std::uint8_t LogSubWindow = 17;

} // namespace serdisp
