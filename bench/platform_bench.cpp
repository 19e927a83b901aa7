// Latency of the platform layer, each beside a plain baseline in the same
// run: a byte from a pseudo-terminal master to the end of the device's event
// wait (against poll+read on the same pty), ending a pending wait, an
// event's Set to a thread blocked in its Wait, and a message to the
// user-interface thread (against Qt's own queued call).
#include "platform/MessageWindow.h"
#include "platform/SerialDevice.h"
#include "platform/Sync.h"
#include "pty.h"
#include "stats.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using bench::Micros;
using bench::Percentile;
using bench::Pty;

using Clock = std::chrono::steady_clock;
constexpr int Samples = 2000;
constexpr int WarmUp = 50;

struct Row {
    std::string name;
    std::vector<double> us;
};

void Print(const std::vector<Row>& rows)
{
    std::printf("%-52s %10s %10s %6s\n", "measure (microseconds)", "p50", "p99", "n");
    for (const Row& r : rows)
        std::printf("%-52s %10.1f %10.1f %6zu\n", r.name.c_str(), Percentile(r.us, 0.5),
                    Percentile(r.us, 0.99), r.us.size());
}

// Writes one byte at a time to the master and records how long after each
// write the receiver, which sets `got`, noted its wake-up in `woke`.
void SampleWakeups(const Pty& pty, Row& row, int samples, platform::Event& got,
                   const Clock::time_point& woke)
{
    for (int i = 0; i < samples + WarmUp; ++i) {
        const auto sent = Clock::now();
        pty.WriteAll("x", 1);
        got.Wait();
        if (i >= WarmUp)
            row.us.push_back(Micros(woke - sent));
    }
}

// A byte from the master until a plain poll()+read() on the slave returns.
void PlainPoll(const Pty& pty, Row& row, int samples)
{
    const int fd = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    platform::Event got(platform::Event::Kind::AutoReset);
    std::atomic<bool> stop{false};
    Clock::time_point woke;
    std::thread reader([&] {
        char buffer[64];
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            woke = Clock::now();
            while (::read(fd, buffer, sizeof buffer) > 0) {
            }
            got.Set();
        }
    });
    SampleWakeups(pty, row, samples, got, woke);
    stop = true;
    reader.join();
    ::close(fd);
}

// The same through the device: receive thread in WaitEvent, reads after it.
void DeviceData(const Pty& pty, Row& row, int samples)
{
    platform::SerialDevice device;
    if (!device.Open(pty.slave)) {
        std::fprintf(stderr, "open failed\n");
        std::exit(1);
    }
    device.SetMask(platform::EvRxChar);
    platform::Event got(platform::Event::Kind::AutoReset);
    std::atomic<bool> stop{false};
    Clock::time_point woke;
    std::thread receiver([&] {
        char buffer[64];
        std::uint32_t events = 0;
        while (!stop && device.WaitEvent(events)) {
            woke = Clock::now();
            std::size_t n = 0;
            device.Read(buffer, sizeof buffer, n);
            got.Set();
        }
    });
    SampleWakeups(pty, row, samples, got, woke);
    stop = true;
    device.SetMask(0);
    receiver.join();
}

// Ending a pending wait. One waiter thread throughout (a new thread would
// start with a scheduling handicap); it is given a moment to fall asleep, so
// that the mask change or the close hits a wait that is really pending.
std::vector<Row> DeviceCancel(const Pty& pty)
{
    Row cancel{"SetMask(0) -> pending WaitEvent returns", {}};
    Row close{"Close -> pending WaitEvent returns", {}};
    platform::SerialDevice* device = nullptr;
    platform::Event go(platform::Event::Kind::AutoReset);
    platform::Event back(platform::Event::Kind::AutoReset);
    Clock::time_point ended;
    std::thread waiter([&] {
        for (;;) {
            go.Wait();
            if (device == nullptr)
                return;
            std::uint32_t events = 0;
            device->WaitEvent(events);
            ended = Clock::now();
            back.Set();
        }
    });
    for (int i = 0; i < 200; ++i) {
        platform::SerialDevice d;
        d.Open(pty.slave);
        device = &d;
        for (const bool byClose : {false, true}) {
            d.SetMask(platform::EvRxChar);
            go.Set();
            platform::Sleep(2);
            const auto asked = Clock::now();
            byClose ? static_cast<void>(d.Close()) : static_cast<void>(d.SetMask(0));
            back.Wait();
            (byClose ? close : cancel).us.push_back(Micros(ended - asked));
        }
    }
    device = nullptr;
    go.Set();
    waiter.join();
    return {cancel, close};
}

