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
// Last, velmor-log's cost per reading at its usual cadence, from 1 to 128
// meters, out of /proc while it runs (docs/performance.md says how).
//
// Usage: log_bench [--readings N] [--seconds S] [--only rates|cost] [--sim-arg ARG]...
//                  [--log PATH] [--sim PATH]
//   defaults: 1000 readings per meter for the rates, 5 s measured per run of
//   the cost table, every table, the programs built beside it.
#include "MqttSubscriber.h"
#include "affinity.h"
#include "stats.h"

#include <mosquitto.h>

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <time.h>
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

std::string Fixed(double value, int decimals)
{
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "%.*f", decimals, value);
    return text.data();
}

// Standard error goes to errFile (created afresh), by default nowhere.
pid_t Spawn(std::vector<std::string> args, int out, const std::string& comDir,
            const std::string& errFile = "/dev/null")
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
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
        Fail("cannot start " + args[0]);
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// velmor-sim processes linked as COM1..COMn in a private map, for one round:
// perProcess meters in each (one thread each), so that many meters do not
// take as many processes.
class Simulators {
public:
    Simulators(const std::string& program, const std::vector<std::string>& extra, int count,
               int perProcess = 1)
    {
        std::string pattern = (fs::temp_directory_path() / "velmor-log-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            Fail("mkdtemp");
        }
        dir = pattern;
        for (int first = 1; first <= count; first += perProcess) {
            const int last = std::min(count, first + perProcess - 1);
            int p[2];
            if (::pipe2(p, O_CLOEXEC) != 0) {
                Fail("pipe");
            }
            std::vector<std::string> args = {program};
            for (int i = first; i <= last; ++i) {
                args.insert(args.end(), {"--com", std::to_string(i)});
            }
            args.insert(args.end(), extra.begin(), extra.end());
            pids.push_back(Spawn(args, p[1], dir));
            ::close(p[1]);
            // The simulator prints its terminals, one a line, once the links
            // are in place.
            for (int i = first; i <= last; ++i) {
                std::string path;
                char c = 0;
                pollfd w{p[0], POLLIN, 0};
                while (::poll(&w, 1, 5000) == 1 && ::read(p[0], &c, 1) == 1 && c != '\n') {
                    path += c;
                }
                if (path.empty()) {
                    Fail(program + " did not start");
                }
                paths.push_back(path);
            }
            ::close(p[0]);
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

// What /proc says of a running velmor-log at one moment.
struct ProcessSample {
    Clock::time_point at;
    double cpuSeconds = 0;  // the process's CPU clock: all threads, user and system
    long statTicks = 0;     // utime + stime of /proc/PID/stat, in clock ticks
    long long switches = 0; // voluntary and involuntary, summed over its threads
    std::size_t lines = 0;  // complete lines of its output, the header among them
    std::size_t descriptors = 0;
    std::size_t threads = 0;
};

std::size_t Entries(const fs::path& dir)
{
    std::error_code ec;
    std::size_t n = 0;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        ++n;
    }
    return n;
}

std::size_t LineCount(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::size_t n = 0;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        n += static_cast<std::size_t>(std::count(buffer, buffer + in.gcount(), '\n'));
    }
    return n;
}

// utime + stime: the 14th and 15th fields, counted after the name's ')'.
long StatTicks(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    long utime = 0;
    long stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::atol(field.c_str());
        } else if (i == 15) {
            stime = std::atol(field.c_str());
        }
    }
    return utime + stime;
}

long long ContextSwitches(pid_t pid)
{
    long long sum = 0;
    std::error_code ec;
    const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (fs::directory_iterator it(tasks, ec), end; !ec && it != end; it.increment(ec)) {
        std::ifstream status(it->path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("voluntary_ctxt_switches:") ||
                line.starts_with("nonvoluntary_ctxt_switches:")) {
                sum += std::atoll(line.c_str() + line.find(':') + 1);
            }
        }
    }
    return sum;
}

