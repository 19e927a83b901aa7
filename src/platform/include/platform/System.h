#pragma once

// What the serial library asks of the system it runs on: its name for the
// log's header, the locale's character set that texts are shown in, and
// room for the descriptors an open port takes.

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

// Raises the soft limit on open descriptors to the hard one: each open port
// takes several (the device, its event descriptors, its threads' message
// queues), and the usual soft limit of 1024 ends a program's ports long
// before the system would. False when the limit could not be raised.
bool RaiseDescriptorLimit();

} // namespace platform
