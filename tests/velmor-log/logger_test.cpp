// Unit under test: velmor-log, the program, against simulated meters on
// pseudo-terminals linked into a private COM port map.
#include "SimTest.h"
#include "instrument-sim/comlink.h"
#include "instrument-sim/simulator.h"

#include <csignal>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

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

sim::Config State(std::uint8_t mode, std::uint8_t voltageRange, std::uint8_t currentRange)
{
    sim::Config c;
    c.state = {mode, voltageRange, currentRange};
    return c;
}

// velmor-log as a child with the COM map of the test.
class Log : public simtest::Child {
public:
    Log(std::vector<std::string> args, const fs::path& comDir)
        // A decimal comma in the locale must not reach the lines.
        : Child(WithProgram(std::move(args)), comDir, {"LC_ALL=ru_RU.UTF-8"})
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

    std::string out, err;

private:
    static std::vector<std::string> WithProgram(std::vector<std::string> args)
    {
        args.insert(args.begin(), VELMOR_LOG_PROGRAM);
        return args;
    }
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> FileLines(const fs::path& file)
{
    std::ifstream in(file);
    return Lines(std::string(std::istreambuf_iterator<char>(in), {}));
}

// Waits until the file holds a line that contains `text`.
bool WaitForLine(const fs::path& file, const std::string& text)
{
    const auto end = std::chrono::steady_clock::now() + simtest::Patience;
    while (std::chrono::steady_clock::now() < end) {
        for (const auto& line : FileLines(file)) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// Waits until the file holds at least `count` lines.
bool WaitForLines(const fs::path& file, std::size_t count)
{
    const auto end = std::chrono::steady_clock::now() + simtest::Patience;
    while (FileLines(file).size() < count) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::size_t CountOf(const std::vector<std::string>& lines, const std::string& text)
{
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](auto& l) { return l.find(text) != std::string::npos; }));
}

const std::string Time = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)";

} // namespace

TEST(VelmorLog, CsvAndJsonLinesAfterTheSettingsWereAcknowledged)
{
    simtest::TempDir tmp;
    Meter meter(tmp.Path(), 1, State(1, 0, 0));
    const fs::path csv = tmp.Path() / "log.csv";

    // Power at 150 V and 2.5 A: 375 W full scale, the constant signal at
    // half of it, two decimals with the Dranik model.
    Log first({"--com", "1", "--count", "3", "--mode", "power", "--vrange", "150V", "--crange",
               "2.5", "--output", csv.string()},
              tmp.Path());
    ASSERT_EQ(first.Wait(), 0) << first.err;
    const sim::InstrumentState state = meter.simulator.State();
    EXPECT_EQ(state.mode, 3);
    EXPECT_EQ(state.voltageRange, 3);
    EXPECT_EQ(state.currentRange, 1);
    // Appending a second run keeps the one header.
    Log second({"--com", "1", "--count", "1", "--output", csv.string()}, tmp.Path());
    ASSERT_EQ(second.Wait(), 0) << second.err;
    EXPECT_TRUE(first.out.empty() && second.out.empty());

    const auto lines = FileLines(csv);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "time,port,value,unit,exact,mode,vrange,crange,status");
    const std::regex reading(Time + ",COM1,187\\.50,W,187\\.5,power,150V,2\\.5A,ok");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], reading)) << lines[i];
    }
    EXPECT_NE(first.err.find("COM1: 3 readings, 0 errors; min 187.50 W, max 187.50 W, mean "
                             "187.50 W"),
              std::string::npos)
        << first.err;

    // The Velmor's captions and its extra decimal in current mode.
    meter.simulator.SetState({2, 6, 3});
    Log json({"--com", "1", "--count", "2", "--format", "jsonl", "--model", "velmor"}, tmp.Path());
    ASSERT_EQ(json.Wait(), 0) << json.err;
    const auto objects = Lines(json.out);
    ASSERT_EQ(objects.size(), 2u) << json.out;
    const std::regex object("\\{\"time\":\"" + Time +
                            "\",\"port\":\"COM1\",\"value\":\"5\\.0000\",\"unit\":\"A\","
                            "\"exact\":5,\"mode\":\"current\",\"vrange\":\"600V\","
                            "\"crange\":\"1A\",\"status\":\"ok\"\\}");
    for (const auto& o : objects) {
        EXPECT_TRUE(std::regex_match(o, object)) << o;
    }
}

