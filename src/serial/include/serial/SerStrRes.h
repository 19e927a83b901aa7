#pragma once

#include "platform/Resources.h"
#include "serial/SerMisc.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Raised by TSerStringResource; its texts come from ReaderStrings.
class EStringResourceError : public Exception {
public:
    using Exception::Exception;
};

// Reader of an "STR0" string table embedded in the program:
//   "STR0", N (uint32), N index records {id int32, offset uint32 (bytes from
//   the start), length uint32 (UTF-16 units)} sorted by ascending unique id,
//   then the UTF-16LE texts. All integers little-endian.
// The whole table is checked at creation, so a damaged one is refused then
// and lookups never read outside it. Lookups do not change the reader and
// may run on several threads at once.
class TSerStringResource {
public:
    // Loads the resource called name. An empty name loads nothing; every
    // lookup then fails as the resource cannot be locked.
    explicit TSerStringResource(std::string_view name);
    TSerStringResource(const TSerStringResource&) = delete;
    TSerStringResource& operator=(const TSerStringResource&) = delete;

    // The text of id in the system code page; empty when the table has no
    // such id, unless ReportMissing is set, which raises instead.
    std::string StringById(std::int32_t id) const;

    bool ReportMissing() const noexcept { return reportMissing; }
    void SetReportMissing(bool value) noexcept { reportMissing = value; }

private:
    platform::ResourceBytes Lock() const;

    std::optional<platform::ResourceBytes> resource;
    bool reportMissing = false;
};

// The reader of the readers' own texts ("STRRES_STRINGS"). Created on first
// use and never destroyed, so it stays usable while the program exits.
// Raises EStringResourceError when the table is missing or damaged.
TSerStringResource& ReaderStrings();

// Makes the library's embedded tables findable through platform::FindResource.
// Idempotent; TSerStringResource calls it itself. (Defined in the source that
// the table builder generates.)
void RegisterSerialStringTables();
