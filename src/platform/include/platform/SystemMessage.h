#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The system's message text for a Windows error number that this layer
// reports, ending in CR LF as the system's own texts do; empty for any other
// number. 65 is this layer's "permission denied opening a serial device";
// what to do about it depends on the device (LastErrorDetail).
std::string SystemMessage(std::uint32_t code);

} // namespace platform
