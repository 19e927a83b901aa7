// One table of figures measured side by side in one run: our port component
// (TSerComPort, OnTrigger then GetBlock on the Qt main thread) beside Qt's
// QSerialPort (readyRead then readAll on the main thread) and a plain
// poll+read loop, all on the same pseudo-terminal with the same data in
// alternating rounds; then the velmor program itself against the simulated
// meter: its polling cycle, its start-up to a painted window and its memory;
// then once more with the trend window open over a full ring of readings: its
// repaints, the CPU while it follows, the memory the day takes and the cycle.
// The program runs as velmor-driven, velmor's own start-up in a process that
// presses "Чтение показаний" once the window is painted: the start-up figure
// is from the spawn to that paint, all that an operator waits for.
//
// Usage: velmor_bench [--rounds N] [--idle-seconds N] [--cycles N] [--driven PATH]
//                    [--uart DEVICE]   (also the idle wake-ups on a real UART of yours)
//   defaults: 3 rounds, 10 s of idle per port, 1000 cycles, the velmor-driven built beside it.
#include "FakeUart.h"
#include "affinity.h"
#include "eventloop.h"
#include "instrument-sim/comlink.h"
#include "instrument-sim/simulator.h"
#include "pty.h"
#include "serial/SerDisp.h"
#include "serial/SerPort.h"
#include "stats.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>
#ifdef VELMOR_BENCH_QSERIALPORT
#include <QSerialPort>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using bench::Percentile;
using bench::Pty;
using Clock = std::chrono::steady_clock;

constexpr int LatencySamples = 500; // per peer and round
constexpr int WarmUp = 20;
constexpr std::size_t MessageBytes = 10; // one measurement reply
constexpr std::size_t ThroughputBytes = 8u << 20;
constexpr double MB = 1e6;

// --- Process CPU --------------------------------------------------------

double Seconds(const timeval& t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double CpuSeconds(int who)
{
    rusage u{};
    ::getrusage(who, &u);
    return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

// --- Where the peers put what they read ------------------------------------

// Counts the bytes the application code holds and notes when the awaited
// number was reached. Add runs on the reading thread, the rest on the writer.
class Sink {
public:
    void Arm(std::size_t bytes)
    {
        std::lock_guard lock(m);
        got = 0;
        deliveries = 0;
        want = bytes;
        reached = false;
    }
    void Add(std::size_t n)
    {
        const auto now = Clock::now();
        std::lock_guard lock(m);
        got += n;
        ++deliveries;
        if (!reached && want > 0 && got >= want) {
            reached = true;
            at = now;
            cv.notify_all();
        }
    }
    // The moment the armed count was reached, or nothing after the time-out.
    std::optional<Clock::time_point> Wait(std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, timeout, [this] { return reached; })) {
            return std::nullopt;
        }
        return at;
    }
    std::size_t Got()
    {
        std::lock_guard lock(m);
        return got;
    }
    std::size_t Deliveries()
    {
        std::lock_guard lock(m);
        return deliveries;
    }

private:
    std::mutex m;
    std::condition_variable cv;
    std::size_t got = 0;
    std::size_t deliveries = 0;
    std::size_t want = 0;
    bool reached = false;
    Clock::time_point at;
};

// --- The peers ----------------------------------------------------------

// An open port that hands every byte it receives to the sink. Created and
// destroyed on the main thread, whose event loop runs while it is measured.
class Peer {
public:
    virtual ~Peer() = default;
};

enum PeerKind { PeerOurs, PeerQt, PeerPlain, PeerCount };

class OurPeer : public Peer {
public:
    explicit OurPeer(Sink& sink, std::uint16_t com = 7)
    {
        buffer.resize(65536);
        port.SetComNumber(com);
        port.SetBaud(9600);
        port.SetOnTrigger(
            [this, &sink](TSerCustomComPort* cp, std::uint16_t msg, std::uint16_t, std::uint16_t) {
                if (msg != TriggerAvailMsg) {
                    return;
                }
                const std::uint16_t n = cp->InputWaiting();
                if (n > 0) {
                    cp->GetBlock(buffer.data(), n);
                    sink.Add(n);
                }
            });
        port.SetOpen(true);
    }
    ~OurPeer() override { port.SetOpen(false); }

private:
    std::vector<std::uint8_t> buffer;
    TSerComPort port;
};

#ifdef VELMOR_BENCH_QSERIALPORT
class QtPeer : public Peer {
public:
    QtPeer(const std::string& path, Sink& sink)
    {
        port.setPortName(QString::fromStdString(path));
        port.setBaudRate(9600);
        QObject::connect(&port, &QSerialPort::readyRead, [this, &sink] {
            const QByteArray bytes = port.readAll();
            sink.Add(static_cast<std::size_t>(bytes.size()));
        });
        if (!port.open(QIODevice::ReadWrite)) {
            std::fprintf(stderr, "QSerialPort: %s\n", qPrintable(port.errorString()));
            std::exit(1);
        }
    }
    ~QtPeer() override { port.close(); }

private:
    QSerialPort port;
};
#endif

