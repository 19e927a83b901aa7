// The dispatcher on a pseudo-terminal beside a plain poll+read loop on the
// same pty: latency from the last byte written to the master until the
// notified handler on the Qt main thread has read it, sustained receive
// throughput with the CPU time it costs per MiB (the whole process, the
// writer included on both sides), the same for transmitting through a
// transmit ring whose blocks wrap around its end, and the CPU time of an
// open idle port.
//
// Usage: serwin32_bench [--idle-seconds N]   (default 10)
#include "eventloop.h"
#include "platform/Sync.h"
#include "pty.h"
#include "serial/SerWin32.h"
#include "stats.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using bench::Micros;
using bench::Percentile;
using bench::Pty;

using Clock = std::chrono::steady_clock;
constexpr int Samples = 1000;
constexpr int WarmUp = 50;
constexpr std::size_t ThroughputBytes = 16u << 20;
// Transmit blocks do not divide the ring, so that most of them wrap.
constexpr std::uint32_t TransmitRing = 4096;
constexpr std::size_t TransmitBlock = 1000;

// The dispatcher with a window on the main thread that reads every notice.
struct DispatcherSide {
    explicit DispatcherSide(std::function<void(std::uint32_t)> onRead, std::uint32_t outSize = 4096)
        : onRead(std::move(onRead))
    {
        if (d.OpenDispatcher("\\\\.\\COM7", 115200, 0, 8, 1, 4096, outSize, 3) != 0) {
            std::fprintf(stderr, "dispatcher open failed\n");
            std::exit(1);
        }
        window = platform::CreateMessageWindow(
            [this](std::uint32_t msg, std::uintptr_t wParam, std::intptr_t) -> std::intptr_t {
                if (msg == TriggerAvailMsg && wParam > 0) {
                    const auto n = static_cast<std::uint32_t>(wParam);
                    buffer.resize(std::max<std::size_t>(buffer.size(), n));
                    if (d.ReadBlock(buffer.data(), n) == static_cast<int>(n))
                        this->onRead(n);
                }
                return 0;
            });
        d.AddWindowHandler(window);
        d.UpdateHandlerFlags(TSerBaseDispatcher::THandlerFlags::ComponentOn);
        d.SetAvailLevel(1);
    }
    ~DispatcherSide()
    {
        d.CloseDispatcher();
        platform::DestroyMessageWindow(window);
    }
    TSerWin32Dispatcher d{nullptr};
    platform::WindowHandle window = 0;
    std::vector<std::uint8_t> buffer;
    std::function<void(std::uint32_t)> onRead;
};

// A plain reader: poll and read on its own thread.
struct PlainSide {
    PlainSide(const std::string& path, std::function<void(std::uint32_t)> onRead)
    {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
        reader = std::thread([this, onRead] {
            std::vector<char> buffer(65536);
            while (!stop.load()) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0)
                    continue;
                const ssize_t n = ::read(fd, buffer.data(), buffer.size());
                if (n > 0)
                    onRead(static_cast<std::uint32_t>(n));
            }
        });
    }
    ~PlainSide()
    {
        stop = true;
        reader.join();
        ::close(fd);
    }
    int fd = -1;
    std::atomic<bool> stop{false};
    std::thread reader;
};

std::vector<double> Latency(const Pty& pty, bool dispatcher)
{
    std::atomic<std::int64_t> readAt{0};
    platform::Event got(platform::Event::Kind::AutoReset);
    auto onRead = [&](std::uint32_t) {
        readAt = Clock::now().time_since_epoch().count();
        got.Set();
    };
    std::vector<double> us;
    auto work = [&] {
        for (int i = 0; i < Samples + WarmUp; ++i) {
            platform::Sleep(1);
            const auto t0 = Clock::now();
            pty.WriteAll("x", 1);
            if (!got.Wait(2000))
                continue;
            if (i >= WarmUp)
                us.push_back(Micros(Clock::duration(readAt.load()) - t0.time_since_epoch()));
        }
    };
    if (dispatcher) {
        DispatcherSide side(onRead);
        bench::RunWhile(work);
    } else {
        PlainSide side(pty.slave, onRead);
        work();
    }
    return us;
}

double CpuSeconds();

struct Rate {
    double mibPerSecond = 0;
    double cpuMsPerMib = 0;
};

Rate Throughput(const Pty& pty, bool dispatcher)
{
    std::atomic<std::size_t> received{0};
    platform::Event all(platform::Event::Kind::ManualReset);
    auto onRead = [&](std::uint32_t n) {
        if (received.fetch_add(n) + n >= ThroughputBytes)
            all.Set();
    };
    double seconds = 0;
    const double cpu0 = CpuSeconds();
    auto work = [&] {
        const std::string block(4096, 'T');
        const auto t0 = Clock::now();
        for (std::size_t sent = 0; sent < ThroughputBytes; sent += block.size())
            pty.WriteAll(block.data(), block.size());
        all.Wait(30000);
        seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    };
    if (dispatcher) {
        DispatcherSide side(onRead);
        bench::RunWhile(work);
    } else {
        PlainSide side(pty.slave, onRead);
        work();
    }
    const double mib = static_cast<double>(received.load()) / (1 << 20);
    return {mib / seconds, 1000.0 * (CpuSeconds() - cpu0) / std::max(1e-9, mib)};
}

