// Unit under test: Resources (named embedded resources).
#include "platform/Resources.h"

#include <gtest/gtest.h>

namespace {

const std::uint8_t First[] = {1, 2, 3};
const std::uint8_t Second[] = {9};

} // namespace

TEST(Resources, FindsWhatWasRegisteredAndNothingElse)
{
    ASSERT_TRUE(platform::RegisterResource("RESOURCES_TEST_A", First));
    const auto found = platform::FindResource("RESOURCES_TEST_A");
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->data(), First); // the bytes are not copied
    EXPECT_EQ(found->size(), sizeof First);

    EXPECT_FALSE(platform::FindResource("RESOURCES_TEST_B").has_value());
    EXPECT_FALSE(platform::FindResource("resources_test_a").has_value());
    EXPECT_FALSE(platform::FindResource("").has_value());
}

TEST(Resources, FirstRegistrationOfANameWins)
{
    ASSERT_TRUE(platform::RegisterResource("RESOURCES_TEST_C", First));
    EXPECT_FALSE(platform::RegisterResource("RESOURCES_TEST_C", Second));
    EXPECT_EQ(platform::FindResource("RESOURCES_TEST_C")->data(), First);
}

TEST(Resources, AResourceWithoutBytesIsFoundEmpty)
{
    ASSERT_TRUE(platform::RegisterResource("RESOURCES_TEST_EMPTY", {}));
    const auto found = platform::FindResource("RESOURCES_TEST_EMPTY");
    ASSERT_TRUE(found.has_value());
    EXPECT_TRUE(found->empty());
}