// poll and read on a thread of its own; an eventfd ends the wait.
class PlainPeer : public Peer {
public:
    PlainPeer(const std::string& path, Sink& sink)
    {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        stop = ::eventfd(0, EFD_CLOEXEC);
        if (fd < 0 || stop < 0) {
            std::perror("plain open");
            std::exit(1);
        }
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
        reader = std::thread([this, &sink] {
            std::vector<char> buffer(65536);
            for (;;) {
                std::array<pollfd, 2> p{{{fd, POLLIN, 0}, {stop, POLLIN, 0}}};
                if (::poll(p.data(), p.size(), -1) < 0 && errno != EINTR) {
                    return;
                }
                if (p[1].revents != 0) {
                    return;
                }
                const ssize_t n = ::read(fd, buffer.data(), buffer.size());
                if (n > 0) {
                    sink.Add(static_cast<std::size_t>(n));
                }
            }
        });
    }
    ~PlainPeer() override
    {
        const std::uint64_t one = 1;
        if (::write(stop, &one, sizeof one) != sizeof one) {
            std::perror("eventfd");
        }
        reader.join();
        ::close(stop);
        ::close(fd);
    }

private:
    int fd = -1;
    int stop = -1;
    std::thread reader;
};

bool HaveQt()
{
#ifdef VELMOR_BENCH_QSERIALPORT
    return true;
#else
    return false;
#endif
}

std::unique_ptr<Peer> OpenPeer(PeerKind kind, const Pty& pty, Sink& sink)
{
    pty.Flush();
    switch (kind) {
    case PeerOurs:
        return std::make_unique<OurPeer>(sink);
#ifdef VELMOR_BENCH_QSERIALPORT
    case PeerQt:
        return std::make_unique<QtPeer>(pty.slave, sink);
#endif
    case PeerPlain:
        return std::make_unique<PlainPeer>(pty.slave, sink);
    default:
        return nullptr;
    }
}

// --- The receive figures ------------------------------------------------

struct PeerFigures {
    std::vector<double> latencyUs;
    std::vector<double> mbPerSecond;  // one per round
    std::vector<double> cpuMsPerMb;   // one per round
    std::vector<double> bytesPerRead; // one per round: what one notification hands over
    std::optional<double> idlePercent;
    std::optional<double> idleWakeups;
    std::optional<double> uartWakeups;     // the injected UART with modem lines
    std::optional<double> realUartWakeups; // --uart
    int lost = 0;                          // latency samples that never arrived
};

// From the write of a reply-sized message to the master until the
// application code holds all of it, one message at a time with a pause
// between, so that every sample starts from a sleeping reader.
void Latency(PeerKind kind, const Pty& pty, PeerFigures& out)
{
    Sink sink;
    auto peer = OpenPeer(kind, pty, sink);
    const std::string message(MessageBytes, 'L');
    bench::RunWhile([&] {
        for (int i = 0; i < LatencySamples + WarmUp; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            sink.Arm(MessageBytes);
            const auto t0 = Clock::now();
            pty.WriteAll(message.data(), message.size());
            const auto at = sink.Wait(std::chrono::milliseconds(2000));
            if (!at) {
                ++out.lost;
            } else if (i >= WarmUp) {
                out.latencyUs.push_back(bench::Micros(*at - t0));
            }
        }
    });
}

// A steady stream written as fast as the pty takes it; the process's CPU
// time less the writer's own is what receiving cost.
void Throughput(PeerKind kind, const Pty& pty, PeerFigures& out)
{
    Sink sink;
    auto peer = OpenPeer(kind, pty, sink);
    double seconds = 0;
    double cpu = 0;
    bench::RunWhile([&] {
        const std::string block(4096, 'T');
        sink.Arm(ThroughputBytes);
        const double process0 = CpuSeconds(RUSAGE_SELF);
        const double writer0 = CpuSeconds(RUSAGE_THREAD);
        const auto t0 = Clock::now();
        for (std::size_t sent = 0; sent < ThroughputBytes; sent += block.size()) {
            pty.WriteAll(block.data(), block.size());
        }
        const auto at = sink.Wait(std::chrono::milliseconds(60000));
        const double writer = CpuSeconds(RUSAGE_THREAD) - writer0;
        cpu = CpuSeconds(RUSAGE_SELF) - process0 - writer;
        seconds = std::chrono::duration<double>(at.value_or(Clock::now()) - t0).count();
    });
    const double mb = static_cast<double>(sink.Got()) / MB;
    out.mbPerSecond.push_back(mb / seconds);
    out.cpuMsPerMb.push_back(1000.0 * cpu / mb);
    out.bytesPerRead.push_back(static_cast<double>(sink.Got()) /
                               static_cast<double>(std::max<std::size_t>(1, sink.Deliveries())));
}

// Voluntary context switches of all this process's threads: each one is a
// wake-up after a sleep.
long long VoluntarySwitches()
{
    long long total = 0;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                total += std::atoll(line.c_str() + line.find(':') + 1);
            }
        }
    }
    return total;
}

