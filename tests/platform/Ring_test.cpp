// Unit under test: platform::Ring (src/platform/include/platform/Ring.h).

#include "platform/Ring.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

// Bytes go in and out across the end in order, in runs that stop at the
// end, and a ring filled to capacity is told from an empty one.
TEST(Ring, WrapsInOrderAndTellsFullFromEmpty)
{
    std::uint8_t block[8] = {};
    std::uint32_t head = 0, tail = 0;
    bool full = false;
    platform::Ring ring(block, sizeof block, head, tail, full);
    const auto bytes = [](const char* text) { return reinterpret_cast<const std::uint8_t*>(text); };

    EXPECT_EQ(ring.Put(bytes("abcdef"), 6), 6u);
    ring.Consumed(5);                               // tail 5, one held
    EXPECT_EQ(ring.Put(bytes("ghijklmno"), 9), 7u); // what fits: the ring is full
    EXPECT_TRUE(full);
    EXPECT_EQ(head, tail);
    EXPECT_EQ(ring.Held(), 8u);
    EXPECT_EQ(ring.Free(), 0u);
    EXPECT_EQ(ring.HeldRun(), 3u); // f g h up to the end
    EXPECT_EQ(ring.FreeRun(), 0u);

    std::string out(7, '\0');
    ring.Peek(1, reinterpret_cast<std::uint8_t*>(out.data()), 7);
    EXPECT_EQ(out, "ghijklm");
    EXPECT_EQ(ring.Held(), 8u); // a peek moves nothing

    ring.Consumed(8);
    EXPECT_TRUE(ring.Empty());
    EXPECT_EQ(ring.Held(), 0u);
    EXPECT_EQ(ring.FreeRun(), 8u - head);
    EXPECT_EQ(ring.Offset(ring.Step(tail, 3)), 3u);
}

} // namespace
