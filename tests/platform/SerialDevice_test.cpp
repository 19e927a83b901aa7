// Unit under test: SerialDevice (termios device: open, event wait, read, write, line control).
#include "FakeUart.h"
#include "PtyPair.h"

#include "platform/Holders.h"
#include "platform/LastError.h"
#include "platform/SerialDevice.h"
#include "platform/Sync.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <iomanip>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <vector>

extern char** environ;

using platform::Event;
using platform::SerialDevice;

namespace {

constexpr const char* Com1 = "\\\\.\\COM1";

// Runs the probe on name in a process of its own; its exit status.
int OpenInChild(const char* name, const char* option = nullptr)
{
    const char* argv[] = {VELMOR_OPEN_PROBE, name, option, nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, VELMOR_OPEN_PROBE, nullptr, nullptr, const_cast<char**>(argv),
                      environ) != 0)
        return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double ThreadCpuMs()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

class SerialDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        com_.Link(1, pty_.SlavePath());
        ASSERT_TRUE(device_.Open(Com1)) << platform::GetLastError();
    }

    // Runs WaitEvent on a thread of its own.
    struct PendingWait {
        explicit PendingWait(SerialDevice& device)
            : thread([this, &device] {
                  ok = device.WaitEvent(events);
                  error = platform::GetLastError();
                  done.Set();
              })
        {
        }
        ~PendingWait()
        {
            if (thread.joinable())
                thread.join();
        }
        void Join() { thread.join(); }

        std::uint32_t events = 0;
        bool ok = false;
        std::uint32_t error = 0;
        Event done{Event::Kind::ManualReset};
        std::thread thread;
    };

    testutil::PtyPair pty_;
    testutil::ComDir com_;
    SerialDevice device_;
};

// A child that opens the slave and answers once it has; killed with the test.
class SlaveHolder {
public:
    // controlling: as a shell in a terminal tab, the slave is its session's
    // terminal; exclusive: it sets TIOCEXCL, as a serial program does.
    SlaveHolder(const testutil::PtyPair& pty, bool controlling, bool exclusive)
    {
        const std::string& slave = pty.SlavePath();
        int ready[2];
        if (::pipe(ready) != 0)
            throw std::runtime_error("no pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(pty.Master()); // another program, not the pair's other end
            if (controlling)
                ::setsid();
            const int fd = ::open(slave.c_str(), O_RDWR | (controlling ? 0 : O_NOCTTY));
            if (controlling)
                ::ioctl(fd, TIOCSCTTY, 0);
            if (exclusive)
                ::ioctl(fd, TIOCEXCL);
            (void)!::write(ready[1], "x", 1);
            ::pause();
            ::_exit(0);
        }
        char byte = 0;
        (void)!::read(ready[0], &byte, 1);
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~SlaveHolder() { Kill(); }
    SlaveHolder(const SlaveHolder&) = delete;
    SlaveHolder& operator=(const SlaveHolder&) = delete;
    void Kill()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    std::string Named() const
    {
        return "process " + std::to_string(pid_) + " (" + platform::ProcessName(pid_) + ")";
    }

private:
    pid_t pid_ = -1;
};

} // namespace