struct IdleFigures {
    double cpuPercent = 0;
    double wakeupsPerSecond = 0;
};

// An open port with nothing arriving: the process's CPU over the wall time,
// and how often its threads wake.
IdleFigures Idle(const std::function<std::unique_ptr<Peer>(Sink&)>& open, int seconds)
{
    Sink sink;
    auto peer = open(sink);
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    const long long switches0 = VoluntarySwitches();
    const auto t0 = Clock::now();
    loop.exec();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const long long switches = VoluntarySwitches() - switches0;
    return {100.0 * (CpuSeconds(RUSAGE_SELF) - cpu0) / wall, static_cast<double>(switches) / wall};
}

IdleFigures Idle(PeerKind kind, const Pty& pty, int seconds)
{
    return Idle([&](Sink& sink) { return OpenPeer(kind, pty, sink); }, seconds);
}

// --- The program against the simulated meter ------------------------------

struct ProgramFigures {
    std::vector<double> startupMs;
    std::vector<double> periodsMs;
    // From the simulator's reply to the next request, less the interval.
    std::vector<double> overheadMs;
    // A bare 100 ms precise QTimer in this process at the same time: how
    // late the platform alone makes a tick.
    std::vector<double> timerLateMs;
    double rssShownMiB = 0;
    double rssCyclesMiB = 0;
    // The process's CPU over the cycles, in per cent of one core, and the
    // readings per second it took.
    double cpuPercent = 0;
    double readingsPerSecond = 0;
    // From the simulator taking a request to its reply going out, median.
    double turnaroundMs = 0;
    int cycles = 0;
    std::string failure;
};

// What velmor-driven --trend reports: per span, the repaint's p50, p99 and
// max (ms) and the plot's pixel columns; the readings held.
struct TrendFigures {
    struct Span {
        std::string name;
        double p50 = 0;
        double p99 = 0;
        double max = 0;
        int columns = 0;
    };
    std::vector<Span> repaints;
    std::size_t held = 0;
};

double CpuSecondsOf(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    // Fields after the command's closing parenthesis: utime is the 12th,
    // stime the 13th.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 13 && rest >> field; ++i) {
        if (i >= 12) {
            ticks += std::strtod(field.c_str(), nullptr);
        }
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double RssMiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
        }
    }
    return 0;
}

// velmor-driven in a child process, offscreen, reporting its first painted
// window on standard error, which a thread of ours reads.
class Velmor {
public:
    Velmor(const std::string& path, const std::filesystem::path& comDir,
           std::vector<std::string> args = {})
    {
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen",
                                        "VELMOR_COM_DIR=" + comDir.string()};
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.rfind("VELMOR_", 0) != 0 && entry.rfind("QT_QPA_PLATFORM=", 0) != 0) {
                env.push_back(entry);
            }
        }
        std::vector<char*> envp;
        for (std::string& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        args.insert(args.begin(), path);
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        started = Clock::now();
        const int rc =
            ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        if (rc != 0) {
            ::close(pipeFds[0]);
            throw std::runtime_error("cannot start " + path + ": " + std::strerror(rc));
        }
        reader = std::thread([this, fd = pipeFds[0]] { Read(fd); });
    }
    ~Velmor()
    {
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
        reader.join();
    }
    Velmor(const Velmor&) = delete;
    Velmor& operator=(const Velmor&) = delete;

    // Milliseconds from the spawn to the painted window, or nothing.
    std::optional<double> WaitShown(std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, timeout, [this] { return shown.has_value() || ended; }) || !shown) {
            return std::nullopt;
        }
        return std::chrono::duration<double, std::milli>(*shown - started).count();
    }
    pid_t Pid() const { return pid; }

    // Waits for a line of the trend window's figures that starts with last;
    // all of them so far.
    std::vector<std::string> WaitLines(const std::string& last, std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(m);
        cv.wait_for(lock, timeout, [&] {
            return ended || std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
                       return line.rfind(last, 0) == 0;
                   });
        });
        return lines;
    }

private:
    void Read(int fd)
    {
        std::string pending;
        std::array<char, 4096> chunk{};
        for (;;) {
            const ssize_t n = ::read(fd, chunk.data(), chunk.size());
            if (n <= 0) {
                break;
            }
            pending.append(chunk.data(), static_cast<std::size_t>(n));
            for (auto eol = pending.find('\n'); eol != std::string::npos;
                 eol = pending.find('\n')) {
                const std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 1);
                std::lock_guard lock(m);
                if (line.rfind("velmor-shown ", 0) == 0) {
                    const auto ns = std::strtoll(line.c_str() + 13, nullptr, 10);
                    shown = Clock::time_point(std::chrono::nanoseconds(ns));
                } else if (line.rfind("trend-", 0) == 0) {
                    lines.push_back(line);
                }
                cv.notify_all();
            }
        }
        ::close(fd);
        std::lock_guard lock(m);
        ended = true;
        cv.notify_all();
    }

    pid_t pid = -1;
    Clock::time_point started;
    std::thread reader;
    std::mutex m;
    std::condition_variable cv;
    std::optional<Clock::time_point> shown;
    std::vector<std::string> lines; // the trend window's figures
    bool ended = false;
};

