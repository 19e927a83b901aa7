// Unit under test: TForm1 with its real engine and port against a misbehaving meter and port
// (src/ui/Unit1_ end to end).
#include "EngineHarness.h"
#include "instrument-sim/simulator.h"
#include "platform/SerialDevice.h"
#include "serial/SerWin32.h"
#include "support.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <sys/fsuid.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

std::string ProcessName()
{
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

using std::chrono::milliseconds;

const QString NoReply = QStringLiteral("Нет ответа от прибора! ");
const QString BadCheck = QStringLiteral("Ошибка контрольной суммы! ");

constexpr int Wait = 5000;

double ProcessCpuMs()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Closes every modal message box (the application's error display) that
// comes up while it lives, also inside a timer's handler, and keeps the texts.
class ModalBoxes {
public:
    ModalBoxes()
    {
        watcher.setInterval(5);
        QObject::connect(&watcher, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box != nullptr && box->isVisible()) {
                texts << box->text();
                box->buttons().front()->click();
            }
        });
        watcher.start();
    }
    QStringList texts;

private:
    QTimer watcher;
};

class Form1Faults : public EngineHarness {
protected:
    void StartReading() { QTest::mouseClick(Button("BitLoad"), Qt::LeftButton); }

    // "Стоп", and the reply still on its way taken, so that new faults
    // apply to the next request's reply.
    void StopReading()
    {
        QTest::mouseClick(Button("BitBtnStop"), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return !RealEngine(*form).exchange.AwaitingReply && ErrorBox() == nullptr; },
            Wait));
    }

    void SetFaults(const sim::Faults& faults)
    {
        StopReading();
        sim->SetFaults(faults);
    }

    // Waits for the worker's box, checks its text, closes it with OK.
    void ExpectBox(const QString& text)
    {
        ASSERT_TRUE(QTest::qWaitFor([&] { return ErrorBox() != nullptr; }, Wait))
            << "no box for " << text.toStdString();
        QMessageBox* box = ErrorBox();
        EXPECT_EQ(box->text(), text);
        EXPECT_TRUE(form->isEnabled());
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return ErrorBox() == nullptr; }, Wait));
        EXPECT_FALSE(RealEngine(*form).interval.isActive()) << "the cycle rests after a box";
    }

    // Measurement requests the simulator has taken so far.
    std::size_t Measurements() const
    {
        std::size_t n = 0;
        for (const auto& r : sim->Requests()) {
            n += r.bytes.at(0) == 0x41 && r.outcome == sim::RequestOutcome::Answered ? 1 : 0;
        }
        return n;
    }

    // The line as the simulator saw it, for failure messages.
    std::string Traffic() const
    {
        std::string out;
        const auto start = sim->Requests().empty() ? std::chrono::steady_clock::time_point{}
                                                   : sim->Requests().front().time;
        auto ms = [&](std::chrono::steady_clock::time_point t) {
            return std::to_string(std::chrono::duration_cast<milliseconds>(t - start).count());
        };
        for (const auto& r : sim->Requests()) {
            out += ms(r.time) + " got " + std::to_string(r.bytes.at(0)) + "\n";
        }
        for (const auto& s : sim->Sent()) {
            out += ms(s.time) + " sent " + std::to_string(s.bytes.size()) + "\n";
        }
        return out;
    }

    // A measurement request goes out only after the reply before it was
    // shown, so `cycles` more of them are that many decoded replies.
    void ExpectReading(std::size_t cycles)
    {
        const std::size_t before = Measurements();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return Measurements() >= before + cycles || ErrorBox() != nullptr; }, Wait))
            << Measurements() - before << " cycles";
        ASSERT_EQ(ErrorBox(), nullptr) << ErrorBox()->text().toStdString() << "\n" << Traffic();
        EXPECT_GE(Measurements(), before + cycles);
        EXPECT_FALSE(form->Edit1->text().isEmpty());
        EXPECT_EQ(RealEngine(*form).exchange.PollState, 3);
    }

    // The fault lifted, "Чтение показаний" reads again.
    void ExpectResumes()
    {
        sim->SetFaults({});
        form->Edit1->clear();
        StartReading();
        ExpectReading(3);
    }
};

TEST_F(Form1Faults, SilenceIsReportedAndReadingResumes)
{
    Begin();
    StartReading();
    ExpectReading(2);
    sim::Faults silent;
    silent.silent = true;
    sim->SetFaults(silent);
    ExpectBox(NoReply);
    // The window is usable with the meter still silent: a second try gives
    // the same report.
    StartReading();
    ExpectBox(NoReply);
    ExpectResumes();
}

TEST_F(Form1Faults, WrongCheckCodesAreReportedAndReadingResumes)
{
    sim::Faults faults;
    faults.badCheckProbability = 1;
    Begin(faults);
    StartReading();
    ExpectBox(BadCheck);
    EXPECT_TRUE(form->Edit1->text().isEmpty()) << "a reply that fails its check shows nothing";
    ExpectResumes();
}

