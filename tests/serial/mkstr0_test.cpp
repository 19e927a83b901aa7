// Unit under test: mkstr0 (the STR0 table builder) and the tables it embeds.
#include "TestFiles.h"
#include "serial/SerStrRes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>

namespace {

using Entries = std::map<std::int32_t, std::u16string>;

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at)
{
    return static_cast<std::uint32_t>(b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16 |
                                      static_cast<std::uint32_t>(b.at(at + 3)) << 24);
}

// Reads a table, checking the exact layout: signature, ids ascending, texts
// following one another from the end of the index to the end of the data.
Entries ParseStrictly(const std::vector<std::uint8_t>& bytes)
{
    Entries entries;
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "STR0");
    const std::uint32_t count = U32(bytes, 4);
    std::size_t expectedOffset = 8 + 12 * std::size_t{count};
    std::int64_t previousId = INT64_MIN;
    for (std::uint32_t n = 0; n < count; ++n) {
        const std::size_t record = 8 + 12 * std::size_t{n};
        const auto id = static_cast<std::int32_t>(U32(bytes, record));
        const std::uint32_t offset = U32(bytes, record + 4);
        const std::uint32_t length = U32(bytes, record + 8);
        EXPECT_GT(id, previousId);
        EXPECT_EQ(offset, expectedOffset) << "id " << id;
        std::u16string text;
        for (std::uint32_t k = 0; k < length; ++k) {
            text +=
                static_cast<char16_t>(bytes.at(offset + 2 * k) | bytes.at(offset + 2 * k + 1) << 8);
        }
        entries[id] = text;
        previousId = id;
        expectedOffset = offset + 2 * std::size_t{length};
    }
    EXPECT_EQ(expectedOffset, bytes.size());
    return entries;
}

std::vector<std::uint8_t> Embedded(const char* name)
{
    RegisterSerialStringTables();
    const auto found = platform::FindResource(name);
    EXPECT_TRUE(found.has_value()) << name;
    return found ? std::vector<std::uint8_t>(found->begin(), found->end())
                 : std::vector<std::uint8_t>{};
}

std::u16string Ascii16(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

// The entries of a text source; our sources are plain ASCII.
Entries ReadSource(const std::string& path)
{
    Entries entries;
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << path;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::size_t tab = line.find('\t');
        entries[std::stoi(line.substr(0, tab))] = Ascii16(line.substr(tab + 1));
    }
    return entries;
}

// Runs the builder on one source; returns its exit status.
int Build(const TempDir& dir, const std::filesystem::path& output, const std::string& source)
{
    const std::string input = dir / "in.txt";
    WriteFile(input, source);
    std::filesystem::remove(output);
    const std::string command = std::string("'") + VELMOR_MKSTR0 + "' '" + output.string() +
                                "' RegisterTestTables TEST_TABLE '" + input + "' 2>/dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The bytes of the first array in a generated source.
std::vector<std::uint8_t> ArrayBytes(const std::filesystem::path& generated)
{
    std::ifstream in(generated);
    std::stringstream text;
    text << in.rdbuf();
    const std::string code = text.str();
    const std::string array =
        code.substr(code.find("[] = {"), code.find("};") - code.find("[] = {"));
    std::vector<std::uint8_t> bytes;
    const std::regex hex("0x([0-9A-F]{2})");
    for (auto it = std::sregex_iterator(array.begin(), array.end(), hex);
         it != std::sregex_iterator(); ++it) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi((*it)[1].str(), nullptr, 16)));
    }
    return bytes;
}

} // namespace

TEST(Mkstr0, ErrorTableHoldsExactlyItsSourceInStr0Layout)
{
    const Entries table = ParseStrictly(Embedded("SERIAL_ERROR_STRINGS_ENGLISH"));
    EXPECT_EQ(table, ReadSource(VELMOR_STRINGS_DIR "/serial_errors.txt"));
    EXPECT_EQ(table.begin()->first, 0);
    EXPECT_EQ(table.at(2001), u"ie_BadId - Specified comport doesn't exist");
    EXPECT_EQ(table.at(15108), u"Status");
}

TEST(Mkstr0, ReaderTableHoldsTheFiveReaderTexts)
{
    const Entries table = ParseStrictly(Embedded("STRRES_STRINGS"));
    const Entries expected = {{1, u"String not found: %d"},
                              {2, u"Cannot lock resource"},
                              {3, u"String resource not found: %s"},
                              {4, u"Unable to open string resource: %s"},
                              {5, u"Invalid string resource"}};
    EXPECT_EQ(table, expected);
}

TEST(Mkstr0, SortsIdsAndEncodesUtf16)
{
    const TempDir dir;
    const std::string output = dir / "out.cpp";
    ASSERT_EQ(Build(dir, output, "# comment\r\n20\tПорт\r\n\n-3\t\n7\ta\U0001F600\n"), 0);
    const Entries expected = {{-3, u""}, {7, u"a\U0001F600"}, {20, u"Порт"}};
    EXPECT_EQ(ParseStrictly(ArrayBytes(output)), expected);
}

TEST(Mkstr0, RefusesBrokenSources)
{
    const TempDir dir;
    const std::string output = dir / "out.cpp";
    const std::vector<std::pair<const char*, std::string>> broken = {
        {"duplicate id", "1\ta\n1\tb\n"},     {"no tab", "1 a\n"},
        {"id not a number", "x1\ta\n"},       {"id with junk", "1x\ta\n"},
        {"id too large", "2147483648\ta\n"},  {"invalid UTF-8", "1\t\xC3\x28\n"},
        {"truncated UTF-8", "1\t\xE2\x82\n"}, {"overlong UTF-8", "1\t\xC0\xAF\n"},
    };
    for (const auto& [what, source] : broken) {
        EXPECT_EQ(Build(dir, output, source), 1) << what;
        EXPECT_FALSE(std::filesystem::exists(output)) << what;
    }
}
