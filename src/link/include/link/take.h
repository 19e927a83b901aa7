#pragma once

#include "protocol/frames.h"

class TSerCustomComPort;

// Takes every byte waiting on the port: the reply buffer keeps what it holds
// from position 0, the rest is taken and dropped so that nothing stale is
// left for the next reply; then judges what was kept. The caller makes sure
// nothing flushes the input between the count and the taking.
TakenReply TakeWaitingReply(TSerCustomComPort& port, Frame& reply);