TEST_F(Form1Faults, RepliesInManyPiecesAreReadWhole)
{
    Begin();
    // Reading first, so that the acknowledgement of the current range that
    // the first reply sends is not still arriving piecemeal under the next
    // measurement's reply.
    StartReading();
    ExpectReading(2);
    // Ten pieces of one byte: each piece restarts the reply timeout, so a
    // reply that takes longer than the timeout in all is still taken whole.
    sim::Faults faults;
    faults.splitPieces = 10;
    faults.splitPause = milliseconds(70);
    SetFaults(faults);
    StartReading();
    ExpectReading(3);

    faults.splitPause = milliseconds(2);
    SetFaults(faults);
    StartReading();
    ExpectReading(5);
}

TEST_F(Form1Faults, ExtraBytesFailTheCheckAndReadingResumes)
{
    sim::Faults faults;
    faults.extraBytes = 3;
    Begin(faults);
    StartReading();
    ExpectBox(BadCheck);
    ExpectResumes();
}

TEST_F(Form1Faults, BurstsOfAnyLengthAreCheckCodeErrorsAndLeaveNothingBehind)
{
    // Unpaced: each burst waits whole in the buffer (at 9600 baud 5000
    // bytes would take five seconds to come).
    Begin({}, true, 0);
    StartReading();
    ExpectReading(2);
    // The burst takes the place of a reply: as many bytes waiting as it has.
    // 71 is one more than the reply buffer holds, 256 wraps the 8-bit count
    // to 0 (which must not read as silence), 5000 is many times the buffer.
    for (const int length : {71, 255, 256, 5000}) {
        SCOPED_TRACE(length);
        sim::Faults faults;
        faults.missingBytes = 10;
        faults.burstBytes = length;
        SetFaults(faults);
        StartReading();
        ExpectBox(BadCheck);
        ExpectResumes();
    }
}

TEST_F(Form1Faults, NoiseBetweenRepliesIsDroppedWithTheNextRequest)
{
    Begin();
    StartReading();
    ExpectReading(2);
    sim::Faults faults;
    faults.noiseBytes = 7;
    faults.noiseDelay = milliseconds(60); // half way to the next request
    SetFaults(faults);
    const std::size_t sent = sim->Sent().size();
    StartReading();
    ExpectReading(6);
    EXPECT_GE(sim->Sent().size(), sent + 10) << "noise went out between the replies";
}

TEST_F(Form1Faults, StopAndStartWhileAReplyIsTakenNeverReportASilence)
{
    Begin();
    StartReading();
    ExpectReading(2);
    // The operator restarts at the moment the worker has begun taking a
    // reply: the new request's flush empties the input under its feet.
    for (int i = 0; i < 15; ++i) {
        const std::size_t replies = sim->RepliesSent();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return sim->RepliesSent() > replies && !RealEngine(*form).exchange.AwaitingReply;
            },
            Wait));
        QTest::mouseClick(Button("BitBtnStop"), Qt::LeftButton);
        StartReading();
    }
    ExpectReading(3);
}

TEST_F(Form1Faults, AMissingPortIsReportedAndReadingStartsOnceItIsThere)
{
    Begin({}, false);
    const SeenBox seen = CloseMessageBoxDuring([&] { StartReading(); });
    ASSERT_TRUE(seen.shown);
    // Naming the device the number stands for, here none.
    EXPECT_EQ(seen.text, QStringLiteral("ie_BadId - Specified comport doesn't exist. COM1 stands "
                                        "for no device: none is linked or detected."));
    EXPECT_TRUE(form->isEnabled());

    sim = std::make_unique<sim::Simulator>(sim::Config{});
    sim->Start();
    dir.Link(1, sim->Path());
    StartReading();
    ExpectReading(3);
}

TEST_F(Form1Faults, APortHeldElsewhereIsReportedAsBusyUntilReleased)
{
    Begin();
    auto holder = std::make_unique<platform::SerialDevice>();
    ASSERT_TRUE(holder->Open(sim->Path()));
    const SeenBox seen = CloseMessageBoxDuring([&] { StartReading(); });
    ASSERT_TRUE(seen.shown);
    // Naming the device and the process that holds it: this one.
    EXPECT_EQ(seen.text,
              QString::fromStdString("ie_Open - device already open. COM1 is " + sim->Path() +
                                     "; process " + std::to_string(::getpid()) + " (" +
                                     ProcessName() + ") holds it."));
    EXPECT_TRUE(form->isEnabled());

    holder.reset();
    StartReading();
    ExpectReading(3);
}