// Measurement request to measurement request, and the part of each period
// beyond the interval from the end of the simulator's reply; the first few periods
// settle the window.
void AnalyseCycles(const std::vector<sim::RequestRecord>& requests,
                   const std::vector<sim::SentRecord>& sent, std::size_t from, ProgramFigures& out)
{
    using Ms = std::chrono::duration<double, std::milli>;
    // The reply's ten bytes arrive this long after they start out.
    const double replyLineMs = 10 * 10 * 1000.0 / 9600.0;
    const sim::RequestRecord* previous = nullptr;
    std::size_t reply = 0;
    int seen = 0;
    std::vector<double> turnaround;
    for (std::size_t i = from; i < requests.size(); ++i) {
        const sim::RequestRecord& request = requests[i];
        if (request.bytes.empty() || request.bytes[0] != 0x41) {
            previous = nullptr;
            continue;
        }
        while (reply + 1 < sent.size() && sent[reply + 1].time < request.time) {
            ++reply;
        }
        if (previous != nullptr && ++seen > 5) {
            out.periodsMs.push_back(Ms(request.time - previous->time).count());
            if (reply < sent.size() && sent[reply].time > previous->time) {
                // From the reply's last byte as the simulator wrote it,
                // not from when it was due: the simulator's own lateness
                // is none of velmor's.
                const sim::SentRecord& r = sent[reply];
                const double sinceEnd = r.end != Clock::time_point{}
                                            ? Ms(request.time - r.end).count()
                                            : Ms(request.time - r.time).count() - replyLineMs;
                out.overheadMs.push_back(sinceEnd - 100.0);
                turnaround.push_back(Ms(sent[reply].time - previous->time).count());
            }
        }
        previous = &request;
    }
    out.turnaroundMs = turnaround.empty() ? 0 : Percentile(turnaround, 0.5);
}

// Runs a precise 100 ms timer on the main thread's event loop again and
// again until done() holds or the deadline passes; returns how late each
// tick came. done() is asked at the ticks, so that no thread of this process
// is woken by the meter's records at the very moments the cycle is measured.
std::vector<double> TimerLateness(const std::function<bool()>& done, Clock::time_point deadline,
                                  bool& finished)
{
    std::vector<double> late;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(100);
    auto armed = Clock::now();
    finished = false;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        late.push_back(std::chrono::duration<double, std::milli>(now - armed).count() - 100.0);
        finished = done();
        if (finished || now >= deadline) {
            loop.quit();
            return;
        }
        armed = Clock::now();
        timer.start();
    });
    timer.start();
    loop.exec();
    return late;
}

// Hours of simulated readings for the trend window, more than its ring
// holds (2^20 readings, a day at the polling rate and more), so that it is
// full: the most it ever draws, sums and keeps.
constexpr const char* TrendHours = "33";

TrendFigures ParseTrend(const std::vector<std::string>& lines)
{
    TrendFigures out;
    for (const std::string& line : lines) {
        std::istringstream in(line);
        std::string kind;
        in >> kind;
        if (kind == "trend-repaint") {
            TrendFigures::Span span;
            in >> span.name >> span.p50 >> span.p99 >> span.max >> span.columns;
            out.repaints.push_back(span);
        } else if (kind == "trend-held") {
            in >> out.held;
        }
    }
    return out;
}

// starts runs of velmor-driven with args, the last one reading for cycles.
// trend: velmor-driven's trend window figures, once it reported them (it
// does so before it starts reading).
ProgramFigures RunProgram(const std::string& velmorPath, int starts, int cycles,
                          const std::vector<std::string>& args = {}, TrendFigures* trend = nullptr)
{
    ProgramFigures out;
    std::string pattern =
        (std::filesystem::temp_directory_path() / "velmor-bench-com-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        out.failure = "mkdtemp";
        return out;
    }
    const std::filesystem::path dir = pattern;
    sim::Config line;
    line.baud = 9600; // the meter's line: each reply takes 10.4 ms to arrive
    sim::Simulator simulator(line);
    simulator.Start();
    {
        sim::ComLink link(dir, 1, simulator.Path());
        for (int run = 0; run < starts; ++run) {
            const std::size_t before = simulator.Requests().size();
            Velmor velmor(velmorPath, dir, args);
            const auto ms = velmor.WaitShown(std::chrono::milliseconds(30000));
            if (!ms) {
                out.failure = "velmor showed no window";
                break;
            }
            out.startupMs.push_back(*ms);
            if (run + 1 < starts) {
                continue;
            }
            if (trend != nullptr) {
                *trend = ParseTrend(velmor.WaitLines("trend-held", std::chrono::minutes(5)));
                if (trend->held == 0) {
                    out.failure = "velmor-driven reported no trend window";
                    break;
                }
            }
            // The last start goes on reading for the cycles.
            out.rssShownMiB = RssMiB(velmor.Pid());
            const std::size_t want = before + static_cast<std::size_t>(cycles) + 1;
            bool finished = false;
            const double cpu0 = CpuSecondsOf(velmor.Pid());
            const std::size_t requests0 = simulator.RequestCount();
            const auto wall0 = Clock::now();
            out.timerLateMs = TimerLateness(
                [&] { return simulator.RequestCount() >= want; },
                Clock::now() + std::chrono::milliseconds(cycles * 300 + 10000), finished);
            if (!finished) {
                out.failure = "the cycle stalled";
            }
            const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
            out.cpuPercent = 100.0 * (CpuSecondsOf(velmor.Pid()) - cpu0) / wall;
            out.readingsPerSecond =
                static_cast<double>(simulator.RequestCount() - requests0) / wall;
            out.rssCyclesMiB = RssMiB(velmor.Pid());
            const auto requests = simulator.Requests();
            AnalyseCycles(requests, simulator.Sent(), before, out);
            out.cycles = static_cast<int>(requests.size() - before);
        }
    }
    simulator.Stop();
    std::filesystem::remove_all(dir);
    return out;
}

