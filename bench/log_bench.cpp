// velmor-log against simulated meters: its reading rate with --interval 0
// beside what the line and the simulator allow, and its CPU time per
// reading, for one meter and for four at once.
//
// The limit is measured, not assumed: a plain termios client runs the same
// exchange (3-byte query, 10-byte reply) back to back against the same
// simulators, so it takes the paced line time plus the simulator's
// turnaround and next to nothing of its own. velmor-sim paces
// only what it writes: the 10-byte reply takes 10 x 10 bits at 9600 baud, so
// the paced line allows 96 exchanges a second. The 3-byte query crosses the
// pseudo-terminal at once; on a real 9600 baud line it takes its 3.1 ms too,
// and 13 bytes an exchange allow 73.8 a second.
//
// Then 16 meters publishing to a local broker (Debian's mosquitto, started
// here on a free port of 127.0.0.1): readings published against taken, CPU
// per reading with and without --mqtt, and the delay from a reading's time
// to its arrival at a subscriber on this machine (the time field has
// milliseconds: up to 1 ms more than the true delay).
//
// Usage: log_bench [--readings N] [--sim-arg ARG]... [--log PATH] [--sim PATH]
//   defaults: 1000 readings per meter, the programs built beside it.
#include "MqttSubscriber.h"
#include "stats.h"

#include <mosquitto.h>

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Baud = 9600;
constexpr int BitsPerByte = 10; // start, 8 data, stop
constexpr int QueryBytes = 3;
constexpr int ReplyBytes = 10;
constexpr unsigned char Query[3] = {0x41, 0x7F, 0x70}; // ReadMeasurement

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "log_bench: %s\n", what.c_str());
    std::exit(1);
}

pid_t Spawn(std::vector<std::string> args, int out, const std::string& comDir)
{
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> env = {"VELMOR_COM_DIR=" + comDir};
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "VELMOR_COM_DIR=", 15) != 0) {
            env.emplace_back(*e);
        }
    }
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out >= 0) {
        posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
        Fail("cannot start " + args[0]);
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// velmor-sim processes linked as COM1..COMn in a private map, for one round.
class Simulators {
public:
    Simulators(const std::string& program, const std::vector<std::string>& extra, int count)
    {
        std::string pattern = (fs::temp_directory_path() / "velmor-log-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            Fail("mkdtemp");
        }
        dir = pattern;
        for (int i = 1; i <= count; ++i) {
            int p[2];
            if (::pipe2(p, O_CLOEXEC) != 0) {
                Fail("pipe");
            }
            std::vector<std::string> args = {program, "--com", std::to_string(i)};
            args.insert(args.end(), extra.begin(), extra.end());
            pids.push_back(Spawn(args, p[1], dir));
            ::close(p[1]);
            // The simulator prints its terminal once the link is in place.
            std::string path;
            char c = 0;
            pollfd w{p[0], POLLIN, 0};
            while (::poll(&w, 1, 5000) == 1 && ::read(p[0], &c, 1) == 1 && c != '\n') {
                path += c;
            }
            ::close(p[0]);
            if (path.empty()) {
                Fail(program + " did not start");
            }
            paths.push_back(path);
        }
    }
    ~Simulators()
    {
        for (const pid_t pid : pids) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    Simulators(const Simulators&) = delete;
    Simulators& operator=(const Simulators&) = delete;

    std::string dir;
    std::vector<std::string> paths;

private:
    std::vector<pid_t> pids;
};

// Back-to-back exchanges from a plain client; exchanges per second.
double RawRate(const std::string& path, int exchanges)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        Fail("cannot open " + path);
    }
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B9600);
    ::tcsetattr(fd, TCSANOW, &tio);
    const auto start = Clock::now();
    for (int i = 0; i < exchanges; ++i) {
        if (::write(fd, Query, sizeof Query) != static_cast<ssize_t>(sizeof Query)) {
            Fail("write to " + path);
        }
        unsigned char reply[64];
        for (std::size_t got = 0; got < 10;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 1000) != 1) {
                Fail("no reply on " + path);
            }
            const ssize_t n = ::read(fd, reply + got, sizeof reply - got);
            if (n <= 0) {
                Fail("read from " + path);
            }
            got += static_cast<std::size_t>(n);
        }
    }
    const std::chrono::duration<double> took = Clock::now() - start;
    ::close(fd);
    return exchanges / took.count();
}