// Bytes written to the slave (through the dispatcher's transmit ring, or
// by plain writes) until the master has read them all.
Rate TransmitThroughput(const Pty& pty, bool dispatcher)
{
    std::atomic<bool> stop{false};
    std::size_t received = 0;
    std::thread reader([&] {
        std::vector<char> buffer(65536);
        while (received < ThroughputBytes && !stop.load()) {
            pollfd p{pty.master, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = ::read(pty.master, buffer.data(), buffer.size());
            if (n > 0)
                received += static_cast<std::size_t>(n);
        }
    });
    const std::vector<std::uint8_t> block(TransmitBlock, 'R');
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    if (dispatcher) {
        DispatcherSide side([](std::uint32_t) {}, TransmitRing);
        for (std::size_t sent = 0; sent < ThroughputBytes; sent += block.size()) {
            // A full ring refuses the block whole; the transmitter makes room.
            while (side.d.WriteBlock(block.data(), static_cast<std::uint32_t>(block.size())) != 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        reader.join();
    } else {
        const int fd = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
        for (std::size_t sent = 0; sent < ThroughputBytes;) {
            const ssize_t w = ::write(fd, block.data(), block.size());
            if (w > 0) {
                sent += static_cast<std::size_t>(w);
            } else {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
        reader.join();
        ::close(fd);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    stop = true;
    const double mib = static_cast<double>(received) / (1 << 20);
    return {mib / seconds, 1000.0 * (CpuSeconds() - cpu0) / std::max(1e-9, mib)};
}

double CpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double IdleCpuPercent(int seconds)
{
    DispatcherSide side([](std::uint32_t) {});
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    loop.exec();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return 100.0 * (CpuSeconds() - cpu0) / wall;
}

} // namespace

int main(int argc, char** argv)
{
    int idleSeconds = 10;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--idle-seconds") == 0 && i + 1 < argc)
            idleSeconds = std::max(1, std::atoi(argv[++i]));
    }
    QCoreApplication app(argc, argv);
    Pty pty;

    // Alternating rounds, so that drift on a shared machine hits both sides.
    std::vector<double> dispUs, plainUs;
    double dispMb = 0, plainMb = 0, dispCpu = 0, plainCpu = 0;
    double dispTxMb = 0, plainTxMb = 0, dispTxCpu = 0, plainTxCpu = 0;
    for (int round = 0; round < 2; ++round) {
        auto d = Latency(pty, true);
        auto p = Latency(pty, false);
        dispUs.insert(dispUs.end(), d.begin(), d.end());
        plainUs.insert(plainUs.end(), p.begin(), p.end());
        const Rate d2 = Throughput(pty, true);
        const Rate p2 = Throughput(pty, false);
        dispMb += d2.mibPerSecond / 2;
        plainMb += p2.mibPerSecond / 2;
        dispCpu += d2.cpuMsPerMib / 2;
        plainCpu += p2.cpuMsPerMib / 2;
        const Rate d3 = TransmitThroughput(pty, true);
        const Rate p3 = TransmitThroughput(pty, false);
        dispTxMb += d3.mibPerSecond / 2;
        plainTxMb += p3.mibPerSecond / 2;
        dispTxCpu += d3.cpuMsPerMib / 2;
        plainTxCpu += p3.cpuMsPerMib / 2;
    }
    const double idle = IdleCpuPercent(idleSeconds);

    std::printf("%-48s %10s %10s %8s\n", "receive latency (microseconds)", "p50", "p99", "n");
    std::printf("%-48s %10.1f %10.1f %8zu\n", "dispatcher -> handler on Qt main thread",
                Percentile(dispUs, 0.5), Percentile(dispUs, 0.99), dispUs.size());
    std::printf("%-48s %10.1f %10.1f %8zu\n", "plain poll+read loop", Percentile(plainUs, 0.5),
                Percentile(plainUs, 0.99), plainUs.size());
    std::printf("%-48s %10.2f %10.2f\n", "ratio dispatcher / plain",
                Percentile(dispUs, 0.5) / std::max(1e-9, Percentile(plainUs, 0.5)),
                Percentile(dispUs, 0.99) / std::max(1e-9, Percentile(plainUs, 0.99)));
    std::printf("\n%-48s %10s %10s\n", "receive throughput (16 MiB)", "MiB/s", "CPU ms/MiB");
    std::printf("%-48s %10.1f %10.2f\n", "dispatcher", dispMb, dispCpu);
    std::printf("%-48s %10.1f %10.2f\n", "plain poll+read loop", plainMb, plainCpu);
    std::printf("%-48s %10.2f %10.2f\n", "ratio dispatcher / plain",
                dispMb / std::max(1e-9, plainMb), dispCpu / std::max(1e-9, plainCpu));
    std::printf("\n%-48s %10s %10s\n", "transmit throughput (16 MiB, wrapping ring)", "MiB/s",
                "CPU ms/MiB");
    std::printf("%-48s %10.1f %10.2f\n", "dispatcher", dispTxMb, dispTxCpu);
    std::printf("%-48s %10.1f %10.2f\n", "plain write loop", plainTxMb, plainTxCpu);
    std::printf("%-48s %10.2f %10.2f\n", "ratio dispatcher / plain",
                dispTxMb / std::max(1e-9, plainTxMb), dispTxCpu / std::max(1e-9, plainTxCpu));
    std::printf(
        "\n%-48s %10.3f %%\n",
        ("idle open port, CPU of one core over " + std::to_string(idleSeconds) + " s").c_str(),
        idle);
    return 0;
}
