// Unit under test: TRecordFile (the file readings are appended to).
#include "TempDir.h"

#include "record/RecordFile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using record::Format;
using record::TRecordFile;

namespace {

std::string ReadFile(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& name, const std::string& text)
{
    std::ofstream(name, std::ios::binary) << text;
}

record::Reading Ok()
{
    record::Reading r;
    r.port = "COM1";
    r.valueText = "15.000";
    r.value = 15;
    r.unit = "V";
    r.mode = "voltage";
    r.voltageRange = "30V";
    r.currentRange = "1A";
    return r;
}

} // namespace

// A file is one record in one format, whoever writes into it.
TEST(RecordFile, OneFormatPerFileAndOneHeaderWhenTwoBeginIt)
{
    TempDir tmp;
    const std::string file = tmp / "log.csv";
    // Two writers started together into one new file.
    TRecordFile a;
    TRecordFile b;
    ASSERT_EQ(a.Open(file, Format::Csv), "");
    ASSERT_EQ(b.Open(file, Format::Csv), "");
    ASSERT_EQ(a.Append(Ok()), "");
    ASSERT_EQ(b.Append(Ok()), "");
    const std::string line = record::FormatReading(Ok(), Format::Csv);
    EXPECT_EQ(ReadFile(file), record::CsvHeader() + line + line);

    // Another format is not mixed in, neither at the open nor when another
    // writer began the file meanwhile.
    TRecordFile json;
    EXPECT_NE(json.Open(file, Format::Jsonl), "");
    EXPECT_EQ(json.LastTrouble(), TRecordFile::Trouble::Refused);
    const std::string fresh = tmp / "fresh.log";
    ASSERT_EQ(json.Open(fresh, Format::Jsonl), "");
    TRecordFile csv;
    ASSERT_EQ(csv.Open(fresh, Format::Csv), "");
    ASSERT_EQ(json.Append(Ok()), "");
    EXPECT_EQ(csv.Append(Ok()),
              fresh + " holds something else: its first line is not the CSV header");
    EXPECT_EQ(csv.LastTrouble(), TRecordFile::Trouble::Refused);
    EXPECT_EQ(ReadFile(fresh), record::FormatReading(Ok(), Format::Jsonl));
    const std::string other = tmp / "other.csv";
    WriteFile(other, "a,b,c\n1,2,3\n");
    EXPECT_NE(a.Open(other, Format::Csv), "");
    EXPECT_EQ(ReadFile(other), "a,b,c\n1,2,3\n");

    // A line that another program left cut short is not glued to.
    WriteFile(other, record::CsvHeader() + "2026-12-09T17:57:10.832+0");
    ASSERT_EQ(a.Open(other, Format::Csv), "");
    ASSERT_EQ(a.Append(Ok()), "");
    EXPECT_EQ(ReadFile(other), record::CsvHeader() + "2026-12-09T17:57:10.832+0\n" + line);
}
