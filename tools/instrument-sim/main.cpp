// velmor-sim: a simulated meter on a pseudo-terminal, for operators and tests.
#include "instrument-sim/comlink.h"
#include "instrument-sim/options.h"
#include "instrument-sim/simulator.h"
#include "platform/EndingSignals.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// prefix: "velmor-sim:", or with several meters "velmor-sim: comN:".
void PrintRequest(const sim::RequestRecord& r, const std::string& prefix = "velmor-sim:")
{
    std::ostringstream line;
    line << prefix;
    for (const auto b : r.bytes) {
        line << ' ' << std::hex << std::uppercase << std::setw(2) << std::setfill('0') << int(b);
    }
    line << " -> " << sim::OutcomeName(r.outcome) << '\n';
    std::cerr << line.str();
}

// One meter, served on the main thread.
int ServeOne(sim::Options& options)
{
    if (options.verbose) {
        options.config.onRequest = [](const sim::RequestRecord& r) { PrintRequest(r); };
    }
    // Readable once an ending signal arrives, so that serving ends
    // cleanly and the link goes.
    platform::BlockEndingSignals();
    const platform::SignalFd signals = platform::OpenEndingSignals();
    sim::Simulator simulator(options.config);
    std::optional<sim::ComLink> link;
    if (!options.com.empty()) {
        link.emplace(sim::ComDirectory(), options.com.front(), simulator.Path());
    }
    std::cout << simulator.Path() << std::endl;
    if (link) {
        std::cerr << "velmor-sim: linked as " << link->Path().string() << '\n';
    }
    simulator.Run(signals.Get());
    if (simulator.HungUp()) {
        std::cerr << "velmor-sim: hung up after " << simulator.RepliesSent() << " replies\n";
    }
    return 0;
}

struct Meter {
    std::string name; // comN
    std::unique_ptr<sim::Simulator> simulator;
    std::unique_ptr<sim::ComLink> link;
    std::string error; // its thread's, read once joined
};

// Each meter takes three descriptors and, while a client claims its port,
// one for every process that holds it: 255 meters come near the usual soft
// limit of 1024.
void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Several meters, one thread each, all ended by the same signal. The main
// thread owns them: it waits until every one has ended by itself (the
// signal, a hang-up) or one has failed, then stops the rest and joins.
int ServeMany(const sim::Options& options)
{
    RaiseDescriptorLimit();
    platform::BlockEndingSignals();
    const platform::SignalFd signals = platform::OpenEndingSignals();
    // Counts the meters whose serving has ended.
    const platform::UniqueFd ended(::eventfd(0, EFD_CLOEXEC));
    if (!ended.Valid()) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    std::vector<Meter> meters;
    for (const int number : options.com) {
        Meter meter{"com" + std::to_string(number), nullptr, nullptr, {}};
        sim::Config config = options.config;
        if (options.verbose) {
            config.onRequest = [prefix = "velmor-sim: " + meter.name + ":"](
                                   const sim::RequestRecord& r) { PrintRequest(r, prefix); };
        }
        meter.simulator = std::make_unique<sim::Simulator>(config);
        meter.link =
            std::make_unique<sim::ComLink>(sim::ComDirectory(), number, meter.simulator->Path());
        meters.push_back(std::move(meter));
    }
    for (const Meter& meter : meters) {
        std::cout << meter.simulator->Path() << '\n';
    }
    std::cout.flush();
    for (const Meter& meter : meters) {
        std::cerr << "velmor-sim: linked as " << meter.link->Path().string() << '\n';
    }

    std::atomic<bool> failed{false};
    // However this block is left, the threads end first: a stopped
    // simulator's serving returns at once.
    struct Joiner {
        std::vector<Meter>& meters;
        std::vector<std::thread> threads;
        ~Joiner()
        {
            for (Meter& meter : meters) {
                meter.simulator->Stop();
            }
            for (std::thread& thread : threads) {
                thread.join();
            }
        }
    };
    {
        Joiner joiner{meters, {}};
        joiner.threads.reserve(meters.size());
        for (Meter& meter : meters) {
            joiner.threads.emplace_back([&meter, &failed, &ended, &signals] {
                try {
                    meter.simulator->Run(signals.Get());
                    if (meter.simulator->HungUp()) {
                        std::cerr << "velmor-sim: " + meter.name + " hung up after " +
                                         std::to_string(meter.simulator->RepliesSent()) +
                                         " replies\n";
                    }
                } catch (const std::exception& e) {
                    meter.error = e.what();
                    failed = true;
                }
                const std::uint64_t one = 1;
                [[maybe_unused]] const auto n = ::write(ended.Get(), &one, sizeof one);
            });
        }
        // Until each has ended by itself (the signal, a hang-up), or one failed.
        for (std::uint64_t count = 0; count < meters.size() && !failed;) {
            std::uint64_t more = 0;
            const ssize_t n = ::read(ended.Get(), &more, sizeof more);
            if (n == sizeof more) {
                count += more;
            } else if (n < 0 && errno != EINTR) {
                throw std::system_error(errno, std::generic_category(), "eventfd");
            }
        }
    }
    int status = 0;
    for (const Meter& meter : meters) {
        if (!meter.error.empty()) {
            std::cerr << "velmor-sim: " << meter.name << ": " << meter.error << '\n';
            status = 1;
        }
    }
    return status;
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
    try {
        return options.com.size() > 1 ? ServeMany(options) : ServeOne(options);
    } catch (const std::exception& e) {
        std::cerr << "velmor-sim: " << e.what() << '\n';
        return 1;
    }
}
