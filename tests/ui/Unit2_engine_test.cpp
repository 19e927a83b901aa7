// Unit under test: TForm2 (src/ui/Unit2) in the running program (src/ui/Startup): the main
// window's real engine and port against simulated meters, and the program's shutdown.
#include "PtyPair.h"
#include "instrument-sim/simulator.h"
#include "platform/SerialDevice.h"
#include "serial/SerSelCom.h"
#include "support.h"
#include "ui/AppError.h"
#include "ui/Startup.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QThreadPool>
#include <QTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>

namespace {

// This process's threads, less Qt's pooled helpers, which come and go on
// their own timer.
int Threads()
{
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name != "Thread (pooled)") {
            ++count;
        }
    }
    return count;
}

// Whether the port numbered n can be opened now, that is, nobody holds it.
bool PortIsFree(unsigned n)
{
    platform::SerialDevice device;
    return device.Open("\\\\.\\COM" + std::to_string(n));
}

class Form2Engine : public testing::Test {
protected:
    testutil::ComDir dir;
    std::unique_ptr<sim::Simulator> com1;
    std::unique_ptr<sim::Simulator> com3;
    std::unique_ptr<TProgram> program;
    int opens = 0; // successful opens of the main window's port

    void SetUp() override
    {
        com1 = Linked(1);
        com3 = Linked(3);
    }

    std::unique_ptr<sim::Simulator> Linked(unsigned n)
    {
        auto sim = std::make_unique<sim::Simulator>(sim::Config{});
        sim->Start();
        dir.Link(n, sim->Path());
        return sim;
    }

    void Begin()
    {
        program = std::make_unique<TProgram>();
        Port().SetOnPortOpened([this](TSerBaseComponent*) { ++opens; });
        ASSERT_TRUE(ShowActive(*program->Form1));
        ASSERT_TRUE(Engine().exchange.Started());
    }

    void TearDown() override
    {
        program.reset();
        com1->Stop();
        com3->Stop();
    }

    TForm1& Form1() { return *program->Form1; }
    TFormEngine& Engine() { return RealEngine(Form1()); }
    TSerComPort& Port() { return Engine().ComPort; }

    QPushButton* Button(const char* name)
    {
        return Form1().findChild<QPushButton*>(QString::fromLatin1(name));
    }

    // Reads until sim has answered `more` further measurements, then stops.
    void ReadFrom(sim::Simulator& sim, std::size_t more = 3)
    {
        const std::size_t before = sim.Requests().size();
        QTest::mouseClick(Button("BitLoad"), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return sim.Requests().size() >= before + more && Engine().exchange.PollState == 3;
            },
            5000));
        Stop();
    }

    // The worker's message box, while it is shown.
    QMessageBox* ErrorBox()
    {
        for (auto* box : Form1().findChildren<QMessageBox*>(QStringLiteral("ErrorBox"))) {
            if (box->isVisible()) {
                return box;
            }
        }
        return nullptr;
    }

    // "Стоп", then wait until the worker has taken the last reply: the flag
    // alone drops as its pass begins, before it reads the port, and a port
    // change or a new request in that moment would cost that reply.
    void Stop()
    {
        QTest::mouseClick(Button("BitBtnStop"), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return !Engine().exchange.AwaitingReply && Port().InputWaiting() == 0; }, 2000));
    }

    // "Настройка" > "Порт": inside runs while the dialog is shown modally,
    // which is closed afterwards with its close button.
    void InPortDialog(const std::function<void(TForm2&)>& inside)
    {
        bool ran = false;
        OnNextModal<TForm2>([&](TForm2& dialog) {
            inside(dialog);
            ran = true;
            dialog.close();
        });
        Form1().N3->trigger();
        EXPECT_TRUE(ran);
        EXPECT_FALSE(program->Form2->isVisible());
    }
};

