// velmor-sim: a simulated meter on a pseudo-terminal, for operators and tests.
#include "instrument-sim/comlink.h"
#include "instrument-sim/options.h"
#include "instrument-sim/simulator.h"
#include "platform/EndingSignals.h"

#include <cstdio>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>

namespace {

void PrintRequest(const sim::RequestRecord& r)
{
    std::ostringstream line;
    line << "velmor-sim:";
    for (const auto b : r.bytes) {
        line << ' ' << std::hex << std::uppercase << std::setw(2) << std::setfill('0') << int(b);
    }
    line << " -> " << sim::OutcomeName(r.outcome) << '\n';
    std::cerr << line.str();
}

} // namespace

int main(int argc, char** argv)
{
    sim::Options options;
    try {
        options = sim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const sim::OptionError& e) {
        std::cerr << "velmor-sim: " << e.what() << "\nTry 'velmor-sim --help'.\n";
        return 2;
    }
    if (options.help) {
        std::cout << sim::HelpText();
        return 0;
    }
    if (options.version) {
        std::cout << "velmor-sim " VELMOR_VERSION "\n";
        return 0;
    }
    if (options.verbose) {
        options.config.onRequest = PrintRequest;
    }
    try {
        // Readable once an ending signal arrives, so that serving ends
        // cleanly and the link goes.
        platform::BlockEndingSignals();
        const platform::SignalFd signals = platform::OpenEndingSignals();
        sim::Simulator simulator(options.config);
        std::optional<sim::ComLink> link;
        if (options.com) {
            link.emplace(sim::ComDirectory(), *options.com, simulator.Path());
        }
        std::cout << simulator.Path() << std::endl;
        if (link) {
            std::cerr << "velmor-sim: linked as " << link->Path().string() << '\n';
        }
        simulator.Run(signals.Get());
        if (simulator.HungUp()) {
            std::cerr << "velmor-sim: hung up after " << simulator.RepliesSent() << " replies\n";
        }
    } catch (const std::exception& e) {
        std::cerr << "velmor-sim: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