// --- The table ------------------------------------------------------------

std::string Fixed(double v, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string Optional(const std::optional<double>& v, int decimals)
{
    return v ? Fixed(*v, decimals) : "-";
}

std::string PairOfPercentiles(const std::vector<double>& samples)
{
    return samples.empty()
               ? "-"
               : Fixed(Percentile(samples, 0.5), 2) + " / " + Fixed(Percentile(samples, 0.99), 2);
}

// The median of the rounds with their range beside it.
std::string WithRange(const std::vector<double>& rounds, int decimals)
{
    if (rounds.empty()) {
        return "-";
    }
    const auto [lo, hi] = std::minmax_element(rounds.begin(), rounds.end());
    return Fixed(Percentile(rounds, 0.5), decimals) + " (" + Fixed(*lo, decimals) + "-" +
           Fixed(*hi, decimals) + ")";
}

// Of the rounds: one disturbed round on a shared machine moves it least.
double Median(const std::vector<double>& v)
{
    return Percentile(v, 0.5);
}

std::optional<double> Ratio(double a, double b, bool haveB)
{
    if (!haveB || b <= 0) {
        return std::nullopt;
    }
    return a / b;
}

void PrintLine(const std::string& figure, const std::string& ours, const std::string& qt,
               const std::string& plain, const std::string& perQt, const std::string& perPlain,
               const std::string& goal, const std::string& met)
{
    std::array<char, 512> line{};
    std::snprintf(line.data(), line.size(), "%-34s %-20s %-20s %-20s %7s %7s  %-30s %s",
                  figure.c_str(), ours.c_str(), qt.c_str(), plain.c_str(), perQt.c_str(),
                  perPlain.c_str(), goal.c_str(), met.c_str());
    std::string text = line.data();
    text.erase(text.find_last_not_of(' ') + 1);
    std::printf("%s\n", text.c_str());
}

void Row(const std::string& figure, const std::string& ours, const std::string& qt,
         const std::string& plain, const std::optional<double>& perQt,
         const std::optional<double>& perPlain, const std::string& goal,
         const std::optional<bool>& met)
{
    PrintLine(figure, ours, qt, plain, Optional(perQt, 2), Optional(perPlain, 2), goal,
              met ? (*met ? "met" : "NOT MET") : "");
}

std::string MachineLine()
{
    std::string cpu = "unknown CPU";
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    }
    utsname u{};
    ::uname(&u);
    std::string debian;
    std::ifstream version("/etc/debian_version");
    std::getline(version, debian);
    double load[3] = {0, 0, 0};
    ::getloadavg(load, 3);
    return cpu + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores, Linux " +
           u.release + (debian.empty() ? "" : ", Debian " + debian) + ", load average " +
           Fixed(load[0], 2) + " at the end";
}

// The cycle's p99 against its goal, and how late the next request leaves
// after the reply beside a bare timer of the same pause in the same
// process: the cycle can be no more exact.
void CycleRows(const ProgramFigures& f, double ideal)
{
    const double p99 = Percentile(f.periodsMs, 0.99);
    Row("cycle period p99 (ms)", Fixed(p99, 2), "", "", std::nullopt, std::nullopt,
        "<= ideal + 2 ms", !f.periodsMs.empty() && p99 <= ideal + 2);
    const bool measured = !f.overheadMs.empty() && !f.timerLateMs.empty();
    Row("  reply end to next request - 100", PairOfPercentiles(f.overheadMs), "", "", std::nullopt,
        std::nullopt, "p50 / p99 (ms); p99 <= the bare timer's",
        measured
            ? std::optional<bool>(Percentile(f.overheadMs, 0.99) <= Percentile(f.timerLateMs, 0.99))
            : std::nullopt);
    Row("  bare 100 ms QTimer, lateness", PairOfPercentiles(f.timerLateMs), "", "", std::nullopt,
        std::nullopt, "p50 / p99 (ms), same process", std::nullopt);
}

