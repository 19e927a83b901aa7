#pragma once

#include <string>

namespace vlog {

// How much a message on standard error matters, as syslog numbers it.
enum class Priority { Error = 3, Warning = 4, Info = 6 };

// Whether standard error goes to the journal: JOURNAL_STREAM names it, or a
// service manager started us (INVOCATION_ID) with standard error on no
// terminal and no stream of its own. Decided at the first call.
bool ToJournal();

// Writes text (one line or several, each ending in a newline) to standard
// error in one write; into the journal each line carries its priority
// ("<3>"), so that `journalctl -p warning` finds the troubles.
void Say(Priority priority, const std::string& text);

// A sentence of the library's or the system's ("The device is not
// connected. ") inside a line of ours: without its full stop, and lower
// case where only its first letter was a capital.
std::string Sentence(std::string text);

} // namespace vlog
