// Fuzz target: the "STR0" string table reader on arbitrary blobs. A blob is
// registered as a resource of its own length (in a block of exactly that
// size, so any read past it is caught), loaded, and when accepted every
// entry and a few other ids are looked up. Acceptance and every text are
// checked against an independent reading of the layout.
#include "FuzzInput.h"
#include "platform/Resources.h"
#include "serial/SerStrRes.h"

#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

std::uint32_t U32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

struct Entry {
    std::uint64_t offset;
    std::uint64_t units;
};

// The table as a lookup may rely on it, or nothing when it is damaged.
bool ReadTable(const std::uint8_t* data, std::size_t size, std::map<std::int32_t, Entry>& entries)
{
    if (size < 8 || std::memcmp(data, "STR0", 4) != 0) {
        return false;
    }
    const std::uint64_t count = U32(data + 4);
    const std::uint64_t textStart = 8 + 12 * count;
    if (textStart > size) {
        return false;
    }
    bool first = true;
    std::int32_t last = 0;
    for (std::uint64_t n = 0; n < count; ++n) {
        const std::uint8_t* record = data + 8 + 12 * n;
        const auto id = static_cast<std::int32_t>(U32(record));
        const Entry e{U32(record + 4), U32(record + 8)};
        if ((!first && id <= last) || e.offset < textStart || e.offset + 2 * e.units > size) {
            return false;
        }
        first = false;
        last = id;
        entries[id] = e;
    }
    return true;
}

// What the C locale makes of UTF-16LE text: ASCII as it is, every other
// character (a surrogate pair is one) and every broken unit a '?'.
std::string Ascii(const std::uint8_t* text, std::size_t units)
{
    std::string out;
    for (std::size_t i = 0; i < units; ++i) {
        const unsigned unit = text[2 * i] | text[2 * i + 1] << 8;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
            const unsigned next = text[2 * i + 2] | text[2 * i + 3] << 8;
            if (next >= 0xDC00 && next <= 0xDFFF) {
                ++i;
            }
        }
        out += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return out;
}

// One block and one resource name per blob length, made on first use; the
// registry keeps views and refuses a second registration of a name.
std::string NameFor(const std::uint8_t* data, std::size_t size)
{
    static std::map<std::size_t, std::unique_ptr<std::uint8_t[]>> blocks;
    const std::string name = "FUZZ_STR0_" + std::to_string(size);
    auto& block = blocks[size];
    if (!block) {
        block = std::make_unique<std::uint8_t[]>(size);
        FUZZ_CHECK(platform::RegisterResource(name, {block.get(), size}));
    }
    if (size > 0) {
        std::memcpy(block.get(), data, size);
    }
    return name;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 4096) {
        return 0;
    }
    const std::string name = NameFor(data, size);
    std::map<std::int32_t, Entry> entries;
    const bool sound = ReadTable(data, size, entries);

    std::unique_ptr<TSerStringResource> reader;
    try {
        reader = std::make_unique<TSerStringResource>(name);
    } catch (const EStringResourceError& e) {
        FUZZ_CHECK(!sound);
        FUZZ_CHECK(!e.Message().empty());
        return 0;
    }
    FUZZ_CHECK(sound);

    for (const auto& [id, e] : entries) {
        const std::string text = reader->StringById(id);
        FUZZ_CHECK(text == Ascii(data + e.offset, e.units));
    }
    // Ids between, around and beyond the entries, and ids the blob names.
    FuzzInput in(data, size);
    std::vector<std::int32_t> probes = {0, -1, 1, INT32_MIN, INT32_MAX};
    for (int k = 0; k < 16 && !in.Empty(); ++k) {
        const std::uint32_t low = in.U16();
        probes.push_back(static_cast<std::int32_t>(low | std::uint32_t{in.U16()} << 16));
    }
    for (const auto& [id, e] : entries) {
        probes.push_back(id > INT32_MIN ? id - 1 : id);
        probes.push_back(id < INT32_MAX ? id + 1 : id);
    }
    reader->SetReportMissing(true);
    for (const std::int32_t id : probes) {
        const bool present = entries.count(id) != 0;
        try {
            const std::string text = reader->StringById(id);
            FUZZ_CHECK(present);
        } catch (const EStringResourceError& e) {
            FUZZ_CHECK(!present);
            FUZZ_CHECK(e.Message().find(std::to_string(id)) != std::string::npos);
        }
    }
    return 0;
}
