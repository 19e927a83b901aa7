#pragma once

#include <string>

namespace startup {

// Qt takes its character type from the environment and, when that is not
// UTF-8 (cron, systemd units, env -i), switches to the UTF-8 form itself with
// a four-line warning on every run. This makes that switch first, in the
// environment Qt reads: LC_CTYPE names the UTF-8 form of the character type's
// locale (C becomes C.UTF-8, ru_RU.KOI8-R ru_RU.UTF-8, C.UTF-8 when the form is
// not installed). Every other category stays as the environment gave it; when
// LC_ALL was set, they are named one by one instead. Nothing changes when the
// character type is UTF-8 already or no UTF-8 locale is installed. The
// locales are tried with setlocale, and the process's own is put back. Call
// it first in main, before any thread starts.
void ChooseUtf8Locale();

// The UTF-8 form of a locale name, as ChooseUtf8Locale looks for it first:
// the codeset replaced, the modifier kept ("sr_RS@latin" -> "sr_RS.UTF-8@latin").
std::string Utf8Form(const std::string& name);

} // namespace startup