ProcessSample Sample(pid_t pid, clockid_t cpuClock, const fs::path& output)
{
    ProcessSample s;
    s.at = Clock::now();
    timespec t{};
    if (::clock_gettime(cpuClock, &t) == 0) {
        s.cpuSeconds = static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
    }
    s.statTicks = StatTicks(pid);
    s.switches = ContextSwitches(pid);
    s.lines = LineCount(output);
    const fs::path proc = "/proc/" + std::to_string(pid);
    s.descriptors = Entries(proc / "fd");
    s.threads = Entries(proc / "task");
    return s;
}

// One velmor-log run of the cost table: N meters at one interval.
struct CostRun {
    int meters = 0;
    int interval = 0;
    std::string failure;     // why there are no figures; empty when there are
    double startSeconds = 0; // until every meter had written a reading
    double seconds = 0;      // measured
    std::size_t readings = 0;
    std::size_t errors = 0; // lines whose status is not ok
    std::map<std::string, std::size_t> errorKinds;
    double cpuSeconds = 0;  // over the measured seconds, from the CPU clock
    double statSeconds = 0; // the same from /proc/PID/stat's ticks
    long long switches = 0;
    std::size_t descriptors = 0;
    std::size_t threads = 0;
    int onCadence = 0;     // meters that kept 95 % of the cadence or more
    double worstP99Ms = 0; // the worst meter's p99 gap between readings

    bool Ok() const { return failure.empty(); }
    double CpuUs() const { return readings > 0 ? cpuSeconds * 1e6 / double(readings) : 0; }
    double SwitchesPer() const
    {
        return readings > 0 ? static_cast<double>(switches) / double(readings) : 0;
    }
    double Rate() const { return seconds > 0 ? double(readings) / seconds : 0; }
    double CorePercent() const { return seconds > 0 ? 100 * cpuSeconds / seconds : 0; }
    // Readings a second each meter would take with replies taking no time.
    double Cadence() const { return interval > 0 ? 1000.0 / interval : 0; }
};

// Meters per velmor-sim process in the cost table.
constexpr int MetersPerSimulator = 32;
// What a meter's port may take at most (the goal) and what the process has
// besides, to judge beforehand whether the hard limit allows a run.
constexpr std::size_t DescriptorsPerMeterAtMost = 8;
constexpr std::size_t FixedDescriptors = 64;

// How long the meters have to write their first lines.
constexpr std::chrono::seconds StartLimit{30};

// The meters that have written a reading so far.
std::size_t PortsSeen(const fs::path& file)
{
    std::ifstream in(file);
    std::set<std::string> ports;
    for (std::string line; std::getline(in, line);) {
        // A reading, not an error line: a simulator's first look at who
        // holds its terminal may delay its first replies.
        if (LineTime(line) >= 0 && line.ends_with(",ok")) {
            const auto a = line.find(',');
            ports.insert(line.substr(a + 1, line.find(',', a + 1) - a - 1));
        }
    }
    return ports.size();
}

// The last line velmor-log wrote on standard error, to say why it ended.
std::string LastLine(const fs::path& file)
{
    std::ifstream in(file);
    std::string last;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            last = line;
        }
    }
    return last;
}

// The lines [from, to) of a run's output: readings, errors and each meter's
// gaps between consecutive readings.
void ReadWindow(const fs::path& file, std::size_t from, std::size_t to, CostRun& run)
{
    std::ifstream in(file);
    std::map<std::string, std::vector<double>> times; // port: reading times, s
    std::size_t index = 0;
    for (std::string line; index < to && std::getline(in, line); ++index) {
        if (index < from) {
            continue;
        }
        const double t = LineTime(line);
        if (t < 0) {
            continue;
        }
        const auto a = line.find(',');
        times[line.substr(a + 1, line.find(',', a + 1) - a - 1)].push_back(t);
        ++run.readings;
        if (!line.ends_with(",ok")) {
            ++run.errors;
            ++run.errorKinds[line.substr(line.rfind(',') + 1)];
        }
    }
    for (const auto& meter : times) {
        const std::vector<double>& t = meter.second;
        std::vector<double> gaps;
        for (std::size_t i = 1; i < t.size(); ++i) {
            gaps.push_back((t[i] - t[i - 1]) * 1000);
        }
        const double p99 = bench::Percentile(gaps, 0.99);
        run.worstP99Ms = std::max(run.worstP99Ms, p99);
        const double span = t.size() > 1 ? t.back() - t.front() : 0;
        const double rate = span > 0 ? static_cast<double>(t.size() - 1) / span : 0;
        run.onCadence += rate >= 0.95 * run.Cadence() ? 1 : 0;
    }
}