TEST_F(Form2Engine, ChoosingAPortMovesTheOpenPortAtOnce)
{
    Begin();
    ReadFrom(*com1);
    ASSERT_EQ(opens, 1);
    EXPECT_FALSE(PortIsFree(1));
    const std::size_t com1Requests = com1->Requests().size();

    InPortDialog([&](TForm2& dialog) {
        EXPECT_EQ(dialog.ComboBox1->currentText(), QStringLiteral("COM1"));
        EXPECT_EQ(dialog.ComboBox2->currentText(), QStringLiteral("9600"));
        dialog.ComboBox1->setCurrentIndex(2);
        // Before the dialog closes: COM1 released, COM3 open.
        EXPECT_EQ(Port().ComNumber(), 3);
        EXPECT_TRUE(Port().Open());
        EXPECT_EQ(opens, 2);
        EXPECT_TRUE(PortIsFree(1));
        EXPECT_FALSE(PortIsFree(3));

        // Choosing the item already chosen does not touch the port; neither
        // does the speed box.
        dialog.ComboBox1->setCurrentIndex(2);
        dialog.ComboBox2->setCurrentIndex(0);
        EXPECT_EQ(opens, 2);
        EXPECT_EQ(Port().Baud(), 9600);
    });

    ReadFrom(*com3);
    EXPECT_EQ(com1->Requests().size(), com1Requests);
    EXPECT_EQ(Port().ComNumber(), 3);
    EXPECT_EQ(opens, 2);

    // Reopened, the dialog shows the port and speed as they are.
    InPortDialog([&](TForm2& dialog) {
        EXPECT_EQ(dialog.ComboBox1->currentText(), QStringLiteral("COM3"));
        EXPECT_EQ(dialog.ComboBox2->currentText(), QStringLiteral("9600"));
    });
    EXPECT_EQ(opens, 2);
}

TEST_F(Form2Engine, AChoiceDuringPollingAppliesToTheNextRequest)
{
    Begin();
    QTest::mouseClick(Button("BitLoad"), Qt::LeftButton);
    std::size_t com1Requests = 0;
    InPortDialog([&](TForm2& dialog) {
        // Polling goes on while the dialog is open; choose in the pause
        // between a reply and the next request.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return com1->Requests().size() >= 3 && Engine().interval.isActive() &&
                       !Engine().exchange.AwaitingReply;
            },
            5000));
        dialog.ComboBox1->setCurrentIndex(2);
        com1Requests = com1->Requests().size();
        // The next request of the cycle goes to COM3.
        EXPECT_TRUE(QTest::qWaitFor([&] { return !com3->Requests().empty(); }, 5000));
        EXPECT_EQ(com3->Requests().front().bytes.at(0), 0x41);
    });
    EXPECT_EQ(com1->Requests().size(), com1Requests);
    if (QMessageBox* late = ErrorBox()) { // a reply late on a crowded machine
        QTest::mouseClick(late->button(QMessageBox::Ok), Qt::LeftButton);
        QTest::mouseClick(Button("BitLoad"), Qt::LeftButton);
    }

    // With a request out, its reply is lost with the old port: either it was
    // taken in time and polling goes on, or "no reply" stops it.
    std::size_t com3Requests = 0;
    QMessageBox* noReply = nullptr;
    InPortDialog([&](TForm2& dialog) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return Engine().exchange.AwaitingReply.load(); }, 5000));
        dialog.ComboBox1->setCurrentIndex(0);
        com3Requests = com3->Requests().size();
        const std::size_t before = com1->Requests().size();
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                noReply = ErrorBox();
                return noReply != nullptr || com1->Requests().size() >= before + 3;
            },
            5000));
    });
    if (noReply != nullptr) {
        EXPECT_EQ(noReply->text(), QStringLiteral("Нет ответа от прибора! "));
        QTest::mouseClick(noReply->button(QMessageBox::Ok), Qt::LeftButton);
    }
    Stop();
    EXPECT_EQ(com3->Requests().size(), com3Requests);
}