TEST(VelmorLog, ErrorLinesKeepPollingUntilTooManyInARow)
{
    simtest::TempDir tmp;
    sim::Config silent;
    silent.faults.silent = true;
    Meter meter(tmp.Path(), 1, silent);

    Log quiet({"--com", "1", "--timeout", "100", "--max-errors", "2"}, tmp.Path());
    EXPECT_EQ(quiet.Wait(), 1);
    auto lines = Lines(quiet.out);
    ASSERT_EQ(lines.size(), 3u) << quiet.out;
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(Time + ",COM1,,,,,,,no-reply"))) << lines[1];
    EXPECT_EQ(lines[2].substr(lines[2].find(',')), ",COM1,,,,,,,no-reply");
    EXPECT_NE(quiet.err.find("COM1: 2 errors in a row, giving up"), std::string::npos) << quiet.err;
    EXPECT_NE(quiet.err.find("COM1: 0 readings, 2 errors (no-reply 2)"), std::string::npos);

    // Half the replies with a wrong check code: each is a line, and the
    // polling goes on past them.
    sim::Faults faults;
    faults.badCheckProbability = 0.5;
    meter.simulator.SetFaults(faults);
    Log mixed({"--com", "1", "--count", "20", "--interval", "0", "--format", "jsonl",
               "--max-errors", "20"},
              tmp.Path());
    EXPECT_EQ(mixed.Wait(), 0) << mixed.err;
    lines = Lines(mixed.out);
    ASSERT_EQ(lines.size(), 20u);
    const std::size_t bad = CountOf(lines, "\"status\":\"check-error\"");
    EXPECT_GT(bad, 0u);
    EXPECT_EQ(CountOf(lines, "\"value\":null,\"unit\":null,\"exact\":null"), bad);
    EXPECT_EQ(CountOf(lines, "\"status\":\"ok\""), 20 - bad);
    EXPECT_NE(mixed.err.find(std::to_string(20 - bad) + " readings, " + std::to_string(bad) +
                             " error" + (bad == 1 ? "" : "s") + " (check-error " +
                             std::to_string(bad) + ")"),
              std::string::npos)
        << mixed.err;
}

TEST(VelmorLog, TwoMetersIntoOneOutputInTimeOrder)
{
    simtest::TempDir tmp;
    Meter voltage(tmp.Path(), 1, State(1, 2, 0));
    Meter current(tmp.Path(), 2, State(2, 0, 3));
    Log log({"--com", "1", "--com", "2", "--count", "5"}, tmp.Path());
    ASSERT_EQ(log.Wait(), 0) << log.err;

    const auto lines = Lines(log.out);
    ASSERT_EQ(lines.size(), 11u) << log.out;
    EXPECT_EQ(CountOf(lines, ",COM1,37.500,V,37.5,voltage,75V,1A,ok"), 5u) << log.out;
    EXPECT_EQ(CountOf(lines, ",COM2,5.000,A,5,current,30V,10A,ok"), 5u) << log.out;
    std::size_t lastOfFirst = 0;
    std::size_t firstOfSecond = lines.size();
    for (std::size_t i = 2; i < lines.size(); ++i) {
        // One offset for the whole run, so the texts compare as times.
        EXPECT_LE(lines[i - 1].substr(0, 29), lines[i].substr(0, 29)) << log.out;
    }
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].find(",COM1,") != std::string::npos) {
            lastOfFirst = i;
        } else {
            firstOfSecond = std::min(firstOfSecond, i);
        }
    }
    EXPECT_LT(firstOfSecond, lastOfFirst) << "the meters were polled one after the other";
    EXPECT_NE(log.err.find("COM1: 5 readings"), std::string::npos) << log.err;
    EXPECT_NE(log.err.find("COM2: 5 readings"), std::string::npos) << log.err;
}

