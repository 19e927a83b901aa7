#pragma once

// What the serial library asks of the system it runs on: its name for the
// log's header, and the locale's character set that texts are shown in.

#include <cstdint>
#include <span>
#include <string>

namespace platform {

// "Linux 6.1.0-13-amd64 x86_64": the kernel, its release and the machine;
// empty when the system will not say.
std::string OperatingSystemName();

// The name of the locale's character set ("UTF-8", "ISO-8859-5"...); empty
// when the locale names none.
std::string LocaleCodeSet();

// UTF-16LE text in the locale's character set; a character that set cannot
// represent becomes '?' (without a converter for the set, every character
// outside ASCII does).
std::string LocaleFromUtf16(std::span<const std::uint8_t> text);

} // namespace platform
