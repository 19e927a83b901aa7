#include "serial/SerExcept.h"

#include "platform/SystemMessage.h"

#include <algorithm>
#include <new>

namespace {

constexpr std::size_t MaxTextLength = 255;

template <class E> void Raise(std::int32_t code, const std::string& detail)
{
    if (detail.empty()) {
        throw E(code);
    }
    throw E(code, WithDetail(ErrorText(static_cast<std::int16_t>(code)), detail));
}

struct Mapping {
    std::int32_t code;
    void (*raise)(std::int32_t, const std::string&); // always throws
};

#define VELMOR_MAP_OWN(Name, Code, Category) {ec##Name, &Raise<E##Name>},
// A class name cannot go in parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define VELMOR_MAP_SHARED(Name, Code, Class) {ec##Name, &Raise<Class>},
// NOLINTEND(bugprone-macro-parentheses)
#define VELMOR_MAP_NONE(Name, Code)

// In the list's order, falling code, so that it can be searched by halving.
constexpr Mapping Mappings[] = {
    // clang-format off
    VELMOR_SERIAL_CODES(VELMOR_MAP_OWN, VELMOR_MAP_SHARED, VELMOR_MAP_NONE)
    // clang-format on
};

#undef VELMOR_MAP_NONE
#undef VELMOR_MAP_SHARED
#undef VELMOR_MAP_OWN

constexpr bool CodesFall()
{
    for (std::size_t i = 1; i < std::size(Mappings); ++i) {
        if (Mappings[i].code >= Mappings[i - 1].code) {
            return false;
        }
    }
    return true;
}
static_assert(CodesFall(), "the mapping must be ordered by falling code, each code once");

const Mapping* FindMapping(std::int32_t code)
{
    const auto found =
        std::lower_bound(std::begin(Mappings), std::end(Mappings), code,
                         [](const Mapping& m, std::int32_t wanted) { return m.code > wanted; });
    return found != std::end(Mappings) && found->code == code ? found : nullptr;
}

} // namespace

ESerialException::ESerialException(std::int32_t code)
    : Exception(ErrorText(static_cast<std::int16_t>(code))), errorCode(code)
{
}

ESerialException::ESerialException(const std::string& message) : Exception(message), errorCode(0) {}

ESerialException::ESerialException(std::int32_t code, const std::string& message)
    : Exception(message), errorCode(code)
{
}

std::string WithDetail(std::string text, const std::string& detail)
{
    if (detail.empty()) {
        return text;
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    if (!text.empty() && text.back() != '.') {
        text += '.';
    }
    return text.empty() ? detail : text + ' ' + detail;
}

std::int32_t CheckError(const TSerBaseComponent* component, std::int32_t code)
{
    return CheckError(component, code, std::string());
}

std::int32_t CheckError(const TSerBaseComponent* component, std::int32_t code,
                        const std::string& detail)
{
    if (code >= 0 || (component != nullptr && component->Loading())) {
        return code;
    }
    if (const Mapping* mapping = FindMapping(code)) {
        mapping->raise(code, detail);
    }
    if (code >= ecSystemErrorLast && code <= ecSystemErrorFirst) {
        // Out of memory needs no text, and looking one up would allocate.
        if (code == ecOutOfMemory) {
            throw std::bad_alloc();
        }
        throw EInOutError(WithDetail(ErrorText(static_cast<std::int16_t>(-code)), detail), -code);
    }
    throw ESerialException(std::string("Serial exception"));
}

std::string CleanSystemText(const std::string& text)
{
    std::string clean;
    clean.reserve(text.size());
    for (const char c : text) {
        const char blanked = static_cast<unsigned char>(c) < 32 ? ' ' : c;
        if (blanked == ' ' && !clean.empty() && clean.back() == ' ') {
            continue;
        }
        clean += blanked;
    }
    return clean;
}

std::string ErrorText(std::int16_t code)
{
    const int id = code < 0 ? -static_cast<int>(code) : code;
    std::string text = CutText(ErrorStrings().StringById(id), MaxTextLength);
    if (!text.empty()) {
        return text;
    }
    const std::string system = platform::SystemMessage(static_cast<std::uint32_t>(id));
    if (system.empty()) {
        return {};
    }
    return CleanSystemText(CutText(system, MaxTextLength));
}

TSerStringResource& ErrorStrings()
{
    static TSerStringResource& reader = *new TSerStringResource("SERIAL_ERROR_STRINGS_ENGLISH");
    return reader;
}