TEST(VelmorLog, SignalsEndTheRunWithTheSummary)
{
    for (const int signal : {SIGTERM, SIGINT}) {
        simtest::TempDir tmp;
        Meter meter(tmp.Path(), 3, State(1, 6, 0));
        const fs::path file = tmp.Path() / "log.csv";
        Log log({"--com", "3", "--interval", "10", "--output", file.string()}, tmp.Path());
        ASSERT_TRUE(WaitForLine(file, "300.00"));
        ASSERT_TRUE(WaitForLines(file, 4));
        log.Signal(signal);
        EXPECT_EQ(log.Wait(), 0) << strsignal(signal);
        // Every line that was written is whole and counted in the summary.
        const auto lines = FileLines(file);
        EXPECT_EQ(CountOf(lines, ",COM3,300.00,V,300,voltage,600V,1A,ok"), lines.size() - 1);
        EXPECT_NE(log.err.find("COM3: " + std::to_string(lines.size() - 1) +
                               " readings, 0 errors; min 300.00 V, max 300.00 V, mean 300.00 V"),
                  std::string::npos)
            << log.err;
    }
}

TEST(VelmorLog, BadInputIsOneLineAndWritesNothing)
{
    simtest::TempDir tmp;
    Meter meter(tmp.Path(), 1);
    const fs::path busyFile = tmp.Path() / "busy.csv";
    Log busy({"--com", "1", "--output", busyFile.string()}, tmp.Path());
    ASSERT_TRUE(WaitForLine(busyFile, ",ok"));

    const fs::path file = tmp.Path() / "never.csv";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--com", "2", "--frobnicate"}, "unknown option --frobnicate"},
        {{"--com", "2", "--mode", "voltage", "--vrange", "70"},
         "--vrange is one of 30|60|75|150|300|450|600, not '70'"},
        {{"--com", "2", "--model", "velmor", "--crange", "10A"},
         "--crange is one of 0.1|0.25|0.5|1 for the Velmor model, not '10A'"},
        {{"--com", "2", "--count", "0"}, "--count needs a whole number"},
        {{"--output", file.string()}, "no meter given"},
        {{"--com", "2", "--output", file.string()}, "COM2: no such port in the COM port map"},
        {{"--device", (tmp.Path() / "ttyUSB9").string(), "--output", file.string()},
         "ttyUSB9: no such device"},
        {{"--com", "1", "--output", file.string()}, "COM1: held by another program"},
    };
    for (const auto& [args, message] : cases) {
        Log log(args, tmp.Path());
        EXPECT_EQ(log.Wait(), 2) << message;
        EXPECT_EQ(log.err, "velmor-log: " + log.err.substr(12, log.err.find('\n') - 11))
            << "one line: " << log.err;
        EXPECT_NE(log.err.find(message), std::string::npos) << log.err;
        EXPECT_TRUE(log.out.empty()) << message;
        EXPECT_FALSE(fs::exists(file)) << message;
    }
    Log help({"--help"}, tmp.Path());
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_NE(help.out.find("Exit status:\n  0  stopped by Ctrl-C"), std::string::npos);
}

TEST(VelmorLog, ResumesWhenTheUnpluggedDeviceIsBack)
{
    simtest::TempDir tmp;
    sim::Config hangUp;
    hangUp.faults.hangUpAfter = 3;
    auto meter = std::make_unique<Meter>(tmp.Path(), 1, hangUp);
    const fs::path file = tmp.Path() / "log.csv";
    Log log({"--com", "1", "--mode", "current", "--output", file.string()}, tmp.Path());
    ASSERT_TRUE(WaitForLine(file, ",port-lost"));
    meter.reset();

    // Back under the same COM number, set to voltage: the setting is sent
    // again before the polling resumes.
    meter = std::make_unique<Meter>(tmp.Path(), 1, State(1, 0, 0));
    ASSERT_TRUE(WaitForLine(file, ",0.5000,A,0.5,current,30V,1A,ok"));
    const auto before = FileLines(file).size();
    ASSERT_TRUE(WaitForLines(file, before + 2));
    log.Signal(SIGTERM);
    EXPECT_EQ(log.Wait(), 0);
    const auto lines = FileLines(file);
    EXPECT_EQ(CountOf(lines, ",port-lost"), 1u);
    EXPECT_NE(log.err.find("COM1: the device is not connected; logging resumes when it is back"),
              std::string::npos)
        << log.err;
    EXPECT_NE(log.err.find("COM1: back, logging resumes"), std::string::npos) << log.err;
    EXPECT_NE(log.err.find("(port-lost 1)"), std::string::npos) << log.err;
    EXPECT_GE(meter->simulator.RequestCount(), 3u);
}
