#pragma once

// The command-line loop velmor-log and velmor-sim share: "--name value",
// "--name=value" and flags that take none, with the same messages for an
// unknown option, a stray argument, a missing value and a value given to a
// flag. Each program keeps its own options and its own error type.

#include <charconv>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cli {

using Flag = std::function<void()>;
using Setter = std::function<void(const std::string& option, const std::string& value)>;

using Setters = std::map<std::string, Setter>;

// One table from a program's groups of options.
inline Setters Join(std::initializer_list<Setters> groups)
{
    Setters all;
    for (const Setters& group : groups) {
        all.insert(group.begin(), group.end());
    }
    return all;
}

// args without the program name; Error is thrown with a message for the user.
// refused: options that are never accepted, with the message that says why
// (with or without a value).
template <class Error>
void RunOptionLoop(const std::vector<std::string>& args, const std::map<std::string, Flag>& flags,
                   const Setters& valued, const std::map<std::string, std::string>& refused = {})
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const auto eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (const auto no = refused.find(name); no != refused.end()) {
            throw Error(no->second);
        }
        if (const auto flag = flags.find(name); flag != flags.end()) {
            if (value) {
                throw Error(name + " takes no value");
            }
            flag->second();
            continue;
        }
        const auto it = valued.find(name);
        if (it == valued.end()) {
            throw Error(name.starts_with("-") ? "unknown option " + name
                                              : "unexpected argument '" + name + "'");
        }
        if (!value) {
            if (i + 1 == args.size()) {
                throw Error(name + " needs a value");
            }
            value = args[++i];
        }
        it->second(name, *value);
    }
}

// text as a whole number from low to high; else Error, with the message
// that names the option and the range.
template <class Error, class T>
T WholeNumber(const std::string& option, const std::string& text, T low, T high)
{
    T value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        throw Error(option + " needs a whole number from " + std::to_string(low) + " to " +
                    std::to_string(high) + ", not '" + text + "'");
    }
    return value;
}

} // namespace cli
