// Unit under test: TForm1 with its real engine, port and timers against the simulated meter
// (src/ui/Unit1_).
#include "EngineHarness.h"
#include "protocol/float.h"
#include "support.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class Form1Engine : public EngineHarness {};

TEST_F(Form1Engine, ReadingShowsLiveValuesUntilStop)
{
    Begin();
    const TFormEngine& engine = RealEngine(*form);
    EXPECT_EQ(engine.ComPort.ComNumber(), 1);
    EXPECT_EQ(engine.ComPort.Baud(), 9600);
    EXPECT_EQ(engine.exchange.ModelIndex, 2);

    QTest::mouseClick(Button("BitLoad"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return sim->Requests().size() >= 4; }, 5000));
    EXPECT_FALSE(form->Edit1->text().isEmpty());
    EXPECT_EQ(form->Edit2->text(), QStringLiteral("V"));
    EXPECT_TRUE(form->RadioU->isChecked());
    EXPECT_TRUE(form->VoltageButtons[0]->isChecked());
    EXPECT_TRUE(form->CurrentButtons[0]->isChecked());
    EXPECT_EQ(engine.exchange.PollState, 3);

    // The first reply checks the current range, whose handler sends it back;
    // mode and range buttons checked by a reply send nothing.
    const auto commands = Commands();
    EXPECT_EQ(commands[0], 0x41);
    EXPECT_EQ(commands[1], 0x03);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 0x03), 1);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 0x01), 0);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 0x02), 0);
    EXPECT_EQ(commands[2], 0x41);
    EXPECT_EQ(commands[3], 0x41);
    EXPECT_EQ(ErrorBox(), nullptr);

    QTest::mouseClick(Button("BitBtnStop"), Qt::LeftButton);
    EXPECT_FALSE(engine.interval.isActive());
    EXPECT_FALSE(engine.timeout.isActive());
    EXPECT_EQ(engine.exchange.PollState, 0);
}

TEST_F(Form1Engine, AModeClickDuringReadingStopsItAndSendsTheSetting)
{
    Begin();
    QTest::mouseClick(Button("BitLoad"), Qt::LeftButton);
    // In the pause between a reply and the next request, so that no late
    // measurement reply checks the mode back.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return sim->Requests().size() >= 3 && RealEngine(*form).interval.isActive() &&
                   !RealEngine(*form).exchange.AwaitingReply;
        },
        5000));
    // On the indicator: a click beside the caption does not toggle.
    QTest::mouseClick(form->RadioI, Qt::LeftButton, {}, QPoint(6, form->RadioI->height() / 2));
    ASSERT_TRUE(QTest::qWaitFor([&] { return sim->State().mode == 2; }, 2000))
        << form->RadioI->isChecked() << " " << form->OperatorFocus() << " "
        << testing::PrintToString(Commands());
    const auto requests = sim->Requests();
    const auto setting =
        std::find_if(requests.begin(), requests.end(),
                     [](const sim::RequestRecord& r) { return r.bytes[0] == 0x01; });
    ASSERT_NE(setting, requests.end());
    EXPECT_EQ(setting->bytes.size(), 4u);
    EXPECT_EQ(setting->bytes[1], 2);
    EXPECT_EQ(form->Edit2->text(), QStringLiteral("A"));
    // The acknowledgement leaves the cycle resting.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !RealEngine(*form).exchange.AwaitingReply; }, 2000));
    EXPECT_FALSE(RealEngine(*form).interval.isActive());
    EXPECT_EQ(RealEngine(*form).exchange.PollState, 0);
    EXPECT_EQ(ErrorBox(), nullptr);
}

TEST_F(Form1Engine, LineFaultsShowANonModalBox)
{
    sim::Faults faults;
    faults.silent = true;
    Begin(faults);
    const auto clicked = Clock::now();
    QTest::mouseClick(Button("BitLoad"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ErrorBox() != nullptr; }, 5000));
    EXPECT_GE(Clock::now() - clicked, milliseconds(500));
    QMessageBox* box = ErrorBox();
    EXPECT_EQ(box->text(), QStringLiteral("Нет ответа от прибора! "));
    EXPECT_EQ(box->windowTitle(), QStringLiteral("Ошибка"));
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    EXPECT_EQ(box->buttons().size(), 1);
    EXPECT_FALSE(box->isModal());
    EXPECT_TRUE(form->isEnabled());
    QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ErrorBox() == nullptr; }, 2000));

    // The worker is free again after the box closed.
    faults.silent = false;
    faults.badCheckProbability = 1;
    sim->SetFaults(faults);
    QTest::mouseClick(Button("BitLoad"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ErrorBox() != nullptr; }, 5000));
    EXPECT_EQ(ErrorBox()->text(), QStringLiteral("Ошибка контрольной суммы! "));
    EXPECT_TRUE(form->Edit1->text().isEmpty());
    EXPECT_FALSE(RealEngine(*form).interval.isActive());
}

TEST_F(Form1Engine, APortThatWillNotOpenIsShownAndTheWindowStaysUsable)
{
    Begin({}, false);
    const SeenBox seen =
        CloseMessageBoxDuring([&] { QTest::mouseClick(Button("BitLoad"), Qt::LeftButton); });
    ASSERT_TRUE(seen.shown);
    EXPECT_FALSE(seen.text.isEmpty());
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
    EXPECT_EQ(RealEngine(*form).exchange.PollState, 1);
    EXPECT_FALSE(RealEngine(*form).timeout.isActive());
    EXPECT_FALSE(RealEngine(*form).exchange.AwaitingReply);
    EXPECT_TRUE(form->isEnabled());
}

} // namespace

TEST_F(Form1Engine, ModelMenuChangesCurrentCaptionsAndDecimals)
{
    Begin();
    // Current mode in the 10 A table range, value 12.5: three decimals for
    // the Dranik model, one more for the Velmor model.
    sim->SetState({2, 0, 3});
    sim->SetRawValue(std::array<std::uint8_t, 4>{0x41, 0x48, 0x00, 0x00});
    const QString point = QString::fromStdString(LocaleDecimalSeparator());
    const QString dranik = QStringLiteral("12") + point + QStringLiteral("500");
    const QString velmor = QStringLiteral("12") + point + QStringLiteral("5000");

    QTest::mouseClick(Button("BitLoad"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Edit1->text() == dranik; }, 5000))
        << form->Edit1->text().toStdString();
    EXPECT_EQ(form->Edit2->text(), QStringLiteral("A"));
    EXPECT_EQ(form->CurrentLabels[3]->text(), QStringLiteral("10A"));

    form->Velmor1->trigger();
    EXPECT_EQ(RealEngine(*form).exchange.ModelIndex, 1);
    EXPECT_EQ(form->CurrentLabels[0]->text(), QStringLiteral("0.1A"));
    EXPECT_EQ(form->CurrentLabels[3]->text(), QStringLiteral(" 1A"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Edit1->text() == velmor; }, 5000))
        << form->Edit1->text().toStdString();

    form->Dranik2->trigger();
    EXPECT_EQ(RealEngine(*form).exchange.ModelIndex, 2);
    EXPECT_EQ(form->CurrentLabels[3]->text(), QStringLiteral("10A"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Edit1->text() == dranik; }, 5000))
        << form->Edit1->text().toStdString();
    QTest::mouseClick(Button("BitBtnStop"), Qt::LeftButton);
}