TEST_F(Form2Engine, TypingAsksForAPortOnAnOpenPort)
{
    Begin();
    ReadFrom(*com1);
    QStringList offered;
    InPortDialog([&](TForm2& dialog) {
        OnNextModal<TComSelectForm>([&](TComSelectForm& select) {
            for (int i = 0; i < select.PortsComboBox->count(); ++i) {
                offered << select.PortsComboBox->itemText(i);
            }
            select.PortsComboBox->setCurrentIndex(1);
            QTest::mouseClick(select.OkBtn, Qt::LeftButton);
        });
        QLineEdit* field = dialog.ComboBox1->lineEdit();
        field->setFocus();
        field->end(false);
        QTest::keyClick(field, Qt::Key_Backspace);
        EXPECT_EQ(dialog.ComboBox1->currentIndex(), -1);
    });
    // COM1 was closed before the question, so both linked ports are there.
    EXPECT_EQ(offered, (QStringList{QStringLiteral("COM1"), QStringLiteral("COM3")}));
    EXPECT_EQ(Port().ComNumber(), 3);
    EXPECT_TRUE(Port().Open());
    ReadFrom(*com3);

    // Not answered: no port, shown in the error display; the next request
    // asks again.
    SeenBox failure;
    InPortDialog([&](TForm2& dialog) {
        OnNextModal<TComSelectForm>(
            [&](TComSelectForm& select) { QTest::mouseClick(select.AbortBtn, Qt::LeftButton); });
        failure = CloseMessageBoxDuring([&] {
            dialog.ComboBox1->lineEdit()->setFocus();
            QTest::keyClick(dialog.ComboBox1->lineEdit(), Qt::Key_Backspace);
        });
    });
    ASSERT_TRUE(failure.shown);
    EXPECT_EQ(failure.text,
              QStringLiteral("The ComNumber property of the TSerComPort has not been set."));
    EXPECT_EQ(failure.title, ApplicationTitle());
    EXPECT_EQ(Port().ComNumber(), 0);
    EXPECT_FALSE(Port().Open());

    OnNextModal<TComSelectForm>([&](TComSelectForm& select) {
        select.PortsComboBox->setCurrentIndex(0);
        QTest::mouseClick(select.OkBtn, Qt::LeftButton);
    });
    ReadFrom(*com1);
    EXPECT_EQ(Port().ComNumber(), 1);
}

TEST_F(Form2Engine, AMissingPortIsShownAndTheProgramGoesOn)
{
    Begin();
    ReadFrom(*com1);
    SeenBox failure;
    InPortDialog([&](TForm2& dialog) {
        // COM4 is not linked.
        failure = CloseMessageBoxDuring([&] { dialog.ComboBox1->setCurrentIndex(3); });
        EXPECT_EQ(Port().ComNumber(), 4);
        EXPECT_FALSE(Port().Open());
        EXPECT_TRUE(PortIsFree(1));
        // A choice on the closed port is only kept; the next request opens it.
        dialog.ComboBox1->setCurrentIndex(0);
        EXPECT_EQ(Port().ComNumber(), 1);
        EXPECT_FALSE(Port().Open());
    });
    ASSERT_TRUE(failure.shown);
    EXPECT_EQ(failure.title, ApplicationTitle());
    EXPECT_EQ(failure.text, QStringLiteral("ie_BadId - Specified comport doesn't exist. COM4 "
                                           "stands for no device: none is linked or detected."));
    EXPECT_EQ(failure.icon, QMessageBox::Critical);
    EXPECT_TRUE(Form1().isEnabled());
    ReadFrom(*com1);
    EXPECT_EQ(opens, 2);
}

TEST_F(Form2Engine, DialogsAndRestartsKeepOneWorkerAndTheModel)
{
    Begin();
    Form1().Velmor1->trigger();
    QTest::mouseClick(Button("BitLoad"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return com1->Requests().size() >= 3; }, 5000));
    const int threads = Threads();
    Stop();

    for (int round = 0; round < 3; ++round) {
        InPortDialog([](TForm2&) {});
        // Polling goes on while the dialog is open.
        QTest::mouseClick(Button("BitLoad"), Qt::LeftButton);
        const std::size_t before = com1->Requests().size();
        InPortDialog([&](TForm2&) {
            // On a crowded machine a reply can come later than its 500 ms,
            // which stops polling with "no reply"; that is not looked at here.
            EXPECT_TRUE(QTest::qWaitFor(
                [&] { return com1->Requests().size() >= before + 3 || ErrorBox() != nullptr; },
                5000));
        });
        EXPECT_TRUE(QTest::qWaitFor([&] { return Threads() <= threads; }, 2000))
            << "round " << round << ": " << Threads() << " threads, " << threads << " before";
        if (QMessageBox* box = ErrorBox()) {
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        }
        Stop();
        EXPECT_EQ(Engine().exchange.ModelIndex, 1);
        EXPECT_EQ(Form1().CurrentLabels[0]->text(), QStringLiteral("0.1A"));
    }
    EXPECT_EQ(opens, 1);
}