TEST(SerialDeviceOpen, FailuresCarryWindowsNumbersAndLeakNoDescriptors)
{
    testutil::PtyPair pty;
    testutil::ComDir com;
    com.Link(1, pty.SlavePath());
    com.Link(3, "/nonexistent/ttyUSB9");
    const std::string file = (com.Path() / "plain-file").string();
    std::ofstream(file) << "not a port";
    const std::string fifo = (com.Path() / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Something is there, but no serial port: never opened as one.
    const std::vector<std::string> noPorts = {file,   "/dev/null", "/dev/zero", fifo,
                                              "/tmp", "/dev/ptmx", "/dev/tty"};
    for (unsigned i = 0; i < noPorts.size(); ++i)
        com.Link(10 + i, noPorts[i]);
    const int before = testutil::OpenDescriptors();

    SerialDevice a;
    using platform::OpenFinding;
    EXPECT_FALSE(a.Open("\\\\.\\COM9")); // no link, no detection
    EXPECT_EQ(platform::GetLastError(), platform::ErrorFileNotFound);
    EXPECT_EQ(platform::LastOpenRefusal().finding, OpenFinding::Unmapped);
    EXPECT_FALSE(a.Open("\\\\.\\COM3")); // pinned, device absent
    EXPECT_EQ(platform::GetLastError(), platform::ErrorFileNotFound);
    EXPECT_EQ(platform::LastOpenRefusal().finding, OpenFinding::Missing);
    EXPECT_EQ(platform::LastErrorDetail(), "COM3 is /nonexistent/ttyUSB9, which is not there");
    for (unsigned i = 0; i < noPorts.size(); ++i) {
        const std::string com = "COM" + std::to_string(10 + i);
        EXPECT_FALSE(a.Open("\\\\.\\" + com)) << noPorts[i];
        EXPECT_EQ(platform::GetLastError(), platform::ErrorFileNotFound) << noPorts[i];
        EXPECT_EQ(platform::LastOpenRefusal().finding, OpenFinding::NotAPort) << noPorts[i];
        EXPECT_EQ(platform::LastErrorDetail(),
                  com + " is " + noPorts[i] + ", which is not a serial port");
    }
    EXPECT_FALSE(a.Open("/dev/null"));
    EXPECT_EQ(platform::LastErrorDetail(), "/dev/null is not a serial port");
    EXPECT_FALSE(a.Open("COMx"));
    EXPECT_EQ(platform::GetLastError(), platform::ErrorFileNotFound);
    EXPECT_FALSE(a.IsOpen());

    ASSERT_TRUE(a.Open(Com1));
    EXPECT_EQ(a.Path(), pty.SlavePath());
    SerialDevice b;
    EXPECT_FALSE(b.Open(Com1));
    EXPECT_EQ(platform::GetLastError(), platform::ErrorAccessDenied);
    EXPECT_FALSE(b.Open(pty.SlavePath())); // the same device by its path
    EXPECT_EQ(platform::GetLastError(), platform::ErrorAccessDenied);
    EXPECT_EQ(platform::LastOpenRefusal().finding, OpenFinding::Held);
    EXPECT_EQ(platform::LastOpenRefusal().holder, "process " + std::to_string(::getpid()) + " (" +
                                                      platform::ProcessName(::getpid()) + ")");
    EXPECT_EQ(OpenInChild(Com1), static_cast<int>(platform::ErrorAccessDenied));
    EXPECT_FALSE(a.Open(Com1)); // already open on this object
    EXPECT_EQ(platform::GetLastError(), platform::ErrorInvalidParameter);

    ASSERT_TRUE(a.Close());
    EXPECT_EQ(OpenInChild(Com1), 0); // released by the close
    ASSERT_TRUE(b.Open(Com1));
    ASSERT_TRUE(b.Close());
    EXPECT_FALSE(b.Close());
    EXPECT_EQ(platform::GetLastError(), platform::ErrorInvalidHandle);
    EXPECT_EQ(testutil::OpenDescriptors(), before);
}

TEST(SerialDeviceOpen, APermissionProblemIsNotReportedAsBusy)
{
    testutil::PtyPair pty;
    testutil::ComDir com;
    com.Link(1, pty.SlavePath());
    ASSERT_EQ(::chmod(pty.SlavePath().c_str(), 0), 0);
    if (::geteuid() == 0) {
        // Root opens anything: try it as nobody in a process of its own.
        const int status = OpenInChild(Com1, "--as-nobody");
        if (status == 101)
            GTEST_SKIP() << "privileges cannot be dropped here";
        EXPECT_EQ(status, static_cast<int>(platform::ErrorPermissionDenied));
    } else {
        const int before = testutil::OpenDescriptors();
        SerialDevice d;
        EXPECT_FALSE(d.Open(Com1));
        EXPECT_EQ(platform::GetLastError(), platform::ErrorPermissionDenied);
        EXPECT_EQ(testutil::OpenDescriptors(), before);
    }
}

// Some process's controlling terminal (a login shell's, a terminal tab's)
// is not opened at all: it would be made raw and get the meter's queries.
TEST(SerialDeviceOpen, AControllingTerminalIsLeftAloneAndItsOwnerNamed)
{
    testutil::PtyPair pty;
    SlaveHolder shell(pty, true, false);
    termios before{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &before), 0);
    SerialDevice device;
    EXPECT_FALSE(device.Open(pty.SlavePath()));
    EXPECT_EQ(platform::GetLastError(), platform::ErrorAccessDenied);
    EXPECT_EQ(platform::LastOpenRefusal().finding, platform::OpenFinding::Terminal);
    EXPECT_EQ(platform::LastOpenRefusal().holder, shell.Named());
    EXPECT_EQ(platform::LastErrorDetail(),
              pty.SlavePath() + " is the terminal of " + shell.Named());
    EXPECT_FALSE(SerialDevice::Probe(pty.SlavePath()));
    termios after{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &after), 0);
    EXPECT_TRUE(before.c_iflag == after.c_iflag && before.c_oflag == after.c_oflag &&
                before.c_cflag == after.c_cflag && before.c_lflag == after.c_lflag &&
                std::equal(std::begin(before.c_cc), std::end(before.c_cc), std::begin(after.c_cc)))
        << "the terminal was set up";
    pollfd p{pty.Master(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "something was written to it";
}

// TIOCEXCL lives with a pseudo-terminal pair, so a holder that is killed
// leaves it set. While the holder lives the port is theirs; once it is gone
// the flag is stale and root takes the port. (A user's open meets the
// kernel's refusal, which the simulator, holding the pair, lifts.)
TEST(SerialDeviceOpen, AnExclusiveFlagOutlivingItsKilledHolderIsTakenOver)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root's open passes TIOCEXCL";
    testutil::PtyPair pty;
    SlaveHolder holder(pty, false, true);
    SerialDevice device;
    EXPECT_FALSE(device.Open(pty.SlavePath()));
    EXPECT_EQ(platform::LastOpenRefusal().holder, holder.Named());
    holder.Kill();
    ASSERT_TRUE(device.Open(pty.SlavePath())) << platform::LastErrorDetail();
    ASSERT_TRUE(device.Close());
    const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    int exclusive = 1;
    EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ::close(fd);
}

