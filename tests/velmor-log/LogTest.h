#pragma once
// What the end-to-end tests of velmor-log share: simulated meters linked into
// a private COM port map, the program as a child, and its lines.

#include "SimTest.h"
#include "TextLines.h"
#include "instrument-sim/comlink.h"
#include "instrument-sim/simulator.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace logtest {

namespace fs = std::filesystem;

// A simulated meter linked as comN for as long as it lives.
struct Meter {
    Meter(const fs::path& comDir, int number, sim::Config config = {})
        : simulator(std::move(config)), link(comDir, number, simulator.Path())
    {
        simulator.Start();
    }
    sim::Simulator simulator;
    sim::ComLink link;
};

inline sim::Config State(std::uint8_t mode, std::uint8_t voltageRange, std::uint8_t currentRange)
{
    sim::Config c;
    c.state = {mode, voltageRange, currentRange};
    return c;
}

// velmor-log as a child with the COM map of the test; shell: commands run
// first in the child's shell (ulimit -n 20), env: more of its environment.
class Log : public simtest::Child {
public:
    Log(std::vector<std::string> args, const fs::path& comDir, const std::string& shell = {},
        std::vector<std::string> env = {})
        // A decimal comma in the locale must not reach the lines.
        : Child(WithProgram(std::move(args), shell), comDir, WithLocale(std::move(env)))
    {
    }

    // Reads both pipes to their end, then reaps: the exit status, -1 for a
    // program that did not end by itself within the patience.
    int Wait()
    {
        const auto end = std::chrono::steady_clock::now() + 4 * simtest::Patience;
        pollfd p[2] = {{Out(), POLLIN, 0}, {Err(), POLLIN, 0}};
        std::string* text[2] = {&out, &err};
        int open = 2;
        while (open > 0 && std::chrono::steady_clock::now() < end) {
            if (::poll(p, 2, 100) <= 0) {
                continue;
            }
            for (int i = 0; i < 2; ++i) {
                if (p[i].fd < 0 || p[i].revents == 0) {
                    continue;
                }
                char buffer[4096];
                const ssize_t n = ::read(p[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    text[i]->append(buffer, static_cast<std::size_t>(n));
                } else {
                    p[i].fd = -1;
                    --open;
                }
            }
        }
        return open > 0 ? -1 : Exit();
    }

    // Reads standard error until it holds text, within the patience.
    bool WaitForError(const std::string& text)
    {
        const auto end = std::chrono::steady_clock::now() + simtest::Patience;
        while (err.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd p{Err(), POLLIN, 0};
            char buffer[4096];
            ssize_t n = 0;
            if (::poll(&p, 1, 100) > 0 && (n = ::read(Err(), buffer, sizeof buffer)) <= 0) {
                break; // it ended
            }
            err.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
        return err.find(text) != std::string::npos;
    }

    std::string out, err;

private:
    static std::vector<std::string> WithProgram(std::vector<std::string> args,
                                                const std::string& shell)
    {
        args.insert(args.begin(), VELMOR_LOG_PROGRAM);
        if (!shell.empty()) {
            args.insert(args.begin(), {"/bin/sh", "-c", shell + "; exec \"$0\" \"$@\""});
        }
        return args;
    }
    static std::vector<std::string> WithLocale(std::vector<std::string> env)
    {
        env.insert(env.begin(), "LC_ALL=ru_RU.UTF-8");
        return env;
    }
};

inline std::vector<std::string> FileLines(const fs::path& file)
{
    std::ifstream in(file);
    return Lines(std::string(std::istreambuf_iterator<char>(in), {}));
}

// Waits until the file holds a line that contains `text`.
inline bool WaitForLine(const fs::path& file, const std::string& text)
{
    const auto end = std::chrono::steady_clock::now() + simtest::Patience;
    while (std::chrono::steady_clock::now() < end) {
        for (const auto& line : FileLines(file)) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// Waits until the file holds at least `count` lines.
inline bool WaitForLines(const fs::path& file, std::size_t count)
{
    const auto end = std::chrono::steady_clock::now() + simtest::Patience;
    while (FileLines(file).size() < count) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

inline std::size_t CountOf(const std::vector<std::string>& lines, const std::string& text)
{
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](auto& l) { return l.find(text) != std::string::npos; }));
}

inline const std::string Time = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)";

} // namespace logtest
