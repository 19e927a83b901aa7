// Unit under test: SerStrRes (the STR0 string table reader).
#include "serial/SerStrRes.h"

#include <gtest/gtest.h>

#include <clocale>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void PutU32(Bytes& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void SetU32(Bytes& bytes, std::size_t at, std::uint32_t value)
{
    for (int k = 0; k < 4; ++k) {
        bytes.at(at + static_cast<std::size_t>(k)) = static_cast<std::uint8_t>(value >> (8 * k));
    }
}

// A well-formed table with the entries in the order given.
Bytes Table(const std::vector<std::pair<std::int32_t, std::u16string>>& entries)
{
    Bytes bytes = {'S', 'T', 'R', '0'};
    PutU32(bytes, static_cast<std::uint32_t>(entries.size()));
    std::uint32_t offset = static_cast<std::uint32_t>(8 + 12 * entries.size());
    for (const auto& [id, text] : entries) {
        PutU32(bytes, static_cast<std::uint32_t>(id));
        PutU32(bytes, offset);
        PutU32(bytes, static_cast<std::uint32_t>(text.size()));
        offset += static_cast<std::uint32_t>(2 * text.size());
    }
    for (const auto& entry : entries) {
        for (const char16_t unit : entry.second) {
            bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
            bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
        }
    }
    return bytes;
}

// Registers bytes under a fresh name; the registry keeps only a view, so the
// bytes are kept here for the life of the process.
std::string Register(Bytes bytes)
{
    static std::deque<Bytes> kept;
    kept.push_back(std::move(bytes));
    const std::string name = "STRRES_TEST_" + std::to_string(kept.size());
    EXPECT_TRUE(platform::RegisterResource(name, kept.back()));
    return name;
}

std::string CreationFailure(const std::string& name)
{
    try {
        TSerStringResource reader(name);
        return "accepted";
    } catch (const EStringResourceError& e) {
        return e.Message();
    }
}

const std::vector<std::pair<std::int32_t, std::u16string>> Sample = {
    {-5, u"minus five"}, {0, u"zero"}, {3, u""}, {10, u"ten"}, {11, u"eleven"}, {40, u"last"}};

class LocaleGuard {
public:
    explicit LocaleGuard(const char* name) : ok(std::setlocale(LC_ALL, name) != nullptr) {}
    ~LocaleGuard() { std::setlocale(LC_ALL, "C"); }
    LocaleGuard(const LocaleGuard&) = delete;
    LocaleGuard& operator=(const LocaleGuard&) = delete;
    const bool ok;
};

} // namespace

TEST(TSerStringResource, FindsFirstLastAndMiddleIdsAndNothingBetween)
{
    const TSerStringResource reader(Register(Table(Sample)));
    EXPECT_EQ(reader.StringById(-5), "minus five");
    EXPECT_EQ(reader.StringById(0), "zero");
    EXPECT_EQ(reader.StringById(10), "ten");
    EXPECT_EQ(reader.StringById(11), "eleven");
    EXPECT_EQ(reader.StringById(40), "last");
    EXPECT_EQ(reader.StringById(3), ""); // stored empty
    for (const std::int32_t absent : {INT32_MIN, -6, -4, 1, 5, 12, 39, 41, INT32_MAX}) {
        EXPECT_EQ(reader.StringById(absent), "") << absent;
    }
}

TEST(TSerStringResource, ReadsTheEmbeddedTables)
{
    const TSerStringResource errors("SERIAL_ERROR_STRINGS_ENGLISH");
    EXPECT_EQ(errors.StringById(0), "OK");
    EXPECT_EQ(errors.StringById(1), "");
    EXPECT_EQ(errors.StringById(15502), "--------  --------  ------------  --------  ---------");
    EXPECT_EQ(errors.StringById(15503), "");
    EXPECT_EQ(ReaderStrings().StringById(5), "Invalid string resource");
    EXPECT_EQ(&ReaderStrings(), &ReaderStrings());
}

TEST(TSerStringResource, ReportMissingRaisesForAbsentIdsOnly)
{
    TSerStringResource reader(Register(Table(Sample)));
    EXPECT_FALSE(reader.ReportMissing());
    reader.SetReportMissing(true);
    EXPECT_EQ(reader.StringById(3), "");
    try {
        reader.StringById(7);
        FAIL() << "no exception";
    } catch (const EStringResourceError& e) {
        EXPECT_EQ(e.Message(), "String not found: 7");
    }
}