void PrintProgram(const ProgramFigures& program, const ProgramFigures& onOne, int cycles)
{
    // Each reply starts the 100 ms interval, whose tick sends the next
    // request. The simulator keeps the 10-byte reply's line time at 9600
    // baud (10.4 ms); the pty passes the 3-byte request at once, where a real
    // line would add its 3.1 ms. The goal is judged against what this setup
    // can reach: 100 ms, the reply's line time and the simulator's turnaround.
    const double lineMs = 10.0 * 10.0 * 1000.0 / 9600.0;
    const double ideal = 100.0 + lineMs + program.turnaroundMs;
    std::printf("\nvelmor against the simulated meter (pty, replies paced at 9600 baud), "
                "offscreen; %d requests\n",
                program.cycles);
    const double p50 = Percentile(program.periodsMs, 0.5);
    Row("cycle period p50 (ms)", Fixed(p50, 2), "", "", std::nullopt, std::nullopt,
        "ideal " + Fixed(ideal, 1) + " = 100 + " + Fixed(lineMs, 1) + " reply + " +
            Fixed(program.turnaroundMs, 2) + " sim",
        std::nullopt);
    CycleRows(program, ideal);
    Row("cycle period max (ms)", Fixed(Percentile(program.periodsMs, 1.0), 2), "", "", std::nullopt,
        std::nullopt, "", std::nullopt);
    Row("start-up to painted window (ms)", WithRange(program.startupMs, 1), "", "", std::nullopt,
        std::nullopt, "median of 3 starts (range)", std::nullopt);
    Row("resident memory, shown (MiB)", Fixed(program.rssShownMiB, 1), "", "", std::nullopt,
        std::nullopt, "", std::nullopt);
    Row("resident memory, " + std::to_string(cycles) + " cycles (MiB)",
        Fixed(program.rssCyclesMiB, 1), "", "", std::nullopt, std::nullopt, "", std::nullopt);
    Row("CPU while reading (% of one core)", Fixed(program.cpuPercent, 2), "", "", std::nullopt,
        std::nullopt, Fixed(program.readingsPerSecond, 1) + " readings/s", std::nullopt);
    if (!program.failure.empty()) {
        std::printf("velmor: %s\n", program.failure.c_str());
    }
    if (onOne.periodsMs.empty()) {
        std::printf("not run on one processor%s\n",
                    onOne.failure.empty() ? "" : (": " + onOne.failure).c_str());
        return;
    }
    // Where the time goes when no wake crosses to an idle processor, which
    // on a virtual machine waits for the hypervisor.
    std::printf("the same with velmor and the simulator on one processor (a diagnosis)\n");
    CycleRows(onOne, ideal);
    Row("CPU while reading (% of one core)", Fixed(onOne.cpuPercent, 2), "", "", std::nullopt,
        std::nullopt, Fixed(onOne.readingsPerSecond, 1) + " readings/s", std::nullopt);
}

