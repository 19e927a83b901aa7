#include "velmor-log/config.h"

#include "velmor-log/options.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>

namespace vlog {

namespace {

constexpr const char* Spaces = " \t\r";

std::string Trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(Spaces);
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(Spaces) - first + 1);
}

struct Line {
    std::size_t number = 0;
    std::string name;
    std::string argument; // "--name" or "--name=value"
};

// The option on one line, or nothing for a blank or comment line.
std::optional<Line> Split(const std::string& raw, std::size_t number)
{
    std::string text = raw;
    for (std::size_t hash = text.find('#'); hash != std::string::npos;
         hash = text.find('#', hash + 1)) {
        if (hash == 0 || text[hash - 1] == ' ' || text[hash - 1] == '\t') {
            text.resize(hash);
            break;
        }
    }
    text = Trimmed(text);
    if (text.empty()) {
        return std::nullopt;
    }
    Line line;
    line.number = number;
    const auto end = text.find_first_of(" \t=");
    line.name = text.substr(0, end);
    if (end == std::string::npos) {
        line.argument = line.name;
    } else {
        const std::string value =
            text[end] == '=' ? text.substr(end + 1) : Trimmed(text.substr(end));
        // As one argument: a value that starts with "-" is still this option's.
        line.argument = line.name + "=" + value;
    }
    return line;
}

bool IsPort(const std::string& name)
{
    return name == "--com" || name == "--device";
}

OptionError LineError(const std::string& path, const Line& line, const std::string& why)
{
    return OptionError(path + ":" + std::to_string(line.number) + ": " + why);
}

std::vector<Line> ReadLines(const std::string& path)
{
    std::ifstream in(path);
    if (!in) {
        throw OptionError("cannot read " + path + ": " + std::strerror(errno));
    }
    std::vector<Line> lines;
    std::size_t number = 0;
    for (std::string raw; std::getline(in, raw);) {
        ++number;
        if (auto line = Split(raw, number)) {
            lines.push_back(std::move(*line));
        }
    }
    if (in.bad()) {
        throw OptionError("cannot read " + path + ": " + std::strerror(errno));
    }
    return lines;
}

// Each option and its value by themselves. True when the file names a port.
bool CheckEachLine(const std::string& path, const std::vector<Line>& lines)
{
    bool ports = false;
    for (const Line& line : lines) {
        if (!line.name.starts_with("-")) {
            throw LineError(path, line, "'" + line.name + "' is no option: a line begins with one");
        }
        if (line.name == "--config" || line.name == "--help" || line.name == "-h" ||
            line.name == "--version") {
            throw LineError(path, line,
                            line.name + " is for the command line, not a configuration file");
        }
        // With --help nothing else is asked of them.
        try {
            ParseOptions({"--help", line.argument});
        } catch (const OptionError& e) {
            throw LineError(path, line, e.what());
        }
        ports = ports || IsPort(line.name);
    }
    return ports;
}

// Then together, as the file stands; a file without a port leaves it to
// the command line.
void CheckTogether(const std::string& path, const std::vector<Line>& lines, bool ports)
{
    const auto parse = [&](std::size_t count) {
        std::vector<std::string> args;
        if (!ports) {
            args.push_back("--device=-");
        }
        for (std::size_t i = 0; i < count; ++i) {
            args.push_back(lines[i].argument);
        }
        ParseOptions(args);
    };
    try {
        parse(lines.size());
    } catch (const OptionError& whole) {
        // The line that brings the error in: the first up to which the file
        // fails the same way (an earlier one may only lack what comes later).
        for (std::size_t count = 1; count <= lines.size(); ++count) {
            try {
                parse(count);
            } catch (const OptionError& e) {
                if (std::strcmp(e.what(), whole.what()) == 0) {
                    throw LineError(path, lines[count - 1], whole.what());
                }
            }
        }
        throw OptionError(path + ": " + whole.what());
    }
}

} // namespace

std::vector<std::string> ReadConfig(const std::string& path)
{
    std::vector<Line> lines = ReadLines(path);
    CheckTogether(path, lines, CheckEachLine(path, lines));
    std::vector<std::string> args;
    args.reserve(lines.size());
    for (Line& line : lines) {
        args.push_back(std::move(line.argument));
    }
    return args;
}

std::vector<std::string> ExpandConfig(const std::vector<std::string>& args)
{
    std::vector<std::string> expanded;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::optional<std::string> file;
        if (args[i] == "--config") {
            if (i + 1 == args.size()) {
                throw OptionError("--config needs a file name");
            }
            file = args[++i];
        } else if (args[i].starts_with("--config=")) {
            file = args[i].substr(9);
        }
        if (!file) {
            expanded.push_back(args[i]);
            continue;
        }
        if (file->empty()) {
            throw OptionError("--config needs a file name");
        }
        for (std::string& arg : ReadConfig(*file)) {
            expanded.push_back(std::move(arg));
        }
    }
    return expanded;
}

} // namespace vlog