struct CostSetup {
    std::string log;
    std::string sim;
    std::vector<std::string> simArgs; // the user's, for every run
    int seconds = 5;
};

// velmor-log --com 1 ... --com N --interval IV --quiet --output FILE against
// simulators on ptys. Once every meter has written a reading, 1 s of warm-up;
// then what /proc says of it S seconds apart, and the lines it wrote
// meanwhile.
CostRun MeasureCost(const CostSetup& setup, int meters, int interval,
                    const std::vector<std::string>& simExtra = {})
{
    CostRun run;
    run.meters = meters;
    run.interval = interval;
    rlimit limit{RLIM_INFINITY, RLIM_INFINITY};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_max != RLIM_INFINITY &&
        limit.rlim_max < FixedDescriptors + DescriptorsPerMeterAtMost * std::size_t(meters)) {
        run.failure = "not run: the hard limit of descriptors (" + std::to_string(limit.rlim_max) +
                      ") is too low for " + std::to_string(meters) + " meters";
        return run;
    }
    std::vector<std::string> simArgs = setup.simArgs;
    simArgs.insert(simArgs.end(), simExtra.begin(), simExtra.end());
    Simulators sims(setup.sim, simArgs, meters, MetersPerSimulator);
    const fs::path output = fs::path(sims.dir) / "cost.csv";
    const fs::path errors = fs::path(sims.dir) / "cost.err";
    std::vector<std::string> args = {setup.log};
    for (int i = 1; i <= meters; ++i) {
        args.insert(args.end(), {"--com", std::to_string(i)});
    }
    args.insert(args.end(),
                {"--interval", std::to_string(interval), "--quiet", "--output", output.string()});
    const auto start = Clock::now();
    // Ended with SIGTERM on every way out, unless it ended by itself.
    struct Logger {
        pid_t pid;
        ~Logger()
        {
            if (pid > 0) {
                ::kill(pid, SIGTERM);
                ::waitpid(pid, nullptr, 0);
            }
        }
    } logger{Spawn(args, -1, sims.dir, errors.string())};
    const pid_t pid = logger.pid;
    clockid_t cpuClock{};
    if (::clock_getcpuclockid(pid, &cpuClock) != 0) {
        Fail("no CPU clock of velmor-log");
    }
    const auto ended = [&] {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) != pid) {
            return false;
        }
        logger.pid = -1;
        const std::string why = LastLine(errors);
        run.failure = "velmor-log ended early (" +
                      (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                         : std::string("killed")) +
                      ")" + (why.empty() ? "" : ": " + why);
        if (limit.rlim_max != RLIM_INFINITY) {
            run.failure +=
                " (the hard limit of descriptors is " + std::to_string(limit.rlim_max) + ")";
        }
        return true;
    };
    // Opening many ports takes a while: the warm-up begins once every meter
    // has written a reading. Looked at every 100 ms, which costs the run
    // nothing that matters.
    for (std::size_t seen = 0; seen < std::size_t(meters);) {
        if (ended()) {
            return run;
        }
        if (Clock::now() - start > StartLimit) {
            run.failure = "only " + std::to_string(seen) + " of " + std::to_string(meters) +
                          " meters wrote a reading within " + std::to_string(StartLimit.count()) +
                          " s";
            return run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        seen = PortsSeen(output);
    }
    run.startSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (ended()) {
        return run;
    }
    const ProcessSample a = Sample(pid, cpuClock, output);
    std::this_thread::sleep_until(a.at + std::chrono::seconds(setup.seconds));
    const ProcessSample b = Sample(pid, cpuClock, output);
    if (ended()) {
        return run;
    }

    run.seconds = std::chrono::duration<double>(b.at - a.at).count();
    run.cpuSeconds = b.cpuSeconds - a.cpuSeconds;
    run.statSeconds = static_cast<double>(b.statTicks - a.statTicks) /
                      static_cast<double>(::sysconf(_SC_CLK_TCK));
    run.switches = b.switches - a.switches;
    run.descriptors = b.descriptors;
    run.threads = b.threads;
    ReadWindow(output, a.lines, b.lines, run);
    if (run.readings == 0) {
        run.failure = "no readings in " + Fixed(run.seconds, 1) + " s";
    }
    return run;
}