TEST_F(Form1Faults, APortThatMayNotBeOpenedNamesTheFix)
{
    Begin();
    ASSERT_EQ(::chmod(sim->Path().c_str(), 0600), 0);
    const uid_t nobody = 65534;
    SeenBox seen;
    if (::geteuid() == 0) {
        // The file-system identity is per thread, and the port opens on this
        // one: for the click it is nobody's, without root's override.
        ::setfsuid(nobody);
        const bool dropped = static_cast<uid_t>(::setfsuid(nobody)) == nobody;
        if (dropped) {
            seen = CloseMessageBoxDuring([&] { StartReading(); });
        }
        ::setfsuid(0);
        if (!dropped) {
            GTEST_SKIP() << "the file-system identity cannot be changed here";
        }
    } else {
        ASSERT_EQ(::chmod(sim->Path().c_str(), 0), 0);
        seen = CloseMessageBoxDuring([&] { StartReading(); });
    }
    ASSERT_TRUE(seen.shown);
    // Root's device, not the dialout group's: joining it would not help, so
    // the text names the device, its owner and its mode instead.
    const QString start =
        QString::fromStdString("Permission denied: you may not open this serial port. COM1 is " +
                               sim->Path() + "; " + sim->Path() + " is owned by ");
    EXPECT_TRUE(seen.text.startsWith(start)) << seen.text.toStdString();
    EXPECT_TRUE(seen.text.contains(QStringLiteral(" with mode 0"))) << seen.text.toStdString();
    EXPECT_FALSE(seen.text.contains(QStringLiteral("dialout"))) << seen.text.toStdString();
    EXPECT_TRUE(form->isEnabled());

    // Allowed again (the operator joined the group): reading starts.
    ASSERT_EQ(::chmod(sim->Path().c_str(), 0600), 0);
    StartReading();
    ExpectReading(3);
}

TEST_F(Form1Faults, AHangUpMidPollIsShownAndThePortCanBeUsedAgain)
{
    sim::Faults faults;
    faults.hangUpAfter = 3;
    Begin(faults);
    ModalBoxes modal;
    const QString gone = QStringLiteral("The device is not connected. ");
    StartReading();
    ASSERT_TRUE(QTest::qWaitFor([&] { return sim->HungUp(); }, Wait));
    // The device node goes with the adapter (its pseudo-terminal's number
    // may soon belong to another program).
    std::filesystem::remove(dir.Path() / "com1");
    // The next request finds the device gone; or it went out just before,
    // and its silence is reported first.
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return ErrorBox() != nullptr || !modal.texts.empty(); }, Wait));
    if (ErrorBox() != nullptr) {
        ExpectBox(NoReply);
        StartReading();
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !modal.texts.empty(); }, Wait));
    EXPECT_EQ(modal.texts, QStringList{gone});
    EXPECT_FALSE(RealEngine(*form).ComPort.Open()) << "the port closed with its device";

    // Nothing spins on the vanished device meanwhile.
    const double cpuBefore = ProcessCpuMs();
    QTest::qWait(1000);
    EXPECT_LT(ProcessCpuMs() - cpuBefore, 300);

    // Unplugged, the port is missing; once the adapter is back under the
    // same number, reading resumes.
    StartReading();
    ASSERT_TRUE(QTest::qWaitFor([&] { return modal.texts.size() == 2; }, Wait));
    EXPECT_TRUE(modal.texts.back().startsWith(
        QStringLiteral("ie_BadId - Specified comport doesn't exist. COM1 ")))
        << modal.texts.back().toStdString();
    sim->Stop();
    sim = std::make_unique<sim::Simulator>(sim::Config{});
    sim->Start();
    dir.Link(1, sim->Path());
    StartReading();
    ExpectReading(3);
    EXPECT_EQ(modal.texts.size(), 2);
}

TEST_F(Form1Faults, AnAdapterUnpluggedBetweenReadingsSpinsNothingAndIsReported)
{
    Begin();
    StartReading();
    ExpectReading(2);
    StopReading();
    // Unplugged while the port is open and idle: the receive thread's wait
    // ends with the device (the dispatch and transmit threads stay with the
    // open port); nothing may poll the dead descriptor after that.
    auto* threads = dynamic_cast<TSerWin32Dispatcher*>(RealEngine(*form).ComPort.Dispatcher());
    ASSERT_NE(threads, nullptr);
    sim.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return threads->ActiveThreads() == 2; }, Wait))
        << "the receive thread saw the device go";
    const double cpuBefore = ProcessCpuMs();
    QTest::qWait(1000);
    EXPECT_LT(ProcessCpuMs() - cpuBefore, 300) << "a thread spins on the vanished device";
    EXPECT_TRUE(RealEngine(*form).ComPort.Open());

    const SeenBox seen = CloseMessageBoxDuring([&] { StartReading(); });
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(seen.text, QStringLiteral("The device is not connected. "));
    EXPECT_FALSE(RealEngine(*form).ComPort.Open());
    EXPECT_TRUE(form->isEnabled());
}

} // namespace