// Seconds since the epoch of a line's time field (the offset is the same on
// every line of a run, so it is left out).
double LineTime(const std::string& line)
{
    std::tm t{};
    int ms = 0;
    if (std::sscanf(line.c_str(), "%d-%d-%dT%d:%d:%d.%d", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec, &ms) != 7) {
        return -1;
    }
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return static_cast<double>(::timegm(&t)) + ms / 1000.0;
}

struct LogRun {
    double rate = 0;     // readings per second per meter, the slowest meter
    double cpuMs = 0;    // CPU time per reading, all meters together
    std::size_t ok = 0;  // readings with status ok
    std::size_t all = 0; // lines
};

LogRun RunLogger(const std::string& program, const Simulators& sims, int readings,
                 const std::vector<std::string>& extra = {})
{
    const fs::path file = fs::path(sims.dir) / "log.csv";
    std::vector<std::string> args = {
        program,   "--interval", "0",          "--count", std::to_string(readings),
        "--quiet", "--output",   file.string()};
    for (std::size_t i = 1; i <= sims.paths.size(); ++i) {
        args.insert(args.end(), {"--com", std::to_string(i)});
    }
    args.insert(args.end(), extra.begin(), extra.end());
    const pid_t pid = Spawn(args, -1, sims.dir);
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        Fail("velmor-log failed");
    }
    std::map<std::string, std::pair<double, double>> span; // port: first, last time
    std::map<std::string, std::size_t> lines;
    LogRun run;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        const double t = LineTime(line);
        if (t < 0) {
            continue; // the header
        }
        const auto a = line.find(',');
        const std::string port = line.substr(a + 1, line.find(',', a + 1) - a - 1);
        auto [it, fresh] = span.try_emplace(port, t, t);
        it->second.second = t;
        ++lines[port];
        ++run.all;
        run.ok += line.ends_with(",ok") ? 1 : 0;
    }
    run.rate = 1e9;
    for (const auto& [port, times] : span) {
        const double seconds = times.second - times.first;
        run.rate = std::min(run.rate, seconds > 0 ? (lines[port] - 1) / seconds : 0.0);
    }
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                       usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    run.cpuMs = run.all > 0 ? cpu * 1000 / static_cast<double>(run.all) : 0;
    return run;
}