TEST_F(Form2Engine, ClosingTheMainWindowWhilePollingEndsTheRunCleanly)
{
    // The whole run, from the program's creation to its end: read until
    // polling runs, then close the main window.
    auto run = [this](int& threadsWhilePolling) {
        program = std::make_unique<TProgram>();
        bool closed = false;
        QTimer::singleShot(0, [&] {
            TForm1& form = *program->Form1;
            EXPECT_TRUE(QTest::qWaitForWindowActive(&form));
            const std::size_t before = com1->Requests().size();
            QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("BitLoad")),
                              Qt::LeftButton);
            EXPECT_TRUE(QTest::qWaitFor(
                [&] {
                    return com1->Requests().size() >= before + 5 &&
                           RealEngine(form).exchange.PollState == 3;
                },
                5000));
            threadsWhilePolling = Threads();
            closed = form.close();
        });
        EXPECT_EQ(program->Run(), 0);
        EXPECT_TRUE(closed);
        EXPECT_EQ(program->Form1, nullptr);
        EXPECT_EQ(program->Form2, nullptr);
        EXPECT_EQ(program->option, nullptr);
        program.reset();
    };
    const int threads = Threads();
    // The first run leaves what Qt sets up once per process. Qt's pooled
    // helper threads, each with a descriptor of its own, are let go before
    // counting.
    int polling = 0;
    run(polling);
    QThreadPool::globalInstance()->waitForDone();
    const int descriptors = testutil::OpenDescriptors();
    run(polling);
    QThreadPool::globalInstance()->waitForDone();
    // The worker and the port's three threads ran...
    EXPECT_GE(polling, threads + 4);
    // ...and none is left (a joined thread may linger in /proc for a
    // moment), nor a descriptor, and the device is free.
    EXPECT_TRUE(QTest::qWaitFor([&] { return Threads() <= threads; }, 2000))
        << Threads() << " threads, " << threads << " before";
    EXPECT_EQ(testutil::OpenDescriptors(), descriptors);
    EXPECT_TRUE(PortIsFree(1));
}

TEST_F(Form2Engine, ClosingTheMainWindowWhileTheWorkerWaitsOnItsBoxEndsTheRun)
{
    sim::Faults silent;
    silent.silent = true;
    com1->SetFaults(silent);
    program = std::make_unique<TProgram>();
    bool boxShown = false;
    QTimer::singleShot(0, [&] {
        TForm1& form = *program->Form1;
        EXPECT_TRUE(QTest::qWaitForWindowActive(&form));
        QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("BitLoad")), Qt::LeftButton);
        // The worker now waits until the operator closes "no reply".
        boxShown = QTest::qWaitFor(
            [&] {
                for (auto* box : form.findChildren<QMessageBox*>(QStringLiteral("ErrorBox"))) {
                    if (box->isVisible()) {
                        return true;
                    }
                }
                return false;
            },
            5000);
        form.close();
    });
    EXPECT_EQ(program->Run(), 0);
    EXPECT_TRUE(boxShown);
    EXPECT_EQ(program->Form1, nullptr);
    EXPECT_TRUE(PortIsFree(1));
}

TEST_F(Form2Engine, StartsWithTheMainWindowAloneAndEndsWhenItCloses)
{
    program = std::make_unique<TProgram>();
    EXPECT_FALSE(RealEngine(*program->Form1).exchange.Started());
    QTimer::singleShot(0, [&] {
        TForm1& form = *program->Form1;
        EXPECT_TRUE(QTest::qWaitForWindowActive(&form));
        EXPECT_TRUE(RealEngine(form).exchange.Started()) << "the first activation starts it";
        EXPECT_FALSE(program->option->isVisible());
        EXPECT_FALSE(program->Form2->isVisible());

        // Closing the main window ends the run whatever else is shown: the
        // options window, and an error display without a parent.
        form.ghfg1Click(&form);
        EXPECT_TRUE(program->option->isVisible());
        OnNextModal<QMessageBox>([&form](QMessageBox&) { form.close(); }, false);
        ShowApplicationError("Порт занят");
    });
    EXPECT_EQ(program->Run(), 0);
    EXPECT_EQ(program->Form1, nullptr);
    // Nothing was read.
    EXPECT_TRUE(com1->Requests().empty());
}

} // namespace
