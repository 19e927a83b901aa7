// Soak: the whole program (its three windows as TProgram makes them, offscreen, with the real
// engine, port and timers) polling the simulated meter for a given time, with a fault injected
// every few seconds and an operator who closes each error box and presses "Чтение показаний" again.
// Prints cycles, the errors shown, resident memory, threads and descriptors at start and end; exits
// 1 on a leak or when reading no longer goes on.
//
// Usage: soak [--minutes N | --seconds N]   (default 1 minute; at least 76 s, as a
// warm-up round of every fault comes first)
//
// The meter runs in this process, on a thread of its own, so that faults can
// be switched at any moment and a hung-up adapter can be brought back under
// the same COM number; its thread and descriptors are the same at start and
// end, and its records are cleared as it goes.
#include "instrument-sim/simulator.h"
#include "ui/Startup.h"
#include "ui/Unit1_.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Resident memory may grow this much between the two samples before it
// counts as a leak: allocator arenas and caches settle in steps of a few
// hundred kilobytes; a leak of 1 KB per cycle passes it within ten minutes.
constexpr long LeakBoundKiB = 4096;

constexpr auto EpisodeEvery = seconds(5);
constexpr auto Settle = seconds(8);

long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

// Qt's pool threads come and go on their own (they expire when idle), so
// they are counted apart.
struct Threads {
    int own = 0;
    int pool = 0;
};

Threads CountThreads()
{
    Threads t;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        (name == "Thread (pooled)" ? t.pool : t.own) += 1;
    }
    return t;
}

int CountDescriptors()
{
    int n = 0;
    for ([[maybe_unused]] const auto& fd : fs::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n - 1; // the iterator's own
}

struct Sample {
    long rssKiB = 0;
    Threads threads;
    int fds = 0;
    std::size_t cycles = 0;
};

struct Fault {
    const char* name;
    std::function<void(sim::Faults&)> set;
    Clock::duration lasts;
};

class Soak {
public:
    Soak(fs::path comDir, Clock::duration total) : comDir_(std::move(comDir)), total_(total) {}

    int Run();

private:
    void NewMeter();
    void OperatorLooks();
    void NextEpisode();
    void Restart();
    Sample Take() const;
    bool Reading() const;

    fs::path comDir_;
    Clock::duration total_;
    Clock::time_point start_;
    std::unique_ptr<sim::Simulator> meter_;
    // The program's own three windows, made as at start-up.
    std::unique_ptr<TProgram> program_;
    TForm1* form_ = nullptr;
    std::size_t cycles_ = 0;
    std::map<std::string, int> shown_;
    std::map<std::string, int> injected_;
    std::vector<Fault> faults_;
    std::size_t next_ = 0;
    bool restartPending_ = false;
    bool hangUpPending_ = false;
    bool warm_ = false;
    Sample first_;
};

void Soak::NewMeter()
{
    if (meter_) {
        meter_->Stop();
    }
    sim::Config config;
    config.signal.waveform = sim::Waveform::Sine;
    meter_ = std::make_unique<sim::Simulator>(config);
    meter_->Start();
    const fs::path link = comDir_ / "com1";
    fs::remove(link);
    fs::create_symlink(meter_->Path(), link);
}

bool Soak::Reading() const
{
    const TFormEngine& e = dynamic_cast<TFormEngine&>(form_->Engine());
    return e.exchange.PollState == 3 && (e.interval.isActive() || e.exchange.AwaitingReply);
}

Sample Soak::Take() const
{
    return {ResidentKiB(), CountThreads(), CountDescriptors(), cycles_};
}

// Closes what the program shows, as an operator would, and starts reading
// again a moment later.
void Soak::OperatorLooks()
{
    QMessageBox* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible()) {
        box = nullptr;
        for (QMessageBox* b : form_->findChildren<QMessageBox*>(QStringLiteral("ErrorBox"))) {
            if (b->isVisible()) {
                box = b;
            }
        }
    }
    if (box != nullptr) {
        ++shown_[box->text().toStdString()];
        box->buttons().front()->click();
        restartPending_ = true;
        QTimer::singleShot(200, form_, [this] { Restart(); });
    }
    meter_->ClearRecords();
}

void Soak::Restart()
{
    if (!restartPending_ || hangUpPending_) {
        return;
    }
    restartPending_ = false;
    form_->BitLoad->click();
}

void Soak::NextEpisode()
{
    const auto elapsed = Clock::now() - start_;
    if (elapsed + Settle + EpisodeEvery > total_) {
        return; // the end is measured after a quiet spell
    }
    const Fault& fault = faults_[next_++ % faults_.size()];
    ++injected_[fault.name];
    if (std::strcmp(fault.name, "hang-up") == 0) {
        sim::Faults f;
        f.hangUpAfter = 1;
        meter_->SetFaults(f);
        hangUpPending_ = true;
        // The adapter comes back under the same number a second later.
        QTimer::singleShot(1000, form_, [this] {
            NewMeter();
            hangUpPending_ = false;
            restartPending_ = true;
            Restart();
        });
        return;
    }
    sim::Faults f;
    fault.set(f);
    meter_->SetFaults(f);
    QTimer::singleShot(std::chrono::duration_cast<milliseconds>(fault.lasts), form_,
                       [this] { meter_->SetFaults({}); });
}