TEST(TSerStringResource, RefusesMissingUnloadableAndUnnamedResources)
{
    EXPECT_EQ(CreationFailure("NO_SUCH_TABLE"), "String resource not found: NO_SUCH_TABLE");
    ASSERT_TRUE(platform::RegisterResource("STRRES_TEST_NO_BYTES", {}));
    EXPECT_EQ(CreationFailure("STRRES_TEST_NO_BYTES"),
              "Unable to open string resource: STRRES_TEST_NO_BYTES");

    const TSerStringResource unnamed("");
    try {
        unnamed.StringById(0);
        FAIL() << "no exception";
    } catch (const EStringResourceError& e) {
        EXPECT_EQ(e.Message(), "Cannot lock resource");
    }
}

TEST(TSerStringResource, RefusesAWrongSignature)
{
    Bytes bytes = Table(Sample);
    bytes[3] = '1';
    EXPECT_EQ(CreationFailure(Register(bytes)), "Invalid string resource");
    EXPECT_EQ(CreationFailure(Register({'S', 'T', 'R'})), "Invalid string resource");
}

TEST(TSerStringResource, RefusesDamagedTables)
{
    const Bytes good = Table(Sample); // records at 8 + 12 * n: id, offset, length
    const std::uint32_t textStart = 8 + 12 * 6;
    std::vector<std::pair<const char*, Bytes>> damaged;

    damaged.emplace_back("header only", Bytes(good.begin(), good.begin() + 7));
    damaged.emplace_back("records cut off", Bytes(good.begin(), good.begin() + 40));
    damaged.emplace_back("last text cut off", Bytes(good.begin(), good.end() - 1));
    Bytes hugeCount = good;
    SetU32(hugeCount, 4, 0xFFFFFFFF);
    damaged.emplace_back("count past the end", hugeCount);
    Bytes offsetPastEnd = good;
    SetU32(offsetPastEnd, 8 + 12 * 2 + 4, static_cast<std::uint32_t>(good.size()) + 2);
    damaged.emplace_back("offset past the end", offsetPastEnd);
    Bytes offsetIntoIndex = good;
    SetU32(offsetIntoIndex, 8 + 4, textStart - 4);
    damaged.emplace_back("offset into the index", offsetIntoIndex);
    Bytes lengthPastEnd = good;
    SetU32(lengthPastEnd, 8 + 12 * 5 + 8, 5); // "last" has 4 units
    damaged.emplace_back("length past the end", lengthPastEnd);
    Bytes wrappingLength = good;
    SetU32(wrappingLength, 8 + 12 * 3 + 8, 0x80000000); // 2 * length wraps in 32 bits
    damaged.emplace_back("length that wraps", wrappingLength);
    damaged.emplace_back("unsorted ids", Table({{1, u"a"}, {3, u"b"}, {2, u"c"}}));
    damaged.emplace_back("duplicate ids", Table({{1, u"a"}, {2, u"b"}, {2, u"c"}}));

    for (const auto& [what, bytes] : damaged) {
        EXPECT_EQ(CreationFailure(Register(bytes)), "Invalid string resource") << what;
    }

    // An empty table is sound; it just holds nothing.
    const TSerStringResource empty(Register(Table({})));
    EXPECT_EQ(empty.StringById(0), "");
}

TEST(TSerStringResource, ConvertsToTheLocaleCharacterSet)
{
    const TSerStringResource reader(Register(Table({
        {1, u"Порт COM1"},
        {2, u"a\U0001F600b"},             // a character outside the 16-bit range
        {3, std::u16string(u"x\xD800y")}, // a lone surrogate
    })));
    {
        const LocaleGuard c("C");
        EXPECT_EQ(reader.StringById(1), "???? COM1");
        EXPECT_EQ(reader.StringById(2), "a?b");
        EXPECT_EQ(reader.StringById(3), "x?y");
    }
    {
        const LocaleGuard utf8("C.UTF-8");
        ASSERT_TRUE(utf8.ok);
        EXPECT_EQ(reader.StringById(1), "Порт COM1");
        EXPECT_EQ(reader.StringById(2), "a\xF0\x9F\x98\x80"
                                        "b");
        EXPECT_EQ(reader.StringById(3), "x?y");
    }
}