// On a pseudo-terminal too, another program's lock file and a plain reader
// hold the port; no lock file of ours is written for one.
TEST(SerialDeviceOpen, OnAPseudoTerminalOtherProgramsClaimsCountToo)
{
    testutil::PtyPair pty;
    const TempDir locks("lock");
    const std::string lockFile =
        locks / ("LCK.." + std::filesystem::path(pty.SlavePath()).filename().string());
    SerialDevice device({nullptr, locks.Path().string()});
    ASSERT_TRUE(device.Open(pty.SlavePath())) << platform::LastErrorDetail();
    EXPECT_FALSE(std::filesystem::exists(lockFile));
    ASSERT_TRUE(device.Close());

    std::ofstream(lockFile) << "         1\n";
    const bool lockedOpened = device.Open(pty.SlavePath());
    const platform::OpenRefusal locked = platform::LastOpenRefusal();
    std::filesystem::remove(lockFile);
    SlaveHolder reader(pty, false, false);
    const bool readOpened = device.Open(pty.SlavePath());
    const platform::OpenRefusal read = platform::LastOpenRefusal();
    EXPECT_FALSE(lockedOpened);
    EXPECT_EQ(locked.finding, platform::OpenFinding::Held);
    EXPECT_EQ(locked.holder, "process 1 (" + platform::ProcessName(1) + ")");
    EXPECT_FALSE(readOpened);
    EXPECT_EQ(read.holder, reader.Named());
}

// The slave's settings as another program holding it sees them.
std::string LineOf(int fd)
{
    termios t{};
    ::tcgetattr(fd, &t);
    return std::string(reinterpret_cast<const char*>(&t), sizeof t);
}

