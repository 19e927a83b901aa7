// The polling cycle against the simulated meter with no reply delay: the
// period between consecutive measurement requests (p50, p99, max) beside the
// ideal of the 100 ms pause: a pty moves the request and the reply without
// line time, which on a 9600 baud line would add 13.5 ms.
//
// Usage: ert_bench [--cycles N]   (default 80)
#include "instrument-sim/comlink.h"
#include "instrument-sim/simulator.h"
#include "link/ert.h"
#include "protocol/reply.h"
#include "serial/SerPort.h"
#include "stats.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    int cycles = 80;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--cycles") == 0) {
            cycles = std::max(2, std::atoi(argv[i + 1]));
        }
    }
    QCoreApplication app(argc, argv);

    std::string pattern = (std::filesystem::temp_directory_path() / "ert-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path dir = pattern;
    ::setenv("VELMOR_COM_DIR", dir.c_str(), 1);

    sim::Simulator simulator(sim::Config{});
    simulator.Start();
    int result = 0;
    {
        sim::ComLink link(dir, 1, simulator.Path());
        TSerComPort port;
        port.SetComNumber(1);
        port.SetBaud(9600);
        QTimer interval;
        QTimer timeout;
        interval.setInterval(100);
        timeout.setInterval(500);
        interval.setTimerType(Qt::PreciseTimer);
        timeout.setTimerType(Qt::PreciseTimer);
        TExchange engine(port, interval, timeout);
        QObject::connect(&interval, &QTimer::timeout, [&] { engine.IntervalTick(); });
        QObject::connect(&timeout, &QTimer::timeout, [&] { engine.Wake(); });
        port.SetOnTrigger([&](TSerCustomComPort*, std::uint16_t, std::uint16_t, std::uint16_t) {
            engine.PortTrigger();
        });
        engine.SetApplyReply([&](const ReplyDecision& d) {
            if (d.startInterval && !interval.isActive()) {
                interval.start();
            }
            if (d.measuring) {
                engine.PollState = 3;
            }
        });
        engine.Start();
        engine.PollState = 3;
        engine.SendRequest(Command::ReadMeasurement);
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (simulator.Requests().size() >= static_cast<std::size_t>(cycles) + 1) {
                QCoreApplication::quit();
            }
        });
        watch.start(20);
        QTimer::singleShot(cycles * 400 + 5000, [] { QCoreApplication::exit(2); });
        result = QCoreApplication::exec();
        engine.StopPolling();
        engine.Shutdown();
        port.SetOpen(false);
    }
    simulator.Stop();
    std::filesystem::remove_all(dir);
    if (result != 0) {
        std::printf("the cycle stalled\n");
        return 1;
    }

    std::vector<double> periods;
    const auto requests = simulator.Requests();
    for (std::size_t i = 1; i < requests.size(); ++i) {
        periods.push_back(
            std::chrono::duration<double, std::milli>(requests[i].time - requests[i - 1].time)
                .count());
    }
    const auto at = [&](double q) { return bench::Percentile(periods, q); };
    const double ideal = 100.0;
    std::printf("measurement request period over %zu cycles: p50 %.2f ms, p99 %.2f ms, max %.2f ms"
                " (ideal %.2f ms)\n",
                periods.size(), at(0.5), at(0.99), at(1.0), ideal);
    return 0;
}
