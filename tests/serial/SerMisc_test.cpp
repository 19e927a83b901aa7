// Unit under test: SerMisc (the library's shared helpers).
#include "SerMisc.h"

#include <gtest/gtest.h>

#include <clocale>

TEST(CutText, CutsBytesButNeverSplitsAUtf8Character)
{
    const std::string ascii(300, 'a');
    EXPECT_EQ(CutText(ascii, 255).size(), 255u);
    EXPECT_EQ(CutText("short", 255), "short");

    // 127 two-byte letters then a third: the cut at 255 falls inside it.
    std::string cyrillic;
    for (int n = 0; n < 128; ++n) {
        cyrillic += "\xD0\x96";
    }
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    EXPECT_TRUE(SystemCodePageIsUtf8());
    EXPECT_EQ(CutText(cyrillic, 255), cyrillic.substr(0, 254));
    EXPECT_EQ(CutText(cyrillic, 256), cyrillic);
    std::setlocale(LC_ALL, "C");
    // A single-byte code page has no sequences to respect.
    EXPECT_FALSE(SystemCodePageIsUtf8());
    EXPECT_EQ(CutText(cyrillic, 255), cyrillic.substr(0, 255));
}