// Seconds since the epoch of a JSON reading's time, its offset applied.
double PayloadTime(const std::string& payload)
{
    const auto at = payload.find("\"time\":\"");
    std::tm t{};
    int ms = 0;
    char sign = '+';
    int hours = 0;
    int minutes = 0;
    if (at == std::string::npos ||
        std::sscanf(payload.c_str() + at + 8, "%d-%d-%dT%d:%d:%d.%d%c%d:%d", &t.tm_year, &t.tm_mon,
                    &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec, &ms, &sign, &hours,
                    &minutes) != 10) {
        return -1;
    }
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    const int offset = (sign == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
    return static_cast<double>(::timegm(&t) - offset) + ms / 1000.0;
}

double Seconds(const timeval& t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// mosquitto on 127.0.0.1 at a free port, for one run.
class Broker {
public:
    explicit Broker(const std::string& dir)
    {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
            Fail("no free port");
        }
        ::close(s);
        port = ntohs(a.sin_port);
        const std::string conf = dir + "/mosquitto.conf";
        // As root it would become the mosquitto user, who may not read here.
        std::ofstream(conf) << "user root\nlistener " << port
                            << " 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n";
        pid = Spawn({VELMOR_MOSQUITTO, "-c", conf}, -1, dir);
        for (int i = 0; i < 500 && !Accepts(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!Accepts()) {
            Fail("mosquitto did not start");
        }
    }
    ~Broker()
    {
        if (pid > 0) {
            Stop();
        }
    }
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // Its CPU seconds.
    double Stop()
    {
        ::kill(pid, SIGTERM);
        rusage usage{};
        ::wait4(pid, nullptr, 0, &usage);
        pid = -1;
        return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    }
    int Port() const { return port; }

private:
    bool Accepts() const
    {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(s);
        return ok;
    }

    int port = 0;
    pid_t pid = -1;
};

// Every reading's arrival.
class Subscriber : public mqtttest::Subscriber {
public:
    explicit Subscriber(int port)
        : mqtttest::Subscriber({port, "bench/+/reading", {}, {}, {}, {}}, std::chrono::seconds(5))
    {
        if (!Subscribed()) {
            Fail("the subscriber is not subscribed");
        }
    }

    // Waits until `count` came, or a second passed without one.
    mqtttest::Messages Until(std::size_t count)
    {
        for (std::size_t seen = 0; Count() < count;) {
            seen = Count();
            if (!WaitFor([&](const mqtttest::Messages& m) { return m.size() > seen; },
                         std::chrono::seconds(1))) {
                break;
            }
        }
        return Got();
    }
};

void PublishingRound(const std::string& log, const std::string& sim,
                     const std::vector<std::string>& simArgs, int readings)
{
    constexpr int Meters = 16;
    std::printf("\n%d meters at --interval 0, publishing to mosquitto on 127.0.0.1\n", Meters);
    LogRun plain;
    {
        Simulators sims(sim, simArgs, Meters);
        plain = RunLogger(log, sims, readings);
    }
    Simulators sims(sim, simArgs, Meters);
    Broker broker(sims.dir);
    Subscriber subscriber(broker.Port());
    const LogRun published = RunLogger(
        log, sims, readings,
        {"--mqtt", "mqtt://127.0.0.1:" + std::to_string(broker.Port()), "--mqtt-topic", "bench"});
    const auto arrivals = subscriber.Until(published.all);
    const double brokerCpu = broker.Stop();

    std::vector<double> delays;
    double first = 1e300;
    double last = 0;
    for (const auto& a : arrivals) {
        const double at = std::chrono::duration<double>(a.time.time_since_epoch()).count();
        first = std::min(first, at);
        last = std::max(last, at);
        if (const double taken = PayloadTime(a.payload); taken > 0) {
            delays.push_back((at - taken) * 1000);
        }
    }
    const double arrivalRate =
        last > first ? static_cast<double>(arrivals.size() - 1) / (last - first) : 0;
    std::printf("%-28s %12s %12s\n", "", "without", "with --mqtt");
    std::printf("%-28s %12.1f %12.1f\n", "readings/s taken, all meters", plain.rate * Meters,
                published.rate * Meters);
    std::printf("%-28s %12s %12.1f   %zu of %zu readings (%.1f%%; goal: every one)\n",
                "readings/s published", "-", arrivalRate, arrivals.size(), published.all,
                published.all > 0 ? 100.0 * static_cast<double>(arrivals.size()) /
                                        static_cast<double>(published.all)
                                  : 0.0);
    std::printf("%-28s %12.3f %12.3f   %+.1f%% (goal: at most +30%%)\n", "CPU ms/reading",
                plain.cpuMs, published.cpuMs,
                plain.cpuMs > 0 ? 100 * (published.cpuMs - plain.cpuMs) / plain.cpuMs : 0.0);
    std::printf("%-28s %12s %12.3f   (the broker's own)\n", "broker CPU ms/reading", "-",
                published.all > 0 ? brokerCpu * 1000 / static_cast<double>(published.all) : 0.0);
    std::printf("%-28s %12s %12.1f\n", "delay to subscriber p50 ms", "-",
                bench::Percentile(delays, 0.50));
    std::printf("%-28s %12s %12.1f\n", "delay to subscriber p99 ms", "-",
                bench::Percentile(delays, 0.99));
}

bool SimulatorPaces(const std::string& program)
{
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) {
        Fail("pipe");
    }
    const pid_t pid = Spawn({program, "--help"}, p[1], fs::temp_directory_path().string());
    ::close(p[1]);
    std::string help;
    char buffer[4096];
    for (ssize_t n; (n = ::read(p[0], buffer, sizeof buffer)) > 0;) {
        help.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(p[0]);
    ::waitpid(pid, nullptr, 0);
    return help.find("--baud") != std::string::npos;
}

} // namespace

int main(int argc, char** argv)
{
    int readings = 1000;
    std::vector<std::string> simArgs;
    std::string log = VELMOR_LOG_BINARY;
    std::string sim = VELMOR_SIM_BINARY;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--readings") {
            readings = std::max(10, std::atoi(argv[i + 1]));
        } else if (option == "--sim-arg") {
            simArgs.emplace_back(argv[i + 1]);
        } else if (option == "--log") {
            log = argv[i + 1];
        } else if (option == "--sim") {
            sim = argv[i + 1];
        } else {
            Fail("unknown option " + option);
        }
    }
    const bool paced = SimulatorPaces(sim);
    if (paced) {
        simArgs.insert(simArgs.begin(), {"--baud", std::to_string(Baud)});
    }
    // What the paced replies allow, and what a real line carrying both ways would.
    const double pacedLimit = static_cast<double>(Baud) / (BitsPerByte * ReplyBytes);
    const double realLimit = static_cast<double>(Baud) / (BitsPerByte * (QueryBytes + ReplyBytes));

    std::printf("velmor-log --interval 0 against velmor-sim, %d readings per meter\n", readings);
    if (paced) {
        std::printf("velmor-sim paces its replies at %d baud: they allow %.1f exchanges/s\n"
                    "(the query crosses the pseudo-terminal at once; a real line carrying it\n"
                    "too allows %.1f)\n",
                    Baud, pacedLimit, realLimit);
    } else {
        std::printf("velmor-sim has no --baud here: a pseudo-terminal has no line time, so the\n"
                    "limit below is the simulator's turnaround alone, not a 9600 baud line\n");
    }
    if (simArgs.size() > (paced ? 2u : 0u)) {
        std::printf("velmor-sim arguments:");
        for (const auto& a : simArgs) {
            std::printf(" %s", a.c_str());
        }
        std::printf("\n");
    }
    std::printf("\n%-7s %14s %14s %10s %12s %16s\n", "meters", "limit/s", "velmor-log/s",
                "of limit", "paced line", "CPU ms/reading");
    for (const int meters : {1, 4}) {
        double limit = 1e9;
        {
            Simulators sims(sim, simArgs, meters);
            std::vector<std::thread> clients;
            std::vector<double> rates(static_cast<std::size_t>(meters));
            for (int i = 0; i < meters; ++i) {
                clients.emplace_back([&, i] {
                    rates[static_cast<std::size_t>(i)] =
                        RawRate(sims.paths[static_cast<std::size_t>(i)], readings);
                });
            }
            for (auto& c : clients) {
                c.join();
            }
            for (const double r : rates) {
                limit = std::min(limit, r);
            }
        }
        Simulators sims(sim, simArgs, meters);
        const LogRun run = RunLogger(log, sims, readings);
        char line[32] = "-";
        if (paced) {
            std::snprintf(line, sizeof line, "%.1f%%", 100 * run.rate / pacedLimit);
        }
        std::printf("%-7d %14.1f %14.1f %9.1f%% %12s %16.3f\n", meters, limit, run.rate,
                    100 * run.rate / limit, line, run.cpuMs);
        if (run.ok != run.all) {
            std::printf("        (%zu of %zu lines were errors)\n", run.all - run.ok, run.all);
        }
    }
    if (fs::exists(VELMOR_MOSQUITTO)) {
        PublishingRound(log, sim, simArgs, readings);
    } else {
        std::printf("\nmosquitto is not installed: no figures of publishing (make test "
                    "installs it)\n");
    }
    return 0;
}
