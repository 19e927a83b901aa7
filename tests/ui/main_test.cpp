// Unit under test: main (the velmor program, src/ui/main.cpp and ProgramMain), run as a process in
// front of the simulated meter; velmor-driven is the same start-up with the first press made.
#include "PtyPair.h"
#include "SimTest.h"
#include "instrument-sim/simulator.h"
#include "platform/SerialDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

bool PortIsFree(unsigned n)
{
    platform::SerialDevice device;
    return device.Open("\\\\.\\COM" + std::to_string(n));
}

// velmor in the test's COM map, without a screen. Killed and reaped if a
// test leaves it running.
class Velmor {
public:
    // path: velmor, or velmor-driven, which presses "Чтение показаний" once
    // its window is shown.
    explicit Velmor(const char* path = VELMOR_PROGRAM)
    {
        std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen"};
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string_view var(*e);
            if (!var.starts_with("QT_QPA_PLATFORM=")) {
                env.emplace_back(*e);
            }
        }
        std::vector<char*> envp;
        for (auto& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        std::string program = path;
        char* argv[] = {program.data(), nullptr};
        EXPECT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, envp.data()), 0);
        pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        EXPECT_GE(pidfd, 0);
    }
    ~Velmor()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (pidfd >= 0) {
            ::close(pidfd);
        }
    }
    Velmor(const Velmor&) = delete;
    Velmor& operator=(const Velmor&) = delete;

    // True once sig is blocked in the program's main thread: from then on
    // it waits for the program's message loop.
    bool Blocks(int sig) const
    {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.starts_with("SigBlk:")) {
                const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
                return (mask >> (sig - 1) & 1) != 0;
            }
        }
        return false;
    }

    void Signal(int sig) const { ::kill(pid, sig); }

    // Waits for the program's end; false when it is still running after
    // timeoutMs.
    bool Ended(int timeoutMs, int& status)
    {
        pollfd p{pidfd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1 || ::waitpid(pid, &status, 0) != pid) {
            return false;
        }
        pid = -1;
        return true;
    }

    pid_t Pid() const { return pid; }

private:
    pid_t pid = -1;
    int pidfd = -1;
};

// velmor run to its end with the environment changed as given ("NAME="
// empties a variable, which Qt and velmor take as unset).
struct Ran {
    int status = -1; // -1: did not end by itself within the patience
    std::string out, err;
};

Ran RunVelmor(std::vector<std::string> args, std::vector<std::string> env)
{
    const simtest::TempDir comDir;
    args.insert(args.begin(), VELMOR_PROGRAM);
    simtest::Child child(std::move(args), comDir.Path(), std::move(env));
    Ran ran;
    pollfd p[2] = {{child.Out(), POLLIN, 0}, {child.Err(), POLLIN, 0}};
    std::string* text[2] = {&ran.out, &ran.err};
    const auto end = std::chrono::steady_clock::now() + 4 * simtest::Patience;
    for (int open = 2; open > 0;) {
        if (std::chrono::steady_clock::now() >= end) {
            return ran; // the child is killed as it goes
        }
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
    ran.status = child.Exit();
    return ran;
}

// An X display number that nothing serves, neither by its socket file nor
// by the abstract socket of the same name.
int FreeDisplay()
{
    for (int n = 71; n < 200; ++n) {
        const std::string path = "/tmp/.X11-unix/X" + std::to_string(n);
        bool served = false;
        for (const bool abstract : {false, true}) {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            path.copy(address.sun_path + (abstract ? 1 : 0), path.size());
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const auto length =
                static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
            served = served || ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
            ::close(fd);
        }
        if (!served) {
            return n;
        }
    }
    return -1;
}

} // namespace

// Without a display velmor says in one line what it is and what to use in a
// terminal, instead of Qt's abort and its advice about plugins; --help and
// --version need no display.
TEST(VelmorProgram, WithoutADisplayItSaysSoInOneLine)
{
    const auto console = [](const std::string& display = "") {
        return std::vector<std::string>{"QT_QPA_PLATFORM=", "DISPLAY=" + display,
                                        "WAYLAND_DISPLAY=", "XDG_SESSION_TYPE=", "LC_ALL=C"};
    };
    const std::string start = "velmor: velmor is a graphical program and needs a desktop session";
    const std::string terminal = "; in a terminal, velmor-log reads the meter\n";

    const Ran none = RunVelmor({}, console());
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, start + ", but neither DISPLAY nor WAYLAND_DISPLAY is set" + terminal);
    EXPECT_EQ(none.out, "");

    const int display = FreeDisplay();
    ASSERT_GT(display, 0);
    const Ran closed = RunVelmor({}, console(":" + std::to_string(display)));
    EXPECT_EQ(closed.status, 1);
    EXPECT_EQ(closed.err, start + ", but the display could not be opened (DISPLAY=:" +
                              std::to_string(display) + ")" + terminal);

    const Ran help = RunVelmor({"--help"}, console());
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: velmor\n")) << help.out;
    EXPECT_EQ(help.err, "");
    const Ran version = RunVelmor({"--version"}, console());
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "velmor " VELMOR_VERSION "\n");
}

TEST(VelmorProgram, EndingSignalsCloseTheWindowAndTheProgramEndsCleanly)
{
    testutil::ComDir dir;
    sim::Simulator meter(sim::Config{});
    meter.Start();
    dir.Link(1, meter.Path());

    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        Velmor velmor;
        for (int i = 0; i < 1000 && !velmor.Blocks(sig); ++i) {
            ::usleep(10'000);
        }
        ASSERT_TRUE(velmor.Blocks(sig)) << strsignal(sig);
        velmor.Signal(sig);
        int status = 0;
        // Generous: a hang is the failure looked for, not slowness.
        ASSERT_TRUE(velmor.Ended(20000, status)) << strsignal(sig) << ": still running";
        EXPECT_TRUE(WIFEXITED(status)) << strsignal(sig) << ": ended by signal "
                                       << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        EXPECT_EQ(WEXITSTATUS(status), 0) << strsignal(sig);
    }
    // Reading never starts by itself.
    EXPECT_TRUE(meter.Requests().empty());
    meter.Stop();
}

TEST(VelmorProgram, EndsCleanlyWhilePolling)
{
    testutil::ComDir dir;
    sim::Config line;
    line.baud = 9600;
    sim::Simulator meter(line);
    meter.Start();
    dir.Link(1, meter.Path());

    Velmor velmor(VELMOR_DRIVEN_PROGRAM);
    ASSERT_TRUE(meter.WaitForRequests(10, std::chrono::seconds(20)));
    ASSERT_TRUE(velmor.Blocks(SIGTERM));
    // The port is the program's while it polls...
    EXPECT_FALSE(PortIsFree(1));
    velmor.Signal(SIGTERM);
    int status = 0;
    ASSERT_TRUE(velmor.Ended(20000, status)) << "still running";
    EXPECT_TRUE(WIFEXITED(status))
        << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // ...and free again once it has ended.
    EXPECT_TRUE(PortIsFree(1));
    meter.Stop();
}
