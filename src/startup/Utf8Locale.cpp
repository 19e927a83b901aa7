#include "startup/Utf8Locale.h"

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <langinfo.h>
#include <strings.h>

namespace startup {

namespace {

const char* NonEmptyEnv(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// Whether the locale is installed with a UTF-8 character type. Tried with
// setlocale and put back, not with newlocale, which in glibc loses memory on
// every call while LOCPATH is set.
bool IsUtf8(const std::string& name)
{
    const char* current = std::setlocale(LC_CTYPE, nullptr);
    const std::string saved = current != nullptr ? current : "C";
    if (std::setlocale(LC_CTYPE, name.c_str()) == nullptr) {
        return false;
    }
    const char* codeset = ::nl_langinfo(CODESET);
    const bool utf8 = ::strcasecmp(codeset, "UTF-8") == 0 || ::strcasecmp(codeset, "utf8") == 0;
    std::setlocale(LC_CTYPE, saved.c_str());
    return utf8;
}

// What LC_ALL overrides besides the character type.
constexpr const char* OtherCategories[] = {
    "LC_COLLATE", "LC_MESSAGES", "LC_MONETARY",       "LC_NUMERIC",
    "LC_TIME",    "LC_ADDRESS",  "LC_IDENTIFICATION", "LC_MEASUREMENT",
    "LC_NAME",    "LC_PAPER",    "LC_TELEPHONE",
};

} // namespace

std::string Utf8Form(const std::string& name)
{
    const auto at = name.find('@');
    const std::string modifier = at == std::string::npos ? "" : name.substr(at);
    const std::string base = name.substr(0, std::min(name.find('.'), at));
    return base + ".UTF-8" + modifier;
}

void ChooseUtf8Locale()
{
    const char* all = NonEmptyEnv("LC_ALL");
    const char* ctype = all;
    if (ctype == nullptr) {
        ctype = NonEmptyEnv("LC_CTYPE");
    }
    if (ctype == nullptr) {
        ctype = NonEmptyEnv("LANG");
    }
    const std::string current = ctype != nullptr ? ctype : "C";
    if (IsUtf8(current)) {
        return;
    }
    std::string chosen;
    for (const std::string& candidate : {Utf8Form(current), std::string("C.UTF-8")}) {
        if (IsUtf8(candidate)) {
            chosen = candidate;
            break;
        }
    }
    if (chosen.empty()) {
        return; // Qt says so itself, rightly
    }
    if (all != nullptr) {
        // LC_ALL would hide the choice: every category by name instead.
        const std::string value = all;
        for (const char* category : OtherCategories) {
            ::setenv(category, value.c_str(), 1);
        }
        ::unsetenv("LC_ALL");
    }
    ::setenv("LC_CTYPE", chosen.c_str(), 1);
}

} // namespace startup
