#pragma once

#include "ui/TrendData.h"

#include <cstdint>

namespace simday {

// Appends hours of readings, one every 110 ms or so from startMs (ms since
// the epoch), as a bench supply and a charger on COM1 would give them:
// voltage drifting about 12 V, a pause, a charge current decaying with a
// glitch at 14:03 and half a minute of silence, then the supply again with
// the odd damaged reply. The same readings every time.
void Fill(TTrendData& data, std::int64_t startMs, double hours = 24);

} // namespace simday
