// Unit under test: crc (the instrument's check code).
#include "protocol/crc.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Crc16, StandardCheckValueAndEmptyInput)
{
    const char* text = "123456789";
    // Register 0x4B37, low byte first on the line, so packed as 0x374B.
    EXPECT_EQ(Crc16(reinterpret_cast<const std::uint8_t*>(text), 9), 0x374B);
    EXPECT_EQ(Crc16(nullptr, 0), 0xFFFF);
    const std::uint8_t ffff[] = {0xFF, 0xFF};
    EXPECT_EQ(Crc16(ffff, 2), 0);
}

TEST(Crc16, NoSingleBytePassesTheCheck)
{
    for (int b = 0; b < 256; ++b) {
        const std::uint8_t byte = static_cast<std::uint8_t>(b);
        EXPECT_NE(Crc16(&byte, 1), 0) << "byte " << b;
    }
}

TEST(Crc16, ReferenceReplyChecksToZero)
{
    const std::uint8_t reply[] = {0x41, 0x01, 0x02, 0x00, 0x41, 0x48, 0x00, 0x00, 0x00, 0xFF};
    EXPECT_EQ(Crc16(reply, sizeof reply), 0);
    EXPECT_EQ(Crc16(reply, 8), 0x00FF);
}