int Soak::Run()
{
    faults_ = {
        {"silence", [](sim::Faults& f) { f.silent = true; }, milliseconds(1500)},
        {"wrong check code", [](sim::Faults& f) { f.badCheckProbability = 1; }, milliseconds(300)},
        {"ten pieces",
         [](sim::Faults& f) {
             f.splitPieces = 10;
             f.splitPause = milliseconds(30);
         },
         seconds(3)},
        {"extra bytes", [](sim::Faults& f) { f.extraBytes = 3; }, milliseconds(300)},
        {"burst of 300",
         [](sim::Faults& f) {
             f.missingBytes = 10;
             f.burstBytes = 300;
         },
         milliseconds(300)},
        {"noise",
         [](sim::Faults& f) {
             f.noiseBytes = 5;
             f.noiseDelay = milliseconds(60);
         },
         seconds(3)},
        {"hang-up", nullptr, {}},
    };

    NewMeter();
    program_ = std::make_unique<TProgram>();
    form_ = program_->Form1.get();
    dynamic_cast<TFormEngine&>(form_->Engine())
        .exchange.SetApplyReply([this](const ReplyDecision& d) {
            ++cycles_;
            form_->ApplyReply(d);
        });
    form_->show();
    form_->activateWindow();

    QTimer looks;
    QObject::connect(&looks, &QTimer::timeout, [this] { OperatorLooks(); });
    looks.start(50);
    QTimer episodes;
    QObject::connect(&episodes, &QTimer::timeout, [this] { NextEpisode(); });

    start_ = Clock::now();
    // Warm-up: every fault once, so that what the first of each allocates
    // for good (boxes, fonts, the allocator's arenas) is in the first sample.
    const auto warmUp = EpisodeEvery * static_cast<int>(faults_.size() + 1);
    if (total_ < warmUp + Settle * 2 + seconds(20)) {
        total_ = warmUp + Settle * 2 + seconds(20);
    }
    QTimer::singleShot(500, form_, [this] { form_->BitLoad->click(); });
    episodes.start(std::chrono::duration_cast<milliseconds>(EpisodeEvery));

    QTimer ticker;
    bool done = false;
    Sample last;
    std::size_t cyclesBeforeEnd = 0;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const auto elapsed = Clock::now() - start_;
        const bool quiet = Reading() && !restartPending_ && !hangUpPending_;
        if (!warm_ && elapsed >= warmUp && quiet) {
            // Between episodes: the last one's effects are over.
            const auto sinceEpisode = elapsed % EpisodeEvery;
            if (sinceEpisode >= seconds(4)) {
                warm_ = true;
                first_ = Take();
                std::printf("start  %5.0f s: rss %ld KiB, threads %d (+%d pool), fds %d\n",
                            std::chrono::duration<double>(elapsed).count(), first_.rssKiB,
                            first_.threads.own, first_.threads.pool, first_.fds);
                std::fflush(stdout);
            }
        }
        if (elapsed >= total_ - Settle && cyclesBeforeEnd == 0) {
            cyclesBeforeEnd = cycles_;
        }
        if (elapsed >= total_ && (quiet || elapsed >= total_ + seconds(10))) {
            last = Take();
            done = true;
            QApplication::quit();
        }
    });
    ticker.start(250);
    QApplication::exec();
    ticker.stop();
    episodes.stop();
    looks.stop();
    const bool readingAtEnd = last.cycles > cyclesBeforeEnd && Reading();
    form_->BitBtnStop->click();
    const long growth = last.rssKiB - first_.rssKiB;
    const bool memoryOk = warm_ && growth <= LeakBoundKiB;
    const bool threadsOk = last.threads.own <= first_.threads.own;
    const bool fdsOk = last.fds <= first_.fds;

    const double secondsRun = std::chrono::duration<double>(Clock::now() - start_).count();
    std::printf("end    %5.0f s: rss %ld KiB, threads %d (+%d pool), fds %d\n", secondsRun,
                last.rssKiB, last.threads.own, last.threads.pool, last.fds);
    std::printf("cycles (replies decoded): %zu, %zu after warm-up (%.1f per second)\n", last.cycles,
                last.cycles - first_.cycles, static_cast<double>(last.cycles) / secondsRun);
    std::printf("faults injected:");
    for (const auto& [name, n] : injected_) {
        std::printf(" %s %d;", name.c_str(), n);
    }
    std::printf("\nerrors shown:\n");
    for (const auto& [text, n] : shown_) {
        std::printf("  %5d  \"%s\"\n", n, text.c_str());
    }
    std::printf("memory growth %ld KiB (bound %ld KiB): %s\n", growth, LeakBoundKiB,
                memoryOk ? "ok" : "LEAK");
    std::printf("threads %d -> %d: %s; descriptors %d -> %d: %s\n", first_.threads.own,
                last.threads.own, threadsOk ? "ok" : "LEAK", first_.fds, last.fds,
                fdsOk ? "ok" : "LEAK");
    std::printf("reading at the end: %s\n", readingAtEnd ? "yes" : "NO");

    program_.reset();
    meter_->Stop();
    return done && memoryOk && threadsOk && fdsOk && readingAtEnd ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    long totalSeconds = 60;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--minutes") == 0) {
            totalSeconds = std::atol(argv[i + 1]) * 60;
        } else if (std::strcmp(argv[i], "--seconds") == 0) {
            totalSeconds = std::atol(argv[i + 1]);
        }
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    std::string pattern = (fs::temp_directory_path() / "velmor-soak-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const fs::path dir = pattern;
    ::setenv("VELMOR_COM_DIR", dir.c_str(), 1);
    int result = 2;
    {
        QApplication app(argc, argv);
        Soak soak(dir, seconds(totalSeconds));
        result = soak.Run();
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return result;
}
