#include "link/take.h"

#include "serial/SerPort.h"

#include <algorithm>
#include <array>

TakenReply TakeWaitingReply(TSerCustomComPort& port, Frame& reply)
{
    const std::uint16_t waiting = port.InputWaiting();
    const std::uint16_t kept = ReplyBytesKept(waiting);
    if (kept > 0) {
        port.GetBlock(reply.data(), kept);
    }
    // More than the buffer holds (the 8-bit count may even wrap).
    std::array<std::uint8_t, 256> scratch{};
    for (auto left = static_cast<std::uint16_t>(waiting - kept); left > 0;) {
        const auto n = static_cast<std::uint16_t>(std::min<std::size_t>(left, scratch.size()));
        port.GetBlock(scratch.data(), n);
        left = static_cast<std::uint16_t>(left - n);
    }
    return JudgeReply(reply, waiting);
}
