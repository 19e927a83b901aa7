// Unit under test: main (the velmor program, src/ui/main.cpp and ProgramMain), run as a process in
// front of the simulated meter; velmor-driven is the same start-up with the first press made.
#include "PtyPair.h"
#include "instrument-sim/simulator.h"
#include "platform/SerialDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/syscall.h>
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

} // namespace

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
