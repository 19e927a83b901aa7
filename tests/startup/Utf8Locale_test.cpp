// Unit under test: Utf8Locale (the character type chosen before Qt starts).
#include "startup/Utf8Locale.h"

#include "ScopedEnv.h"

#include <gtest/gtest.h>

#include <array>
#include <clocale>
#include <langinfo.h>
#include <memory>
#include <string_view>
#include <vector>

namespace {

using testutil::ScopedEnv;

constexpr std::array Variables = {
    "LANG",           "LC_ALL",     "LC_CTYPE", "LC_COLLATE",   "LC_MESSAGES",
    "LC_MONETARY",    "LC_NUMERIC", "LC_TIME",  "LC_ADDRESS",   "LC_IDENTIFICATION",
    "LC_MEASUREMENT", "LC_NAME",    "LC_PAPER", "LC_TELEPHONE",
};

// Every locale variable cleared for one scope, then some set.
class LocaleEnvironment {
public:
    explicit LocaleEnvironment(std::initializer_list<std::pair<const char*, const char*>> set)
    {
        for (const char* name : Variables) {
            saved.push_back(std::make_unique<ScopedEnv>(name, nullptr));
        }
        for (const auto& [name, value] : set) {
            ::setenv(name, value, 1);
        }
    }

private:
    std::vector<std::unique_ptr<ScopedEnv>> saved;
};

// What setlocale(LC_ALL, "") makes of the environment, as Qt calls it.
struct Effective {
    bool valid = false;
    std::string codeset, decimalPoint;
};

Effective FromEnvironment()
{
    if (std::setlocale(LC_ALL, "") == nullptr) {
        return {};
    }
    Effective e{true, ::nl_langinfo(CODESET), ::nl_langinfo(RADIXCHAR)};
    std::setlocale(LC_ALL, "C");
    return e;
}

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "(unset)";
}

} // namespace

// The character type becomes UTF-8 and nothing else changes: LC_ALL keeps
// ruling every other category, the decimal point stays ".".
TEST(Utf8Locale, OnlyTheCharacterTypeBecomesUtf8)
{
    {
        LocaleEnvironment env({}); // env -i
        startup::ChooseUtf8Locale();
        EXPECT_EQ(Env("LC_CTYPE"), "C.UTF-8");
        EXPECT_EQ(Env("LANG"), "(unset)");
        const Effective e = FromEnvironment();
        ASSERT_TRUE(e.valid);
        EXPECT_EQ(e.codeset, "UTF-8");
        EXPECT_EQ(e.decimalPoint, ".");
    }
    {
        // LC_ALL=C hides the LC_NUMERIC beside it, before and after.
        LocaleEnvironment env({{"LC_ALL", "C"}, {"LC_NUMERIC", "ru_RU.UTF-8"}, {"LANG", "xx_YY"}});
        startup::ChooseUtf8Locale();
        EXPECT_EQ(Env("LC_ALL"), "(unset)");
        EXPECT_EQ(Env("LC_CTYPE"), "C.UTF-8");
        for (const char* name : Variables) {
            if (std::string_view(name).starts_with("LC_") && name != std::string_view("LC_ALL") &&
                name != std::string_view("LC_CTYPE")) {
                EXPECT_EQ(Env(name), "C") << name;
            }
        }
        const Effective e = FromEnvironment();
        ASSERT_TRUE(e.valid);
        EXPECT_EQ(e.codeset, "UTF-8");
        EXPECT_EQ(e.decimalPoint, ".");
    }
    {
        LocaleEnvironment env({{"LANG", "C.UTF-8"}, {"LC_NUMERIC", "C"}});
        startup::ChooseUtf8Locale();
        EXPECT_EQ(Env("LC_CTYPE"), "(unset)"); // UTF-8 already: left alone
        EXPECT_EQ(Env("LC_NUMERIC"), "C");
    }

    EXPECT_EQ(startup::Utf8Form("C"), "C.UTF-8");
    EXPECT_EQ(startup::Utf8Form("ru_RU.KOI8-R"), "ru_RU.UTF-8");
    EXPECT_EQ(startup::Utf8Form("sr_RS@latin"), "sr_RS.UTF-8@latin");
    EXPECT_EQ(startup::Utf8Form("de_DE.ISO-8859-15@euro"), "de_DE.UTF-8@euro");
}