TEST(SerialDeviceOpen, RawFromTheFirstByteAndTheLineAsFoundOnceClosed)
{
    testutil::PtyPair pty;
    testutil::ComDir com;
    com.Link(1, pty.SlavePath());
    // Another program holds the slave as a fresh terminal has it: IXON,
    // ICRNL, OPOST, ICANON, ECHO.
    const int other = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    const std::string found = LineOf(other);
    termios t{};
    ::tcgetattr(other, &t);
    ASSERT_NE(t.c_iflag & IXON, 0u);

    // Looking, as the port list does, changes nothing.
    EXPECT_TRUE(SerialDevice::Probe(Com1));
    EXPECT_EQ(LineOf(other), found);

    SerialDevice device;
    ASSERT_TRUE(device.Open(Com1));
    // XON, XOFF and CR reach the reader as they were sent.
    pty.Write("\x11\x13\r\n");
    std::string got;
    for (int i = 0; i < 200 && got.size() < 4; ++i) {
        char buffer[8];
        std::size_t n = 0;
        ASSERT_TRUE(device.Read(buffer, sizeof buffer, n));
        got.append(buffer, n);
        if (n == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(got, "\x11\x13\r\n");
    ASSERT_TRUE(device.Close());
    EXPECT_EQ(LineOf(other), found);
    ::close(other);
}

// Root passes another program's TIOCEXCL and flock; the lock files of
// terminal programs say who has a port.
TEST(SerialDeviceOpen, AHeldPortIsSeenAsHeldAndOnlyOurOwnClaimsAreUndone)
{
    testutil::PtyPair pty;
    testutil::ComDir com;
    com.Link(1, pty.SlavePath());
    testutil::FakeUart uart(false, testutil::FakeUart::Reach::Given);
    const std::string lockFile =
        uart.LockDir() + "/LCK.." + std::filesystem::path(pty.SlavePath()).filename().string();
    SerialDevice device(uart.Options());

    // A program that takes no claim still reads what comes: it holds the
    // port as long as it has it open.
    SlaveHolder reader(pty, false, false);
    EXPECT_FALSE(device.Open(Com1));
    const std::string detail = platform::LastErrorDetail();
    EXPECT_EQ(platform::GetLastError(), platform::ErrorAccessDenied);
    EXPECT_EQ(detail, "COM1 is " + pty.SlavePath() + "; " + reader.Named() + " holds it");

    // Its TIOCEXCL too, while it has the port open.
    uart.SetExclusive(true);
    EXPECT_FALSE(device.Open(Com1));
    EXPECT_EQ(platform::GetLastError(), platform::ErrorAccessDenied);
    EXPECT_EQ(platform::LastErrorDetail(), detail);
    EXPECT_TRUE(uart.Exclusive()) << "their exclusivity was cleared";
    EXPECT_EQ(uart.Calls(TIOCNXCL), 0);
    EXPECT_FALSE(std::filesystem::exists(lockFile));
    reader.Kill();
    uart.SetExclusive(false);

    // A live process's lock file: init's.
    std::ofstream(lockFile) << "         1\n";
    EXPECT_FALSE(device.Open(Com1));
    EXPECT_EQ(platform::GetLastError(), platform::ErrorAccessDenied);
    EXPECT_NE(platform::LastErrorDetail().find("; process 1 ("), std::string::npos)
        << platform::LastErrorDetail();

    // A stale one, whose process has gone, is taken over.
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    std::ofstream(lockFile) << std::setw(10) << child << "\n";
    ASSERT_TRUE(device.Open(Com1)) << platform::LastErrorDetail();
    EXPECT_TRUE(uart.Exclusive());
    std::ifstream in(lockFile);
    pid_t holder = 0;
    in >> holder;
    EXPECT_EQ(holder, ::getpid());
    ASSERT_TRUE(device.Close());
    EXPECT_FALSE(uart.Exclusive());
    EXPECT_FALSE(std::filesystem::exists(lockFile));
}

// A device's calls are its own: one given a UART does not lend it to another,
// and one given the system's calls keeps them while a UART is the process's.
TEST(SerialDeviceOpen, EachDeviceReachesItsDriverThroughItsOwnCalls)
{
    testutil::PtyPair uartPty;
    testutil::PtyPair plainPty;
    testutil::FakeUart uart(false, testutil::FakeUart::Reach::Given);
    SerialDevice onUart(uart.Options());
    ASSERT_TRUE(onUart.Open(uartPty.SlavePath())) << platform::LastErrorDetail();
    EXPECT_TRUE(onUart.HasModemLines());
    ASSERT_TRUE(onUart.Escape(platform::EscSetDtr));
    EXPECT_TRUE(uart.Dtr());
    const int looks = uart.LineLooks();
    SerialDevice plain;
    ASSERT_TRUE(plain.Open(plainPty.SlavePath())) << platform::LastErrorDetail();
    EXPECT_FALSE(plain.HasModemLines());
    EXPECT_EQ(uart.LineLooks(), looks) << "another device's open looked at the UART";
    ASSERT_TRUE(plain.Close());
    ASSERT_TRUE(onUart.Close());

    const testutil::FakeUart processWide;
    SerialDevice takesTheProcesss;
    SerialDevice system(platform::DeviceOptions{});
    ASSERT_TRUE(takesTheProcesss.Open(uartPty.SlavePath())) << platform::LastErrorDetail();
    ASSERT_TRUE(system.Open(plainPty.SlavePath())) << platform::LastErrorDetail();
    EXPECT_TRUE(takesTheProcesss.HasModemLines());
    EXPECT_FALSE(system.HasModemLines());
}

// With flow control on, the far end is held back by what the receive side
// holds, not by the kernel's buffer, which the receive queue keeps empty.
TEST(SerialDeviceFlow, TheFarEndIsHeldBackAtTheXoffLimitAndLetGoAtTheXonLimit)
{
    testutil::PtyPair pty;
    testutil::ComDir com;
    com.Link(1, pty.SlavePath());
    testutil::FakeUart uart(false, testutil::FakeUart::Reach::Given);
    SerialDevice device(uart.Options());
    ASSERT_TRUE(device.Open(Com1));
    ASSERT_TRUE(device.SetupQueues(4096, 0, 65536));
    platform::DeviceControl dcb;
    ASSERT_TRUE(device.GetState(dcb));
    dcb.flags = (dcb.flags & ~(platform::DcbRtsControlMask | platform::DcbDtrControlMask)) |
                platform::RtsControlHandshake | platform::DtrControlHandshake |
                platform::DcbOutxCtsFlow | platform::DcbInX;
    dcb.xoffLim = 4096 - 3686; // full at 3686
    dcb.xonLim = 410;
    ASSERT_TRUE(device.SetState(dcb));
    EXPECT_TRUE(uart.Rts());
    EXPECT_TRUE(uart.Dtr());

    // Output flow on DSR does not exist on Linux: refused, nothing changed.
    platform::DeviceControl dsr = dcb;
    dsr.flags |= platform::DcbOutxDsrFlow;
    EXPECT_FALSE(device.SetState(dsr));
    EXPECT_EQ(platform::GetLastError(), platform::ErrorInvalidParameter);
    platform::DeviceControl now;
    ASSERT_TRUE(device.GetState(now));
    EXPECT_EQ(now.flags & platform::DcbOutxDsrFlow, 0u);

    // Nobody reads; the wait keeps draining the driver into the queue.
    ASSERT_TRUE(device.SetMask(platform::EvRxChar));
    std::atomic<bool> stop{false};
    std::thread waiter([&] {
        std::uint32_t events = 0;
        while (!stop && device.WaitEvent(events)) {
        }
    });
    const auto queued = [&](std::uint32_t n) {
        for (int i = 0; i < 2000; ++i) {
            std::uint32_t errors = 0;
            platform::CommStatus status;
            if (device.ClearErrors(errors, &status, false) && status.inQueue >= n)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    };
    pty.Write(std::string(3686, 'a'));
    ASSERT_TRUE(queued(3686));
    EXPECT_TRUE(uart.Rts()) << "held back at the limit, not beyond it";
    pty.Write("b");
    ASSERT_TRUE(queued(3687));
    // The count may include the driver's byte before the queue took it.
    for (int i = 0; i < 2000 && uart.Rts(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(uart.Rts());
    EXPECT_FALSE(uart.Dtr());
    EXPECT_EQ(pty.Read(1), "\x13");

    // Read down to the XON limit: let go.
    std::vector<char> buffer(4096);
    std::size_t got = 0;
    ASSERT_TRUE(device.Read(buffer.data(), 3276, got));
    EXPECT_EQ(got, 3276u);
    EXPECT_FALSE(uart.Rts()); // 411 held
    ASSERT_TRUE(device.Read(buffer.data(), 1, got));
    EXPECT_TRUE(uart.Rts());
    EXPECT_TRUE(uart.Dtr());
    EXPECT_EQ(pty.Read(1), "\x11");

    stop = true;
    ASSERT_TRUE(device.Close()); // ends the wait, and every later one at once
    waiter.join();
}

// Joining the dialout group helps only when the device is the group's.
TEST(SerialDeviceOpen, APermissionProblemSaysWhatWouldHelp)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving the device away needs root";
    const group* dialout = ::getgrnam("dialout");
    if (dialout == nullptr)
        GTEST_SKIP() << "no dialout group";
    testutil::PtyPair pty;
    testutil::ComDir com;
    com.Link(1, pty.SlavePath());
    const char* path = pty.SlavePath().c_str();
    ASSERT_EQ(::chown(path, 0, dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(path, 0660), 0);
    // The file-system identity is per thread: nobody's, without root's override.
    constexpr uid_t nobody = 65534;
    ::setfsuid(nobody);
    if (static_cast<uid_t>(::setfsuid(nobody)) != nobody)
        GTEST_SKIP() << "the file-system identity cannot be changed here";
    SerialDevice device;
    const bool groupOpened = device.Open(Com1);
    const std::uint32_t groupError = platform::GetLastError();
    const std::string groupDetail = platform::LastErrorDetail();
    ::setfsuid(0);
    ASSERT_EQ(::chown(path, 0, 0), 0);
    ASSERT_EQ(::chmod(path, 0600), 0);
    ::setfsuid(nobody);
    const bool rootOpened = device.Open(Com1);
    const std::string rootDetail = platform::LastErrorDetail();
    ::setfsuid(0);

    ASSERT_FALSE(groupOpened);
    EXPECT_EQ(groupError, platform::ErrorPermissionDenied);
    EXPECT_EQ(groupDetail, "COM1 is " + pty.SlavePath() + "; " + pty.SlavePath() +
                               " belongs to the dialout group, which you are not in: sudo "
                               "usermod -aG dialout $USER, then log in again");
    ASSERT_FALSE(rootOpened);
    EXPECT_EQ(rootDetail, "COM1 is " + pty.SlavePath() + "; " + pty.SlavePath() +
                              " is owned by root:root with mode 0600");
}

TEST_F(SerialDeviceTest, BytesFromTheMasterWakeAPendingWaitAndReadsNeverBlock)
{
    ASSERT_TRUE(device_.SetMask(platform::EvRxChar | platform::EvCts | platform::EvErr));
    char buffer[16];
    std::size_t got = 99;
    ASSERT_TRUE(device_.Read(buffer, sizeof buffer, got));
    EXPECT_EQ(got, 0u); // nothing there: returns at once

    {
        PendingWait wait(device_);
        pty_.Write("abc");
        wait.Join();
        EXPECT_TRUE(wait.ok);
        EXPECT_EQ(wait.events, platform::EvRxChar);
    }
    ASSERT_TRUE(device_.Read(buffer, sizeof buffer, got));
    EXPECT_EQ(std::string(buffer, got), "abc");

    std::size_t written = 0;
    EXPECT_EQ(device_.Write("xyz", 3, written), SerialDevice::WriteOutcome::Done);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(pty_.Read(3), "xyz");
}

// With a receive queue the wait moves the driver's bytes into it and reads
// take them from there, in arrival order, also when the queue was full and
// the driver kept the rest; a resize or a purge keeps or drops them whole.
TEST_F(SerialDeviceTest, AWaitFillsTheReceiveQueueAndReadsKeepArrivalOrder)
{
    ASSERT_TRUE(device_.SetupQueues(16, 0));
    ASSERT_TRUE(device_.SetMask(platform::EvRxChar));
    std::uint32_t errors = 0;
    platform::CommStatus status;
    // Every byte counts once, whether it sits in the queue or the driver.
    const auto waitFor = [&](std::uint32_t total) {
        for (;;) {
            if (!device_.ClearErrors(errors, &status) || status.inQueue >= total)
                return status.inQueue;
            std::uint32_t events = 0;
            if (!device_.WaitEvent(events) || events != platform::EvRxChar)
                return 0u;
        }
    };
    char buffer[64];
    std::size_t got = 0;
    // Reads what the queue holds; waits for the wait to move in the rest.
    const auto readAll = [&](std::size_t n, std::size_t piece) {
        std::string all;
        while (all.size() < n) {
            if (!device_.Read(buffer, std::min(piece, n - all.size()), got))
                break;
            all.append(buffer, got);
            std::uint32_t events = 0;
            if (all.size() < n && got == 0 && !device_.WaitEvent(events))
                break;
        }
        return all;
    };
    const std::string data = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    pty_.Write(data);
    ASSERT_EQ(waitFor(40), 40u);
    ASSERT_TRUE(device_.Read(buffer, 5, got));
    EXPECT_EQ(std::string(buffer, got), "01234");
    EXPECT_EQ(readAll(35, 7), data.substr(5));

    pty_.Write("KLMNOPQRST");
    ASSERT_EQ(waitFor(10), 10u);
    ASSERT_TRUE(device_.SetupQueues(4, 0)); // smaller than what it holds
    EXPECT_EQ(readAll(10, sizeof buffer), "KLMNOPQRST");

    pty_.Write("zz");
    ASSERT_EQ(waitFor(2), 2u);
    ASSERT_TRUE(device_.Purge(platform::PurgeRxAbort | platform::PurgeRxClear));
    ASSERT_TRUE(device_.ClearErrors(errors, &status));
    EXPECT_EQ(status.inQueue, 0u);
    ASSERT_TRUE(device_.Read(buffer, sizeof buffer, got));
    EXPECT_EQ(got, 0u);
    pty_.Write("!");
    ASSERT_EQ(waitFor(1), 1u);
    EXPECT_EQ(readAll(1, sizeof buffer), "!");
}

TEST_F(SerialDeviceTest, AWaitReportsNewBytesOnlyNotBytesLeftUnread)
{
    ASSERT_TRUE(device_.SetMask(platform::EvRxChar));
    pty_.Write("123");
    std::uint32_t events = 0;
    ASSERT_TRUE(device_.WaitEvent(events));
    EXPECT_EQ(events, platform::EvRxChar);

    // The three bytes stay unread (a full buffer upstream): the next wait
    // must sleep until a fourth comes, not report the same three again.
    std::thread late([this] {
        platform::Sleep(30);
        pty_.Write("4");
    });
    const bool woke = device_.WaitEvent(events);
    std::uint32_t errors = 0;
    platform::CommStatus status;
    const bool counted = device_.ClearErrors(errors, &status);
    late.join();
    ASSERT_TRUE(woke);
    EXPECT_EQ(events, platform::EvRxChar);
    ASSERT_TRUE(counted);
    EXPECT_EQ(status.inQueue, 4u) << "woke before the new byte came";

    // A purge of the input forgets them; new bytes are news again.
    ASSERT_TRUE(device_.Purge(platform::PurgeRxAbort | platform::PurgeRxClear));
    ASSERT_TRUE(device_.ClearErrors(errors, &status));
    EXPECT_EQ(status.inQueue, 0u);
    pty_.Write("5");
    ASSERT_TRUE(device_.WaitEvent(events));
    EXPECT_EQ(events, platform::EvRxChar);
}

// A reader that needs ten bytes is woken once for a reply whose bytes come
// at the line's rate, and still gets a shorter one once the line is quiet.
TEST_F(SerialDeviceTest, AReaderNeedingABatchIsWokenForItNotForEachByte)
{
    ASSERT_TRUE(device_.SetupQueues(64, 0));
    ASSERT_TRUE(device_.SetMask(platform::EvRxChar));
    platform::DeviceControl line;
    ASSERT_TRUE(device_.GetState(line));
    line.baudRate = 1200; // 8.3 ms a byte: the rest of ten is 75 ms away
    ASSERT_TRUE(device_.SetState(line));
    device_.SetReceiveBatch(10);
    std::uint32_t errors = 0;
    platform::CommStatus status;

    std::thread paced([this] {
        pty_.Write("A");
        platform::Sleep(5);
        pty_.Write("123456789");
    });
    std::uint32_t events = 0;
    const bool woke = device_.WaitEvent(events);
    const bool counted = device_.ClearErrors(errors, &status);
    paced.join();
    ASSERT_TRUE(woke);
    EXPECT_EQ(events, platform::EvRxChar);
    ASSERT_TRUE(counted);
    EXPECT_EQ(status.inQueue, 10u) << "woken before the reply was in";

    ASSERT_TRUE(device_.Purge(platform::PurgeRxAbort | platform::PurgeRxClear));
    pty_.Write("xyz");
    ASSERT_TRUE(device_.WaitEvent(events));
    EXPECT_EQ(events, platform::EvRxChar);
    ASSERT_TRUE(device_.ClearErrors(errors, &status));
    EXPECT_EQ(status.inQueue, 3u);
}

TEST_F(SerialDeviceTest, AMaskChangeOrACloseEndsAPendingWait)
{
    std::uint32_t events = 0;
    EXPECT_FALSE(device_.WaitEvent(events)); // no mask: nothing could end it
    EXPECT_EQ(platform::GetLastError(), platform::ErrorInvalidParameter);
    EXPECT_FALSE(device_.SetMask(0x10000));
    EXPECT_EQ(platform::GetLastError(), platform::ErrorInvalidParameter);

    ASSERT_TRUE(device_.SetMask(platform::EvRxChar));
    {
        PendingWait wait(device_);
        // A change made before the wait began does not end it: repeat until it has.
        while (!wait.done.Wait(5))
            device_.SetMask(platform::EvRxChar | platform::EvCts);
        wait.Join();
        EXPECT_TRUE(wait.ok);
        EXPECT_EQ(wait.events, 0u);
    }
    {
        // Clearing the mask ends a wait as well; one that begins after the
        // clear fails at once instead of sleeping for ever.
        PendingWait wait(device_);
        while (!wait.done.Wait(5))
            device_.SetMask(0);
        wait.Join();
        EXPECT_TRUE((wait.ok && wait.events == 0) ||
                    (!wait.ok && wait.error == platform::ErrorInvalidParameter))
            << wait.ok << " " << wait.events << " " << wait.error;
        EXPECT_EQ(device_.GetMask(), 0u);
    }

    ASSERT_TRUE(device_.SetMask(platform::EvRxChar));
    PendingWait wait(device_);
    ASSERT_TRUE(device_.Close());
    wait.Join();
    EXPECT_FALSE(wait.ok);
    EXPECT_TRUE(wait.error == platform::ErrorOperationAborted ||
                wait.error == platform::ErrorInvalidHandle)
        << wait.error;
    EXPECT_FALSE(device_.WaitEvent(events));
    EXPECT_EQ(platform::GetLastError(), platform::ErrorInvalidHandle);
}

TEST_F(SerialDeviceTest, AClosedMasterEndsTheWaitWithAFailureAndNothingSpins)
{
    ASSERT_TRUE(device_.SetMask(platform::EvRxChar | platform::EvCts | platform::EvDsr |
                                platform::EvRlsd | platform::EvErr | platform::EvRing));
    {
        PendingWait wait(device_);
        pty_.CloseMaster();
        wait.Join();
        EXPECT_FALSE(wait.ok);
        EXPECT_EQ(wait.error, platform::ErrorDeviceNotConnected);
    }

    // A receive loop that, like the serial threads, passes a failed wait on
    // and comes back after the 50 ms pass: over a second it must stay idle.
    std::atomic<int> failures{0};
    std::atomic<bool> allGone{true};
    double cpuMs = 0;
    std::thread receiver([&] {
        Event ready(Event::Kind::AutoReset);
        const double start = ThreadCpuMs();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (std::chrono::steady_clock::now() < end) {
            std::uint32_t events = 0;
            if (!device_.WaitEvent(events)) {
                ++failures;
                allGone = allGone && platform::GetLastError() == platform::ErrorDeviceNotConnected;
                ready.Wait(50);
            }
        }
        cpuMs = ThreadCpuMs() - start;
    });
    receiver.join();
    EXPECT_GE(failures.load(), 5);
    EXPECT_TRUE(allGone.load());
    EXPECT_LT(cpuMs, 100.0) << "the waits burn the processor";

    std::uint32_t value = 0;
    EXPECT_FALSE(device_.GetModemStatus(value));
    EXPECT_EQ(platform::GetLastError(), platform::ErrorDeviceNotConnected);
    std::size_t written = 0;
    EXPECT_EQ(device_.Write("x", 1, written), SerialDevice::WriteOutcome::Failed);
    EXPECT_TRUE(device_.Close());
}

TEST(SerialDeviceGone, AMasterClosedBeforeTheFirstWaitFailsItAtOnce)
{
    testutil::PtyPair pty;
    testutil::ComDir com;
    com.Link(1, pty.SlavePath());
    SerialDevice device;
    ASSERT_TRUE(device.Open(Com1));
    ASSERT_TRUE(device.SetMask(platform::EvRxChar));
    pty.CloseMaster();
    std::uint32_t events = 0;
    EXPECT_FALSE(device.WaitEvent(events));
    EXPECT_EQ(platform::GetLastError(), platform::ErrorDeviceNotConnected);
    std::size_t written = 0;
    EXPECT_EQ(device.Write("x", 1, written), SerialDevice::WriteOutcome::Failed);
    EXPECT_EQ(platform::GetLastError(), platform::ErrorDeviceNotConnected);
}

TEST_F(SerialDeviceTest, LineSettingsRoundTripThroughTermios)
{
    using namespace platform;
    const std::uint32_t flowCases[] = {
        DcbBinary | DtrControlEnable | RtsControlEnable,
        DcbBinary | DtrControlDisable | RtsControlDisable,
        DcbBinary | DcbOutxCtsFlow | DtrControlEnable | RtsControlEnable,
        DcbBinary | DtrControlHandshake | RtsControlHandshake,
        DcbBinary | DcbOutX | DcbInX | DtrControlEnable | RtsControlDisable,
        DcbBinary | DcbOutxCtsFlow | DcbOutX | RtsControlHandshake,
    };
    int checked = 0;
    for (const std::uint32_t baud : {300u, 9600u, 115200u, 12345u, 250000u})
        for (std::uint8_t bits = 5; bits <= 8; ++bits)
            for (std::uint8_t parity = 0; parity <= 4; ++parity)
                for (const std::uint8_t stop : {OneStopBit, One5StopBits, TwoStopBits})
                    for (const std::uint32_t flags : flowCases) {
                        DeviceControl set;
                        set.baudRate = baud;
                        set.byteSize = bits;
                        set.parity = parity;
                        set.stopBits = stop;
                        set.flags = flags;
                        set.xonChar = static_cast<std::uint8_t>(0x11 + parity);
                        set.xoffChar = static_cast<std::uint8_t>(0x13 + bits);
                        set.xonLim = static_cast<std::uint16_t>(100 + bits);
                        set.xoffLim = static_cast<std::uint16_t>(200 + parity);
                        ASSERT_TRUE(device_.SetState(set)) << GetLastError();
                        DeviceControl got;
                        ASSERT_TRUE(device_.GetState(got));
                        ASSERT_EQ(got, set)
                            << "baud " << baud << " bits " << int(bits) << " parity " << int(parity)
                            << " stop " << int(stop) << " flags " << flags;
                        ++checked;
                    }
    EXPECT_EQ(checked, 5 * 4 * 5 * 3 * 6);

    // Values the device cannot take change nothing.
    DeviceControl before;
    ASSERT_TRUE(device_.GetState(before));
    for (const auto& change : std::vector<void (*)(DeviceControl&)>{
             [](DeviceControl& d) { d.baudRate = 0; },
             [](DeviceControl& d) { d.byteSize = 4; },
             [](DeviceControl& d) { d.byteSize = 9; },
             [](DeviceControl& d) { d.parity = 5; },
             [](DeviceControl& d) { d.stopBits = 3; },
             // RTS toggle needs the kernel's RS-485 mode, which a pty has not.
             [](DeviceControl& d) { d.flags = DcbBinary | RtsControlToggle; },
             // Linux has no output flow on DSR.
             [](DeviceControl& d) { d.flags |= DcbOutxDsrFlow; },
         }) {
        DeviceControl bad = before;
        change(bad);
        bad.xonChar = 0x01;
        EXPECT_FALSE(device_.SetState(bad));
        EXPECT_EQ(GetLastError(), ErrorInvalidParameter);
        DeviceControl now;
        ASSERT_TRUE(device_.GetState(now));
        EXPECT_EQ(now, before);
    }
    EXPECT_FALSE(device_.Rs485Supported());
    EXPECT_EQ(GetLastError(), ErrorBadCommand);
}

TEST_F(SerialDeviceTest, ModemAndErrorQueriesOnAPtyReadAsNothingChanged)
{
    using namespace platform;
    EXPECT_FALSE(device_.HasModemLines());
    std::uint32_t modem = 0xFF;
    ASSERT_TRUE(device_.GetModemStatus(modem));
    EXPECT_EQ(modem, 0u);
    for (const std::uint32_t f : {EscSetDtr, EscClrDtr, EscSetRts, EscClrRts, EscSetBreak,
                                  EscClrBreak, EscSetXoff, EscSetXon})
        EXPECT_TRUE(device_.Escape(f)) << f;
    EXPECT_FALSE(device_.Escape(10));
    EXPECT_EQ(GetLastError(), ErrorInvalidParameter);

    // Every line event asked for: still only data ends the wait.
    ASSERT_TRUE(device_.SetMask(EvRxChar | EvCts | EvDsr | EvRlsd | EvBreak | EvErr | EvRing |
                                EvRingTrailingEdge));
    pty_.Write("hello");
    std::uint32_t events = 0;
    ASSERT_TRUE(device_.WaitEvent(events));
    EXPECT_EQ(events, EvRxChar);
    std::uint32_t errors = 0xFF;
    CommStatus status;
    ASSERT_TRUE(device_.ClearErrors(errors, &status));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(status.inQueue, 5u);
    EXPECT_EQ(status.outQueue, 0u);

    ASSERT_TRUE(device_.SetupQueues(4096, 2048));
    std::uint32_t in = 0;
    std::uint32_t out = 0;
    device_.QueueSizes(in, out);
    EXPECT_EQ(in, 4096u);
    EXPECT_EQ(out, 2048u);
    EXPECT_FALSE(device_.Purge(0x10));
    EXPECT_EQ(GetLastError(), ErrorInvalidParameter);
}

TEST_F(SerialDeviceTest, AWriteWaitingForRoomIsAbandonedByAFlushAPurgeOrAClose)
{
    const std::string big(1 << 20, 'x'); // far more than the pty buffers
    std::size_t written = 0;

    // The flush signal: consumed by the write it abandons.
    Event flush(Event::Kind::AutoReset);
    flush.Set();
    EXPECT_EQ(device_.Write(big.data(), big.size(), written, &flush),
              SerialDevice::WriteOutcome::Abandoned);
    EXPECT_EQ(platform::GetLastError(), platform::ErrorOperationAborted);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    EXPECT_FALSE(flush.Wait(0));
    ASSERT_TRUE(device_.Purge(platform::PurgeTxAbort | platform::PurgeTxClear));
    pty_.Drain();

    // A write that finishes leaves the flush signal for its owner.
    flush.Set();
    EXPECT_EQ(device_.Write("ok", 2, written, &flush), SerialDevice::WriteOutcome::Done);
    EXPECT_TRUE(flush.Wait(0));
    EXPECT_EQ(pty_.Read(2), "ok");

    // A purge made before a write does not abandon it; one made while it waits does.
    ASSERT_TRUE(device_.Purge(platform::PurgeTxAbort));
    std::atomic<int> outcome{-1};
    {
        Event done(Event::Kind::ManualReset);
        std::thread writer([&] {
            std::size_t n = 0;
            outcome = static_cast<int>(device_.Write(big.data(), big.size(), n));
            done.Set();
        });
        while (!done.Wait(5))
            device_.Purge(platform::PurgeTxAbort);
        writer.join();
        EXPECT_EQ(outcome.load(), static_cast<int>(SerialDevice::WriteOutcome::Abandoned));
    }
    ASSERT_TRUE(device_.Purge(platform::PurgeTxClear));
    pty_.Drain();

    {
        std::thread writer([&] {
            std::size_t n = 0;
            outcome = static_cast<int>(device_.Write(big.data(), big.size(), n));
        });
        ASSERT_TRUE(device_.Close()); // waits for the writer to leave
        writer.join();
        EXPECT_NE(outcome.load(), static_cast<int>(SerialDevice::WriteOutcome::Done));
    }
}

TEST_F(SerialDeviceTest, ThreadsUsingTheDeviceEndCleanlyWhenItCloses)
{
    ASSERT_TRUE(device_.SetMask(platform::EvRxChar | platform::EvErr));
    std::atomic<std::size_t> received{0};
    std::thread receive([&] {
        std::uint32_t events = 0;
        while (device_.WaitEvent(events)) {
            char buffer[256];
            std::size_t got = 0;
            while (device_.Read(buffer, sizeof buffer, got) && got > 0)
                received += got;
        }
    });
    std::thread transmit([&] {
        std::size_t n = 0;
        while (device_.Write("0123456789", 10, n) == SerialDevice::WriteOutcome::Done) {
            std::uint32_t errors = 0;
            device_.ClearErrors(errors);
        }
    });
    std::atomic<bool> stopDrain{false};
    std::thread drain([&] {
        while (!stopDrain)
            pty_.Drain();
    });
    for (int i = 0; i < 200; ++i)
        pty_.Write("ping");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (received.load() < 800 && std::chrono::steady_clock::now() < deadline)
        platform::Sleep(1);
    ASSERT_TRUE(device_.Close());
    receive.join();
    transmit.join();
    stopDrain = true;
    drain.join();
    EXPECT_EQ(received.load(), 800u);
}
