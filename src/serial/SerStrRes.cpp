#include "serial/SerStrRes.h"

#include "platform/System.h"

#include <array>
#include <cstring>
#include <span>

namespace {

constexpr std::size_t HeaderSize = 8;
constexpr std::size_t RecordSize = 12;

std::uint32_t ReadU32(platform::ResourceBytes data, std::size_t at)
{
    return static_cast<std::uint32_t>(data[at]) | static_cast<std::uint32_t>(data[at + 1]) << 8 |
           static_cast<std::uint32_t>(data[at + 2]) << 16 |
           static_cast<std::uint32_t>(data[at + 3]) << 24;
}

std::int32_t ReadI32(platform::ResourceBytes data, std::size_t at)
{
    return static_cast<std::int32_t>(ReadU32(data, at));
}

// A table that is sound in every respect a lookup relies on: the signature,
// N records inside the data, each text inside the text area, ids ascending.
bool IsValidTable(platform::ResourceBytes data)
{
    if (data.size() < HeaderSize || std::memcmp(data.data(), "STR0", 4) != 0) {
        return false;
    }
    const std::uint64_t count = ReadU32(data, 4);
    const std::uint64_t textStart = HeaderSize + RecordSize * count;
    if (textStart > data.size()) {
        return false;
    }
    for (std::uint64_t n = 0; n < count; ++n) {
        const std::size_t record = static_cast<std::size_t>(HeaderSize + RecordSize * n);
        if (n > 0 && ReadI32(data, record) <= ReadI32(data, record - RecordSize)) {
            return false;
        }
        const std::uint64_t offset = ReadU32(data, record + 4);
        const std::uint64_t bytes = 2 * std::uint64_t{ReadU32(data, record + 8)};
        if (offset < textStart || offset + bytes > data.size()) {
            return false;
        }
    }
    return true;
}

// The readers' own texts, for the one case where ReaderStrings cannot supply
// them: while its own table is being loaded or has turned out damaged.
constexpr std::array<const char*, 5> ReaderFallback = {
    "String not found: %d",          "Cannot lock resource",
    "String resource not found: %s", "Unable to open string resource: %s",
    "Invalid string resource",
};

thread_local bool buildingReaderStrings = false;

// Texts may come from a damaged table, so they are never used as printf
// formats: the first %s or %d takes the argument, %% becomes %.
std::string FormatText(const std::string& format, const std::string& argument)
{
    std::string result;
    bool substituted = false;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            const char next = format[i + 1];
            if (next == '%') {
                result += '%';
                ++i;
                continue;
            }
            if ((next == 's' || next == 'd') && !substituted) {
                result += argument;
                substituted = true;
                ++i;
                continue;
            }
        }
        result += format[i];
    }
    return result;
}

std::string ReaderText(int id)
{
    if (!buildingReaderStrings) {
        try {
            std::string text = ReaderStrings().StringById(id);
            if (!text.empty()) {
                return text;
            }
        } catch (const EStringResourceError&) {
            // The readers' table is unusable; fall back to the built-in texts.
        }
    }
    return ReaderFallback.at(static_cast<std::size_t>(id - 1));
}

[[noreturn]] void Fail(int textId, const std::string& argument = {})
{
    throw EStringResourceError(FormatText(ReaderText(textId), argument));
}

} // namespace

TSerStringResource::TSerStringResource(std::string_view name)
{
    if (name.empty()) {
        return;
    }
    RegisterSerialStringTables();
    const std::string printable(name);
    const auto found = platform::FindResource(name);
    if (!found) {
        Fail(3, printable);
    }
    if (found->data() == nullptr || found->empty()) {
        Fail(4, printable);
    }
    resource = found;
    if (!IsValidTable(Lock())) {
        resource.reset();
        Fail(5);
    }
}

platform::ResourceBytes TSerStringResource::Lock() const
{
    if (!resource) {
        Fail(2);
    }
    return *resource;
}

std::string TSerStringResource::StringById(std::int32_t id) const
{
    const platform::ResourceBytes data = Lock();
    std::int64_t low = 0;
    std::int64_t high = static_cast<std::int64_t>(ReadU32(data, 4)) - 1;
    while (low <= high) {
        const std::int64_t mid = (low + high) / 2;
        const std::size_t record = HeaderSize + RecordSize * static_cast<std::size_t>(mid);
        const std::int32_t recordId = ReadI32(data, record);
        if (recordId == id) {
            const std::size_t offset = ReadU32(data, record + 4);
            const std::size_t bytes = 2 * std::size_t{ReadU32(data, record + 8)};
            return platform::LocaleFromUtf16(data.subspan(offset, bytes));
        }
        if (recordId < id) {
            low = mid + 1;
        } else {
            high = mid - 1;
        }
    }
    if (reportMissing) {
        Fail(1, std::to_string(id));
    }
    return {};
}

TSerStringResource& ReaderStrings()
{
    static TSerStringResource& reader = []() -> TSerStringResource& {
        buildingReaderStrings = true;
        struct Reset {
            ~Reset() { buildingReaderStrings = false; }
        } reset;
        return *new TSerStringResource("STRRES_STRINGS");
    }();
    return reader;
}
