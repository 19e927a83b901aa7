#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace platform {

// Read-only bytes that live as long as the process.
using ResourceBytes = std::span<const std::uint8_t>;

// Makes a named block of bytes findable by FindResource. The bytes are not
// copied: they must outlive every lookup (in practice they are arrays with
// static storage). The first registration of a name wins; a second one is
// refused with false, so embedded tables cannot be replaced behind the
// readers' backs. Thread-safe.
bool RegisterResource(std::string_view name, ResourceBytes bytes);

// The stand-in for finding and loading a named resource of the program: the
// bytes registered under name (names compare exactly), or nothing when no
// such resource exists. A resource may be registered with no bytes at all;
// it is then found but holds nothing to load. Thread-safe.
std::optional<ResourceBytes> FindResource(std::string_view name);

} // namespace platform