void CostLine(const std::string& figure, const std::string& value, const std::string& goal,
              const std::string& met)
{
    std::array<char, 512> line{};
    std::snprintf(line.data(), line.size(), "%-64s %-18s %-27s %s", figure.c_str(), value.c_str(),
                  goal.c_str(), met.c_str());
    std::string text = line.data();
    text.erase(text.find_last_not_of(' ') + 1);
    std::printf("%s\n", text.c_str());
}

// "met" or "NOT MET" and the readings behind it; a run without figures says why.
std::string Verdict(const CostRun& run, bool met)
{
    if (!run.Ok()) {
        return run.failure;
    }
    return std::string(met ? "met" : "NOT MET") + " (" + std::to_string(run.readings) +
           " readings)";
}

std::string Us(const CostRun& run, double us)
{
    return run.Ok() ? Fixed(us, 0) + " us" : "-";
}

void PrintErrors(const CostRun& run)
{
    if (!run.Ok() || run.errors == 0) {
        return;
    }
    std::string kinds;
    for (const auto& [kind, count] : run.errorKinds) {
        kinds += (kinds.empty() ? "" : ", ") + kind + " " + std::to_string(count);
    }
    std::printf("    (%d meter%s, --interval %d: %zu of %zu lines were errors: %s)\n", run.meters,
                run.meters == 1 ? "" : "s", run.interval, run.errors, run.readings, kinds.c_str());
}

CostRun MeasureCostSaying(const CostSetup& setup, int meters, int interval,
                          const std::vector<std::string>& simExtra = {})
{
    std::fflush(stdout); // the tables before, in their place among these lines
    std::fprintf(stderr, "log_bench: %d meter%s, --interval %d%s...\n", meters,
                 meters == 1 ? "" : "s", interval, simExtra.empty() ? "" : ", paced replies");
    return MeasureCost(setup, meters, interval, simExtra);
}

