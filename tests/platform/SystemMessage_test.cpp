// Unit under test: SystemMessage (system texts for Windows error numbers).
#include "platform/SystemMessage.h"

#include <gtest/gtest.h>

TEST(SystemMessage, EveryReportedNumberHasOneLineEndingInCrLf)
{
    for (const std::uint32_t code :
         {2u, 3u, 4u, 5u, 6u, 8u, 21u, 22u, 31u, 65u, 87u, 995u, 997u, 1117u, 1167u}) {
        const std::string text = platform::SystemMessage(code);
        ASSERT_GT(text.size(), 2u) << code;
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << code;
        EXPECT_EQ(text.find_first_of("\r\n"), text.size() - 2) << code;
    }
    EXPECT_EQ(platform::SystemMessage(87), "The parameter is incorrect.\r\n");
    EXPECT_EQ(platform::SystemMessage(2), "The system cannot find the file specified.\r\n");
}

TEST(SystemMessage, UnknownNumbersHaveNoText)
{
    for (const std::uint32_t code : {0u, 1u, 7u, 64u, 88u, 996u, 2001u, 0xFFFFFFFFu}) {
        EXPECT_EQ(platform::SystemMessage(code), "") << code;
    }
}