// The same program with "Вид" > "График" open over a full ring of readings,
// following the newest at the one-minute span (a redraw for nearly every
// reading), beside the run above without it.
void PrintTrend(const ProgramFigures& closed, const ProgramFigures& open, const TrendFigures& trend)
{
    const double lineMs = 10.0 * 10.0 * 1000.0 / 9600.0;
    const double ideal = 100.0 + lineMs + open.turnaroundMs;
    std::printf(
        "\nvelmor with the trend window open: %zu readings held (the full ring), plot %d px wide, "
        "following at the 1 min span; %d requests\n",
        trend.held, trend.repaints.empty() ? 0 : trend.repaints.front().columns, open.cycles);
    const std::pair<const char*, const char*> names[] = {
        {"minute", "1 min"}, {"ten-minutes", "10 min"}, {"hour", "1 h"}, {"all", "all"}};
    for (const TrendFigures::Span& span : trend.repaints) {
        std::string label = span.name;
        for (const auto& [name, text] : names) {
            if (span.name == name) {
                label = text;
            }
        }
        Row("repaint at " + label + ", p50 / p99 (ms)",
            Fixed(span.p50, 2) + " / " + Fixed(span.p99, 2), "", "", std::nullopt, std::nullopt,
            "p99 <= 16 ms (max " + Fixed(span.max, 1) + ")", span.p99 <= 16);
    }
    Row("CPU following (% of one core)", Fixed(open.cpuPercent, 2), "", "", std::nullopt,
        std::nullopt,
        "<= 2 %; closed " + Fixed(closed.cpuPercent, 2) + ", " + Fixed(open.readingsPerSecond, 1) +
            " readings/s",
        open.cpuPercent <= 2);
    const double more = open.rssCyclesMiB - closed.rssCyclesMiB;
    Row("resident memory, ring full (MiB)", Fixed(open.rssCyclesMiB, 1), "", "", std::nullopt,
        std::nullopt, "<= 40 MiB more: +" + Fixed(more, 1), more <= 40);
    const double p99 = Percentile(open.periodsMs, 0.99);
    Row("cycle period p99, window open (ms)", Fixed(p99, 2), "", "", std::nullopt, std::nullopt,
        "<= ideal " + Fixed(ideal, 1) + " + 2 ms; closed " +
            Fixed(Percentile(closed.periodsMs, 0.99), 2),
        !open.periodsMs.empty() && p99 <= ideal + 2);
    if (!open.failure.empty()) {
        std::printf("velmor with the trend window: %s\n", open.failure.c_str());
    }
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = 5;
    int idleSeconds = 10;
    int cycles = 1000;
    std::string velmorPath = VELMOR_DRIVEN_BINARY;
    std::string only;
    std::string uartPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--rounds") {
            rounds = std::max(1, std::atoi(argv[i + 1]));
        } else if (option == "--idle-seconds") {
            idleSeconds = std::max(1, std::atoi(argv[i + 1]));
        } else if (option == "--cycles") {
            // 0 leaves the program out.
            cycles = std::max(0, std::atoi(argv[i + 1]));
            cycles = cycles == 0 ? 0 : std::max(20, cycles);
        } else if (option == "--driven") {
            velmorPath = argv[i + 1];
        } else if (option == "--uart") {
            uartPath = argv[i + 1];
        } else if (option == "--only") {
            only = argv[i + 1];
        } else {
            std::fprintf(stderr,
                         "usage: %s [--rounds N] [--idle-seconds N] [--cycles N] "
                         "[--driven PATH] [--only ours|qt|plain] [--uart DEVICE]\n",
                         argv[0]);
            return 2;
        }
    }
    QCoreApplication app(argc, argv);
    std::array<PeerFigures, PeerCount> peers;
    std::vector<PeerKind> kinds = {PeerOurs, PeerPlain};
    if (HaveQt()) {
        kinds.insert(kinds.begin() + 1, PeerQt);
    }
    // One peer alone, for a profiler.
    if (!only.empty()) {
        const auto named = std::find_if(kinds.begin(), kinds.end(), [&](PeerKind k) {
            return (only == "ours" && k == PeerOurs) || (only == "qt" && k == PeerQt) ||
                   (only == "plain" && k == PeerPlain);
        });
        if (named == kinds.end()) {
            std::fprintf(stderr, "no peer %s\n", only.c_str());
            return 2;
        }
        kinds = {*named};
    }
    {
        Pty pty;
        std::fprintf(stderr, "receive figures: %d rounds over %zu peers on %s...\n", rounds,
                     kinds.size(), pty.slave.c_str());
        // Each round in another order, so that drift on a shared machine
        // reaches every peer alike.
        for (int round = 0; round < rounds; ++round) {
            std::vector<PeerKind> order = kinds;
            std::rotate(order.begin(), order.begin() + round % static_cast<int>(order.size()),
                        order.end());
            for (const PeerKind k : order) {
                Latency(k, pty, peers[k]);
            }
            for (const PeerKind k : order) {
                Throughput(k, pty, peers[k]);
            }
        }
        std::fprintf(stderr, "idle figures: %d s per port...\n", idleSeconds);
        for (const PeerKind k : kinds) {
            if (k != PeerPlain) {
                const IdleFigures idle = Idle(k, pty, idleSeconds);
                peers[k].idlePercent = idle.cpuPercent;
                peers[k].idleWakeups = idle.wakeupsPerSecond;
            }
        }
        if (std::find(kinds.begin(), kinds.end(), PeerOurs) != kinds.end()) {
            // The same pty with modem lines, interrupt counters and RS-485
            // behind it, as a UART driver has them.
            testutil::FakeUart uart;
            peers[PeerOurs].uartWakeups = Idle(PeerOurs, pty, idleSeconds).wakeupsPerSecond;
        }
        if (!uartPath.empty()) {
            std::filesystem::create_symlink(uartPath, std::filesystem::path(pty.dir) / "com8");
            peers[PeerOurs].realUartWakeups =
                Idle([](Sink& sink) { return std::make_unique<OurPeer>(sink, 8); }, idleSeconds)
                    .wakeupsPerSecond;
#ifdef VELMOR_BENCH_QSERIALPORT
            peers[PeerQt].realUartWakeups =
                Idle([&](Sink& sink) { return std::make_unique<QtPeer>(uartPath, sink); },
                     idleSeconds)
                    .wakeupsPerSecond;
#endif
        }
    }
    ProgramFigures program;
    ProgramFigures onOne; // the same with every thread on one processor
    ProgramFigures withTrend;
    TrendFigures trend;
    if (cycles > 0) {
        std::fprintf(stderr, "velmor against the simulated meter: %d cycles...\n", cycles);
        program = RunProgram(velmorPath, 3, cycles);
        std::fprintf(stderr, "the same on one processor: %d cycles...\n", cycles);
        {
            const bench::OneProcessor one;
            if (one.Pinned()) {
                onOne = RunProgram(velmorPath, 1, cycles);
            }
        }
        std::fprintf(stderr,
                     "velmor with the trend window over a full ring of readings: %d cycles...\n",
                     cycles);
        withTrend =
            RunProgram(velmorPath, 1, cycles, {"--trend", TrendHours, "--span", "minute"}, &trend);
    }

    const PeerFigures& o = peers[PeerOurs];
    const PeerFigures& q = peers[PeerQt];
    const PeerFigures& p = peers[PeerPlain];
    // With --only, a peer that did not run compares with nothing.
    const bool qt = HaveQt() && !q.latencyUs.empty();
    const bool plain = !p.latencyUs.empty();
    const auto pct = [](const PeerFigures& f, double at) {
        return f.latencyUs.empty() ? std::string("-") : Fixed(Percentile(f.latencyUs, at), 1);
    };
    const double oP99 = Percentile(o.latencyUs, 0.99);
    const double qP99 = Percentile(q.latencyUs, 0.99);

    std::printf("velmor_bench: %s\n", MachineLine().c_str());
    std::printf("pty %zu-byte messages x %d per peer, %.0f MB streams x %d, alternating; "
                "median of the rounds (range)\n\n",
                MessageBytes, LatencySamples * rounds, ThroughputBytes / MB, rounds);
    PrintLine("figure", "ours", "QSerialPort", "plain loop", "ours/Qt", "ours/pl", "goal", "");
    Row("latency p50 (us)", pct(o, 0.5), pct(q, 0.5), pct(p, 0.5),
        Ratio(Percentile(o.latencyUs, 0.5), Percentile(q.latencyUs, 0.5), qt),
        Ratio(Percentile(o.latencyUs, 0.5), Percentile(p.latencyUs, 0.5), plain), "", std::nullopt);
    Row("latency p99 (us)", pct(o, 0.99), pct(q, 0.99), pct(p, 0.99), Ratio(oP99, qP99, qt),
        Ratio(oP99, Percentile(p.latencyUs, 0.99), plain), "< 1000 us, <= 2x QSerialPort",
        oP99 < 1000 && (!qt || oP99 <= 2 * qP99));
    const double oMb = Median(o.mbPerSecond);
    Row("throughput (MB/s)", WithRange(o.mbPerSecond, 1), WithRange(q.mbPerSecond, 1),
        WithRange(p.mbPerSecond, 1), Ratio(oMb, Median(q.mbPerSecond), qt),
        Ratio(oMb, Median(p.mbPerSecond), plain), ">= 0.9x plain loop",
        plain ? std::optional<bool>(oMb >= 0.9 * Median(p.mbPerSecond)) : std::nullopt);
    const double oCpu = Median(o.cpuMsPerMb);
    Row("CPU per MB received (ms)", WithRange(o.cpuMsPerMb, 2), WithRange(q.cpuMsPerMb, 2),
        WithRange(p.cpuMsPerMb, 2), Ratio(oCpu, Median(q.cpuMsPerMb), qt),
        Ratio(oCpu, Median(p.cpuMsPerMb), plain), "<= 1.5x QSerialPort",
        qt ? std::optional<bool>(oCpu <= 1.5 * Median(q.cpuMsPerMb)) : std::nullopt);
    Row("  bytes per read in the stream", WithRange(o.bytesPerRead, 0),
        WithRange(q.bytesPerRead, 0), WithRange(p.bytesPerRead, 0), std::nullopt, std::nullopt, "",
        std::nullopt);
    Row("idle CPU, open port, " + std::to_string(idleSeconds) + " s (%)",
        Optional(o.idlePercent, 3), Optional(q.idlePercent, 3), "-",
        o.idlePercent && q.idlePercent ? Ratio(*o.idlePercent, *q.idlePercent, qt) : std::nullopt,
        std::nullopt, "< 0.5 %", o.idlePercent && *o.idlePercent < 0.5);
    Row("wake-ups/s, idle open port, pty", Optional(o.idleWakeups, 1), Optional(q.idleWakeups, 1),
        "-", std::nullopt, std::nullopt, "whole process", std::nullopt);
    Row("  the same, injected UART", Optional(o.uartWakeups, 1), "-", "-", std::nullopt,
        std::nullopt, "modem lines, counters", std::nullopt);
    if (o.realUartWakeups) {
        Row("  the same, " + uartPath, Optional(o.realUartWakeups, 1),
            Optional(q.realUartWakeups, 1), "-", std::nullopt, std::nullopt, "", std::nullopt);
    }
    if (o.lost + q.lost + p.lost > 0) {
        std::printf("lost latency samples: ours %d, QSerialPort %d, plain %d\n", o.lost, q.lost,
                    p.lost);
    }

    if (cycles > 0) {
        PrintProgram(program, onOne, cycles);
        PrintTrend(program, withTrend, trend);
    }
    if (!qt) {
        std::printf("\nQSerialPort not built: install qt6-serialport-dev (make bench does).\n");
    }
    return program.failure.empty() && withTrend.failure.empty() ? 0 : 1;
}
