#pragma once

#include <string>
#include <vector>

namespace vlog {

// A configuration file holds options as the command line takes them, one a
// line: "--com 3", "--interval=200", "--output /var/lib/x/bench 1.csv" (the
// value is the rest of the line, spaces and all). Blank lines are skipped; a
// "#" at the start of a line, or after a space, begins a comment.

// The file's options, one argument each ("--name" or "--name=value"), checked
// as far as the file alone can tell. Throws OptionError "FILE:LINE: why" for a
// line that is wrong, "FILE: why" for what is wrong with the file as a whole.
std::vector<std::string> ReadConfig(const std::string& path);

// The command line with each --config FILE (or --config=FILE) replaced by the
// file's options, in its place: options after it override the file's, ports
// add up. Throws OptionError.
std::vector<std::string> ExpandConfig(const std::vector<std::string>& args);

} // namespace vlog
