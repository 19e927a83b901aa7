#pragma once

#include "instrument-sim/simulator.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

struct Options {
    Config config;
    std::vector<int> com; // one meter each, its port linked as comN
    bool verbose = false; // print every request on stderr
    bool help = false;
    bool version = false;
};

class OptionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The command line without the program name. Throws OptionError with a
// message for the user.
Options ParseOptions(const std::vector<std::string>& args);

std::string HelpText();

} // namespace sim
