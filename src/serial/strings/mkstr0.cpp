// Builds "STR0" string tables from text sources and writes them as a C++
// source that embeds them in the program.
//
//   mkstr0 OUTPUT.cpp FUNCTION NAME SOURCE [NAME SOURCE]...
//
// A source holds one entry per line: a decimal id, a tab, the text (UTF-8,
// to the end of the line; it may be empty). Empty lines and lines starting
// with '#' are skipped. The generated FUNCTION registers every table under its
// NAME with platform::RegisterResource.
//
// Table layout, integers little-endian: "STR0", N (uint32), N records of
// {id int32, offset uint32 in bytes from the start, length uint32 in UTF-16
// units} sorted by id, then the UTF-16LE texts in id order without gaps.

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::u16string Utf16FromUtf8(const std::string& text, const std::string& where)
{
    std::u16string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        char32_t code = 0;
        if (lead < 0x80) {
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            code = lead & 0x07;
        } else {
            throw Failure(where + ": invalid UTF-8");
        }
        if (i + extra >= text.size() && extra > 0) {
            throw Failure(where + ": truncated UTF-8 sequence");
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                throw Failure(where + ": invalid UTF-8");
            }
            code = code << 6 | (next & 0x3F);
        }
        static constexpr char32_t Smallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < Smallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            throw Failure(where + ": invalid UTF-8");
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
        i += 1 + extra;
    }
    return out;
}

std::map<std::int32_t, std::u16string> ReadSource(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw Failure(path + ": cannot open");
    }
    std::map<std::int32_t, std::u16string> entries;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string where = path + ":" + std::to_string(number);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos) {
            throw Failure(where + ": expected an id, a tab and the text");
        }
        std::int32_t id = 0;
        const char* first = line.data();
        const char* last = line.data() + tab;
        const auto [end, error] = std::from_chars(first, last, id);
        if (error != std::errc() || end != last) {
            throw Failure(where + ": bad id");
        }
        if (!entries.emplace(id, Utf16FromUtf8(line.substr(tab + 1), where)).second) {
            throw Failure(where + ": id " + std::to_string(id) + " given twice");
        }
    }
    return entries;
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

std::vector<std::uint8_t> BuildTable(const std::map<std::int32_t, std::u16string>& entries)
{
    std::vector<std::uint8_t> table = {'S', 'T', 'R', '0'};
    PutU32(table, static_cast<std::uint32_t>(entries.size()));
    std::uint64_t offset = 8 + 12 * std::uint64_t{entries.size()};
    for (const auto& [id, text] : entries) { // std::map walks ids in ascending order
        if (offset > UINT32_MAX) {
            throw Failure("table too large");
        }
        PutU32(table, static_cast<std::uint32_t>(id));
        PutU32(table, static_cast<std::uint32_t>(offset));
        PutU32(table, static_cast<std::uint32_t>(text.size()));
        offset += 2 * std::uint64_t{text.size()};
    }
    for (const auto& entry : entries) {
        for (const char16_t unit : entry.second) {
            table.push_back(static_cast<std::uint8_t>(unit & 0xFF));
            table.push_back(static_cast<std::uint8_t>(unit >> 8));
        }
    }
    return table;
}

std::string ArrayDefinition(const std::string& symbol, const std::vector<std::uint8_t>& bytes)
{
    std::ostringstream out;
    out << "const std::uint8_t " << symbol << "[] = {";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out << (i % 16 == 0 ? "\n    " : " ");
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X,", bytes[i]);
        out << hex;
    }
    out << "\n};\n";
    return out.str();
}

bool IsIdentifierName(const std::string& name)
{
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_';
    });
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5 || (argc - 3) % 2 != 0) {
        std::cerr << "usage: mkstr0 OUTPUT.cpp FUNCTION NAME SOURCE [NAME SOURCE]...\n";
        return 2;
    }
    const std::string output = argv[1];
    const std::string function = argv[2];
    try {
        if (!IsIdentifierName(function)) {
            throw Failure("bad function name " + function);
        }
        std::ostringstream code;
        code << "// Generated by mkstr0. Do not edit: change the text sources instead.\n"
             << "#include \"platform/Resources.h\"\n\n#include <cstdint>\n\nnamespace {\n\n";
        std::ostringstream registrations;
        for (int i = 3; i < argc; i += 2) {
            const std::string name = argv[i];
            if (!IsIdentifierName(name)) {
                throw Failure("bad table name " + name);
            }
            const std::vector<std::uint8_t> table = BuildTable(ReadSource(argv[i + 1]));
            code << ArrayDefinition(name, table) << "\n";
            registrations << "        platform::RegisterResource(\"" << name << "\", {" << name
                          << ", sizeof " << name << "});\n";
        }
        code << "}  // namespace\n\nvoid " << function << "();\n\nvoid " << function
             << "()\n{\n    static const bool registered = [] {\n"
             << registrations.str() << "        return true;\n    }();\n"
             << "    static_cast<void>(registered);\n}\n";

        std::ofstream out(output, std::ios::binary | std::ios::trunc);
        out << code.str();
        out.close();
        if (!out) {
            std::remove(output.c_str());
            throw Failure(output + ": cannot write");
        }
    } catch (const Failure& failure) {
        std::cerr << "mkstr0: " << failure.what() << "\n";
        return 1;
    }
    return 0;
}