void CostTable(const CostSetup& setup, bool paced)
{
    double load[3] = {0, 0, 0};
    ::getloadavg(load, 3);
    std::printf("\nvelmor-log: cost per reading\n"
                "velmor-sim on pseudo-terminals, up to %d meters a process; velmor-log --com 1\n"
                "... --com N --interval IV --quiet --output FILE. Once every meter has written\n"
                "a reading, 1 s of warm-up, then %d s measured.\n"
                "Load average at the start: %.2f %.2f %.2f (the figures mean most on a quiet\n"
                "machine)\n\n",
                MetersPerSimulator, setup.seconds, load[0], load[1], load[2]);

    const CostRun one = MeasureCostSaying(setup, 1, 100);
    CostRun noBaud;
    noBaud.failure = "not run: this velmor-sim has no --baud";
    const CostRun slowLine =
        paced ? MeasureCostSaying(setup, 1, 100, {"--baud", std::to_string(Baud)}) : noBaud;
    const CostRun busy = MeasureCostSaying(setup, 1, 0);
    // The first row again with no wake crossing processors (a diagnosis).
    const CostRun oneProcessor = [&] {
        const bench::OneProcessor pin;
        std::fprintf(stderr, "log_bench: the same on one processor...\n");
        CostRun run;
        run.failure = "not run: the system would not pin it";
        return pin.Pinned() ? MeasureCost(setup, 1, 100) : run;
    }();
    const CostRun thirtyTwo = MeasureCostSaying(setup, 32, 100);
    std::vector<CostRun> scale = {one};
    for (const int meters : {16, 64, 128}) {
        scale.push_back(MeasureCostSaying(setup, meters, 100));
    }
    const CostRun& sixteen = scale[1];
    const CostRun& sixtyFour = scale[2];
    const CostRun& all = scale[3];

    CostLine("figure", "velmor-log", "goal", "");
    CostLine("1 meter, --interval 100 (10 readings/s): CPU per reading", Us(one, one.CpuUs()),
             "<= 150 us", Verdict(one, one.CpuUs() <= 150));
    CostLine("  the same: context switches per reading (all threads)",
             one.Ok() ? Fixed(one.SwitchesPer(), 1) : "-", "<= 4",
             Verdict(one, one.SwitchesPer() <= 4));
    CostLine("  the same, all on one processor: CPU / switches",
             oneProcessor.Ok()
                 ? Fixed(oneProcessor.CpuUs(), 0) + " us / " + Fixed(oneProcessor.SwitchesPer(), 1)
                 : "-",
             "", oneProcessor.Ok() ? "no wake crosses to an idle processor" : oneProcessor.failure);
    CostLine("1 meter, velmor-sim --baud 9600, --interval 100: CPU / switches",
             slowLine.Ok()
                 ? Fixed(slowLine.CpuUs(), 0) + " us / " + Fixed(slowLine.SwitchesPer(), 1)
                 : "-",
             "<= 300 us / <= 8",
             Verdict(slowLine, slowLine.CpuUs() <= 300 && slowLine.SwitchesPer() <= 8));
    CostLine("1 meter, --interval 0: CPU per reading", Us(busy, busy.CpuUs()), "<= 45 us",
             Verdict(busy, busy.CpuUs() <= 45));
    CostLine("32 meters, --interval 100: CPU per reading", Us(thirtyTwo, thirtyTwo.CpuUs()),
             "<= 80 us", Verdict(thirtyTwo, thirtyTwo.CpuUs() <= 80));
    const auto perMeter = [](std::size_t total, int meters) {
        return static_cast<double>(total) / meters;
    };
    CostLine("64 meters: descriptors / threads, the whole process",
             sixtyFour.Ok()
                 ? std::to_string(sixtyFour.descriptors) + " / " + std::to_string(sixtyFour.threads)
                 : "-",
             "", sixtyFour.Ok() ? "" : sixtyFour.failure);
    CostLine("  per meter: the whole process / 64, nothing subtracted",
             sixtyFour.Ok() ? Fixed(perMeter(sixtyFour.descriptors, 64), 2) + " / " +
                                  Fixed(perMeter(sixtyFour.threads, 64), 2)
                            : "-",
             "<= 8 descriptors per meter",
             Verdict(sixtyFour, perMeter(sixtyFour.descriptors, 64) <= 8));
    if (sixtyFour.Ok() && one.Ok()) {
        // What each meter adds: the 1-meter process's fixed ones subtracted.
        const auto added = [&](std::size_t many, std::size_t single) {
            return (static_cast<double>(many) - static_cast<double>(single)) / 63;
        };
        CostLine("  per meter beyond the first: (64 meters - 1 meter) / 63",
                 Fixed(added(sixtyFour.descriptors, one.descriptors), 2) + " / " +
                     Fixed(added(sixtyFour.threads, one.threads), 2),
                 "", "");
    }
    for (const CostRun* run : {&one, &oneProcessor, &slowLine, &busy, &thirtyTwo}) {
        PrintErrors(*run);
    }

    std::printf("\nmeters at --interval 100 (10 readings/s each, less each reply's time)\n");
    std::printf("%6s %7s %20s %11s %8s %9s %14s %13s %7s %7s\n", "meters", "start", "readings/s",
                "on cadence", "CPU us/", "switches/", "descriptors", "threads", "worst", "% of");
    std::printf("%6s %7s %20s %11s %8s %9s %14s %13s %7s %7s\n", "", "s", "(cadence)", "",
                "reading", "reading", "(per meter)", "(per meter)", "p99 ms", "a core");
    for (const CostRun& run : scale) {
        if (!run.Ok()) {
            std::printf("%6d  %s\n", run.meters, run.failure.c_str());
            continue;
        }
        const std::string rate =
            Fixed(run.Rate(), 1) + " (" + Fixed(run.Cadence() * run.meters, 0) + ")";
        const std::string cadence =
            std::to_string(run.onCadence) + " of " + std::to_string(run.meters);
        const std::string fds = std::to_string(run.descriptors) + " (" +
                                Fixed(perMeter(run.descriptors, run.meters), 1) + ")";
        const std::string threads =
            std::to_string(run.threads) + " (" + Fixed(perMeter(run.threads, run.meters), 1) + ")";
        std::printf("%6d %7.1f %20s %11s %8.0f %9.1f %14s %13s %7.1f %7.1f\n", run.meters,
                    run.startSeconds, rate.c_str(), cadence.c_str(), run.CpuUs(), run.SwitchesPer(),
                    fds.c_str(), threads.c_str(), run.worstP99Ms, run.CorePercent());
    }
    for (const CostRun& run : scale) {
        PrintErrors(run);
    }
    std::printf("\n");
    CostLine("128 meters at 10 readings/s: meters on cadence / % of one core",
             all.Ok() ? std::to_string(all.onCadence) + " of 128 / " + Fixed(all.CorePercent(), 1)
                      : "-",
             "every one / <= 25 %",
             Verdict(all, all.onCadence == all.meters && all.CorePercent() <= 25));
    std::printf("On cadence: a meter's readings/s from its time column at least 95 %% of 10/s.\n"
                "Worst p99: the largest, over the meters, of the p99 of one meter's gaps\n"
                "between consecutive readings (the time column has milliseconds).\n");

    // The CPU clock and /proc/PID/stat's utime + stime are the same account;
    // the ticks are too coarse for one meter over a few seconds.
    double clock = 0;
    double stat = 0;
    for (const CostRun* run : {&one, &slowLine, &busy, &thirtyTwo, &sixteen, &sixtyFour, &all}) {
        clock += run->Ok() ? run->cpuSeconds : 0;
        stat += run->Ok() ? run->statSeconds : 0;
    }
    std::printf("CPU: the process's CPU clock (clock_getcpuclockid), all threads: %.3f s over\n"
                "all the runs, where utime + stime of /proc/PID/stat say %.2f s (%ld ticks a s).\n",
                clock, stat, ::sysconf(_SC_CLK_TCK));
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

// The rate against the line's, then the publishing round. The simulators
// pace their replies at 9600 baud here when they can.
void RateTables(const std::string& log, const std::string& sim, std::vector<std::string> simArgs,
                int readings, bool paced)
{
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
}

int main(int argc, char** argv)
{
    int readings = 1000;
    int seconds = 5;
    std::string only;
    std::vector<std::string> simArgs;
    std::string log = VELMOR_LOG_BINARY;
    std::string sim = VELMOR_SIM_BINARY;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--readings") {
            readings = std::max(10, std::atoi(argv[i + 1]));
        } else if (option == "--seconds") {
            seconds = std::max(1, std::atoi(argv[i + 1]));
        } else if (option == "--only" && (std::strcmp(argv[i + 1], "rates") == 0 ||
                                          std::strcmp(argv[i + 1], "cost") == 0)) {
            only = argv[i + 1];
        } else if (option == "--sim-arg") {
            simArgs.emplace_back(argv[i + 1]);
        } else if (option == "--log") {
            log = argv[i + 1];
        } else if (option == "--sim") {
            sim = argv[i + 1];
        } else {
            Fail("unknown option " + option + " " + argv[i + 1]);
        }
    }
    const bool paced = SimulatorPaces(sim);
    if (only != "cost") {
        RateTables(log, sim, simArgs, readings, paced);
    }
    if (only != "rates") {
        CostTable({log, sim, simArgs, seconds}, paced);
    }
    return 0;
}