// Two threads hand an auto-reset event back and forth; the row is from the
// Set until the other thread's Wait returns. The other thread is asleep by
// then: each side waits for the other's answer before it sets again.
Row EventWakeups()
{
    Row row{"Event::Set -> Wait returns (other thread)", {}};
    platform::Event ping(platform::Event::Kind::AutoReset);
    platform::Event pong(platform::Event::Kind::AutoReset);
    std::atomic<std::int64_t> woke{0};
    std::thread other([&] {
        for (int i = 0; i < Samples + WarmUp; ++i) {
            ping.Wait();
            woke = Clock::now().time_since_epoch().count();
            pong.Set();
        }
    });
    for (int i = 0; i < Samples + WarmUp; ++i) {
        platform::Sleep(1); // so that the other thread is really asleep
        const auto set = Clock::now();
        ping.Set();
        pong.Wait();
        if (i >= WarmUp)
            row.us.push_back(Micros(Clock::time_point(Clock::duration(woke.load())) - set));
    }
    other.join();
    return row;
}

// Messages to the main thread while it runs QCoreApplication::exec().
std::vector<Row> UiMessages()
{
    Row sendIn{"send -> UI thread procedure runs (Qt loop)", {}};
    Row sendTrip{"send -> send returns (Qt loop)", {}};
    Row post{"post -> UI thread procedure runs (Qt loop)", {}};
    Row qt{"Qt queued invokeMethod -> UI thread (plain Qt)", {}};
    int argc = 1;
    char name[] = "platform_bench";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

    std::atomic<std::int64_t> entered{0};
    platform::Event ran(platform::Event::Kind::AutoReset);
    const platform::WindowHandle w =
        platform::CreateMessageWindow([&](std::uint32_t msg, std::uintptr_t, std::intptr_t) {
            entered = Clock::now().time_since_epoch().count();
            if (msg == 2)
                ran.Set();
            return std::intptr_t{0};
        });
    const auto since = [&](Clock::time_point t) {
        return Micros(Clock::time_point(Clock::duration(entered.load())) - t);
    };
    std::thread worker([&] {
        for (int i = 0; i < Samples + WarmUp; ++i) {
            const auto start = Clock::now();
            platform::SendMessageTimeout(w, 1, 0, 0, 3000);
            const auto back = Clock::now();
            if (i >= WarmUp) {
                sendIn.us.push_back(since(start));
                sendTrip.us.push_back(Micros(back - start));
            }
        }
        for (int i = 0; i < Samples + WarmUp; ++i) {
            const auto start = Clock::now();
            platform::PostMessage(w, 2, 0, 0);
            ran.Wait();
            if (i >= WarmUp)
                post.us.push_back(since(start));
        }
        for (int i = 0; i < Samples + WarmUp; ++i) {
            const auto start = Clock::now();
            QMetaObject::invokeMethod(
                &app,
                [&] {
                    entered = Clock::now().time_since_epoch().count();
                    ran.Set();
                },
                Qt::QueuedConnection);
            ran.Wait();
            if (i >= WarmUp)
                qt.us.push_back(since(start));
        }
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    app.exec();
    worker.join();
    platform::DestroyMessageWindow(w);
    return {sendIn, sendTrip, post, qt};
}

// A send to a thread without a Qt loop that serves its messages itself.
Row ThreadMessages()
{
    Row row{"send -> procedure runs (thread, no Qt loop)", {}};
    std::atomic<std::int64_t> entered{0};
    std::atomic<platform::WindowHandle> w{0};
    platform::Event ready(platform::Event::Kind::ManualReset);
    platform::Event stop(platform::Event::Kind::ManualReset);
    std::thread owner([&] {
        w = platform::CreateMessageWindow([&](std::uint32_t, std::uintptr_t, std::intptr_t) {
            entered = Clock::now().time_since_epoch().count();
            return std::intptr_t{0};
        });
        ready.Set();
        while (platform::WaitAnyOrMessage({&stop}) != 0)
            platform::ProcessOnePendingMessage();
    });
    ready.Wait();
    for (int i = 0; i < Samples + WarmUp; ++i) {
        const auto start = Clock::now();
        platform::SendMessageTimeout(w, 1, 0, 0, 3000);
        if (i >= WarmUp)
            row.us.push_back(Micros(Clock::time_point(Clock::duration(entered.load())) - start));
    }
    stop.Set();
    owner.join();
    return row;
}

} // namespace

int main()
{
    std::vector<Row> rows;
    {
        // Both pty rows alternate in rounds on the same pty, so that load
        // from elsewhere on the machine falls on both alike.
        const Pty pty;
        Row plain{"pty byte -> poll+read returns (plain)", {}};
        Row device{"pty byte -> SerialDevice::WaitEvent returns", {}};
        constexpr int Rounds = 4;
        for (int round = 0; round < Rounds; ++round) {
            PlainPoll(pty, plain, Samples / Rounds);
            DeviceData(pty, device, Samples / Rounds);
        }
        rows.push_back(std::move(plain));
        rows.push_back(std::move(device));
        for (Row& r : DeviceCancel(pty))
            rows.push_back(std::move(r));
    }
    rows.push_back(EventWakeups());
    for (Row& r : UiMessages())
        rows.push_back(std::move(r));
    rows.push_back(ThreadMessages());
    Print(rows);
    return 0;
}
