#pragma once

#include "protocol/float.h"

#include <array>
#include <cstdint>

// The range captions the meter's front shows, indexed by the range index. The
// voltage ones are the same for both models; the current ones differ (the
// Velmor's last caption carries a leading blank, as its label does).
inline constexpr std::array<const char*, 7> VoltageCaptions = {"30V",  "60V",  "75V", "150V",
                                                               "300V", "450V", "600V"};
inline constexpr std::array<const char*, 4> DranikCaptions = {"1A", "2.5A", "5A", "10A"};
inline constexpr std::array<const char*, 4> VelmorCaptions = {"0.1A", "0.25A", "0.5A", " 1A"};

// The current captions of a model (ModelVelmor or ModelDranik).
inline constexpr const std::array<const char*, 4>& CurrentCaptions(std::uint8_t modelIndex)
{
    return modelIndex == ModelVelmor ? VelmorCaptions : DranikCaptions;
}
