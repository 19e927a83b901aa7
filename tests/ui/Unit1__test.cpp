// Unit under test: Unit1_ (the main window TForm1 and its handlers).
#include "ui/Unit1_.h"

#include "support.h"
#include "ui/Engine.h"

#include "protocol/float.h"
#include "protocol/frames.h"
#include "protocol/reply.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Sent {
    Command command;
    std::uint8_t parameter;
    bool operator==(const Sent&) const = default;
};

// Keeps the engine state the window touches and records every call in order.
class TRecordingEngine : public TEngine {
public:
    std::uint8_t PollState() const override { return pollState; }
    void SetPollState(std::uint8_t value) override
    {
        pollState = value;
        calls.push_back("PollState=" + std::to_string(value));
    }
    void SetRequestParameter(std::uint8_t value) override { parameter = value; }
    void SendRequest(Command command) override
    {
        if (failSend) {
            throw std::runtime_error("Port COM1 not found");
        }
        sent.push_back({command, parameter});
        calls.push_back("Send" + std::to_string(static_cast<int>(command)));
    }
    void StopPolling() override
    {
        pollState = 0;
        calls.push_back("StopPolling");
    }
    void StartInterval() override { calls.push_back("StartInterval"); }
    std::uint8_t ModelIndex() const override { return modelIndex; }
    void SetModelIndex(std::uint8_t value) override { modelIndex = value; }
    std::uint16_t ComNumber() const override { return comNumber; }
    std::int32_t Baud() const override { return 9600; }
    void SetComNumber(std::uint16_t value) override { comNumber = value; }

    std::uint8_t pollState = 0;
    std::uint8_t parameter = 0;
    std::uint8_t modelIndex = ModelDranik;
    std::uint16_t comNumber = 1;
    bool failSend = false;
    std::vector<Sent> sent;
    std::vector<std::string> calls;
};

Frame Measurement(std::uint8_t mode, std::uint8_t voltage, std::uint8_t current, float value)
{
    Frame f{};
    f[0] = 0x41;
    f[1] = mode;
    f[2] = voltage;
    f[3] = current;
    const auto bytes = EncodeFloat(value);
    std::copy(bytes.begin(), bytes.end(), f.begin() + 4);
    return f;
}

class Form1Test : public ::testing::Test {
protected:
    std::unique_ptr<TRecordingEngine> recorder = std::make_unique<TRecordingEngine>();
    // The window owns the recorder; the test reads it.
    TRecordingEngine& engine = *recorder;
    TForm1 form{std::move(recorder)};

    template <typename T> T* Find(const char* name)
    {
        return form.findChild<T*>(QString::fromLatin1(name));
    }

    QRadioButton* Radio(const char* name) { return Find<QRadioButton>(name); }

    // The operator clicks a button: the press moves the focus, the release
    // clicks. A radio button takes clicks on its indicator and caption only.
    void Click(QWidget* widget)
    {
        const QPoint at = qobject_cast<QRadioButton*>(widget) != nullptr
                              ? QPoint(7, widget->height() / 2)
                              : widget->rect().center();
        QTest::mouseClick(widget, Qt::LeftButton, {}, at);
    }
};

} // namespace

TEST_F(Form1Test, ControlsAtTheirPlacesWithTheirCaptions)
{
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Velmor"));
    struct Place {
        const char* name;
        QRect geometry;
        const char* caption;
    };
    const Place places[] = {
        {"BitLoad", {136, 176, 137, 25}, "Чтение показаний"},
        {"BitSave", {16, 144, 25, 25}, ""},
        {"Edit1", {56, 8, 217, 81}, ""},
        {"Edit2", {280, 8, 65, 81}, ""},
        {"GroupBox1", {360, 0, 105, 89}, "Режим"},
        {"GroupBox2", {56, 104, 241, 57}, "Предел по напряжению"},
        {"GroupBox3", {320, 104, 145, 57}, "Предел по току"},
        {"BitBtnStop", {288, 176, 65, 25}, "Стоп"},
        {"RadioU", {8, 16, 89, 17}, "Напряжение"},
        {"RadioI", {8, 40, 81, 17}, "Ток"},
        {"RadioP", {8, 64, 81, 17}, "Мощность"},
        {"RadioButton4", {16, 32, 17, 17}, ""},
        {"RadioButton7", {104, 32, 17, 17}, ""},
        {"RadioButton10", {200, 32, 17, 17}, ""},
        {"RadioButton11", {16, 32, 17, 17}, ""},
        {"RadioButton14", {112, 32, 17, 17}, ""},
    };
    for (const Place& p : places) {
        QWidget* w = Find<QWidget>(p.name);
        ASSERT_NE(w, nullptr) << p.name;
        EXPECT_EQ(w->geometry(), p.geometry) << p.name;
        QString caption;
        if (auto* group = qobject_cast<QGroupBox*>(w)) {
            caption = group->title();
        } else {
            caption = w->property("text").toString();
        }
        EXPECT_EQ(caption, QString::fromUtf8(p.caption)) << p.name;
    }
    // Each range label over its button: left, top 16, height 13.
    const std::pair<const char*, int> voltage[] = {{"30V", 8},    {"60V", 40},   {"75V", 72},
                                                   {"150V", 104}, {"300V", 136}, {"450V", 168},
                                                   {"600V", 200}};
    for (int i = 0; i < 7; ++i) {
        const QLabel* label = Find<QLabel>(QStringLiteral("Label%1").arg(i + 1).toLatin1().data());
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->parentWidget(), form.GroupBox2);
        EXPECT_EQ(label->text(), QString::fromLatin1(voltage[i].first));
        EXPECT_EQ(label->geometry().topLeft(), QPoint(voltage[i].second, 16));
        EXPECT_EQ(label->height(), 13);
        EXPECT_EQ(
            Radio(QStringLiteral("RadioButton%1").arg(i + 4).toLatin1().data())->parentWidget(),
            form.GroupBox2);
    }
    const char* const current[] = {"1A", "2.5A", "5A", "10A"};
    for (int i = 0; i < 4; ++i) {
        const QLabel* label = Find<QLabel>(QStringLiteral("Label%1").arg(i + 8).toLatin1().data());
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->parentWidget(), form.GroupBox3);
        EXPECT_EQ(label->text(), QString::fromLatin1(current[i]));
        EXPECT_EQ(label->geometry().topLeft(), QPoint(16 + 32 * i, 16));
    }

    // The menu, left to right: the original three, then "Вид".
    const QList<QAction*> top = form.MainMenu->actions();
    ASSERT_EQ(top.size(), 4);
    EXPECT_EQ(top[0]->text(), QStringLiteral("Помощь"));
    EXPECT_EQ(top[1]->text(), QStringLiteral("Выбор прибора"));
    EXPECT_EQ(top[2]->text(), QStringLiteral("Настройка"));
    EXPECT_EQ(top[3]->text(), QStringLiteral("Вид"));
    EXPECT_EQ(Find<QMenu>("N4")->actions(), (QList<QAction*>{form.N5, form.N6}));
    EXPECT_EQ(form.N5->text(), QStringLiteral("График"));
    EXPECT_EQ(form.N6->text(), QStringLiteral("Запись в файл..."));
    EXPECT_FALSE(form.N6->isChecked());
    EXPECT_EQ(Find<QAction>("Version1101")->text(), QStringLiteral("Version 1.10"));
    EXPECT_EQ(Find<QAction>("Velmor1")->text(), QStringLiteral("Velmor/1"));
    EXPECT_EQ(Find<QAction>("Dranik2")->text(), QStringLiteral("Dranik/2"));
    EXPECT_EQ(Find<QAction>("N3")->text(), QStringLiteral("Порт"));
    EXPECT_EQ(Find<QAction>("ghfg1")->text(), QStringLiteral("Прибор"));
    EXPECT_EQ(Find<QMenu>("N1")->actions(), (QList<QAction*>{form.N3, form.ghfg1}));
}

TEST_F(Form1Test, DigitsAsLargeAsTheWidestReadingAllows)
{
    ASSERT_TRUE(ShowActive(form));
    // Inside the stored 2 px border the text has the whole box.
    EXPECT_EQ(TextRoom(form.Edit1), QSize(217 - 4, 81 - 4));
    EXPECT_EQ(TextRoom(form.Edit2), QSize(65 - 4, 81 - 4));
    EXPECT_EQ(form.Edit1->font(), form.Edit2->font());

    // The widest reading within the ranges: power at 30 W full scale, one
    // decimal more with the Velmor model.
    engine.modelIndex = ModelVelmor;
    form.ApplyReply(DecideReply(Measurement(3, 0, 0, -29.997f), 0, ModelVelmor, "."));
    ASSERT_EQ(form.Edit1->text(), QStringLiteral("-29.9970"));
    ASSERT_EQ(form.Edit2->text(), QStringLiteral("W"));
    EXPECT_TRUE(CaptionFits(form.Edit1));
    EXPECT_TRUE(CaptionFits(form.Edit2));
    // The stored 64 px, or as near to it as lets that reading fit.
    QFont larger = form.Edit1->font();
    ASSERT_LE(larger.pixelSize(), 64);
    if (larger.pixelSize() < 64) {
        larger.setPixelSize(larger.pixelSize() + 1);
        form.Edit1->setFont(larger);
        EXPECT_FALSE(CaptionFits(form.Edit1)) << larger.pixelSize() << " px would fit as well";
    }

    // A reading far outside its range keeps its sign and first digits in view.
    form.ApplyReply(DecideReply(Measurement(1, 0, 0, -1234567.0f), 0, ModelDranik, "."));
    form.Edit1->grab();
    EXPECT_EQ(form.Edit1->cursorPositionAt(QPoint(3, form.Edit1->height() / 2)), 0);
}

TEST_F(Form1Test, ReturnAndEnterPressTheFocusedButton)
{
    ASSERT_TRUE(ShowActive(form));
    QTest::keyClick(form.BitLoad, Qt::Key_Return);
    QTest::keyClick(form.BitLoad, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(engine.calls,
              (std::vector<std::string>{"PollState=1", "Send65", "PollState=1", "Send65"}));
    form.BitBtnStop->setFocus(Qt::TabFocusReason);
    QTest::keyClick(form.BitBtnStop, Qt::Key_Return);
    EXPECT_EQ(engine.pollState, 0);
}

TEST_F(Form1Test, FirstShowFocusesBitLoadAndShowsNothing)
{
    ASSERT_TRUE(ShowActive(form));
    EXPECT_EQ(QApplication::focusWidget(), form.BitLoad);
    EXPECT_TRUE(form.BitSave->isHidden());
    for (QRadioButton* r : form.findChildren<QRadioButton*>()) {
        EXPECT_FALSE(r->isChecked()) << r->objectName().toStdString();
    }
    EXPECT_TRUE(form.Edit1->text().isEmpty());
    EXPECT_TRUE(form.Edit2->text().isEmpty());
    EXPECT_FALSE(form.OperatorFocus());

    // Tab order: the window's chain meets the controls in the stored order.
    const QList<QWidget*> expected = {form.BitLoad, form.BitSave, form.Edit1, form.Edit2,
                                      form.RadioU,  form.RadioI,  form.RadioP};
    QList<QWidget*> seen;
    for (QWidget* w = form.BitLoad; seen.size() < expected.size(); w = w->nextInFocusChain()) {
        if (expected.contains(w)) {
            seen << w;
        }
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(NextTabStop(form.CurrentButtons[3]), form.BitBtnStop);
}

TEST_F(Form1Test, ProgrammaticCheckRunsTheHandlerOnlyOnChange)
{
    form.CurrentButtons[2]->setChecked(true);
    form.CurrentButtons[2]->setChecked(true);
    EXPECT_EQ(engine.sent, (std::vector<Sent>{{Command::SetCurrentRange, 2}}));
    form.CurrentButtons[0]->setChecked(true);
    EXPECT_EQ(engine.sent.back(), (Sent{Command::SetCurrentRange, 0}));
    EXPECT_FALSE(form.CurrentButtons[2]->isChecked());
    EXPECT_EQ(engine.sent.size(), 2u);

    // Without the operator's focus, mode and voltage changes send nothing.
    form.RadioP->setChecked(true);
    form.VoltageButtons[5]->setChecked(true);
    EXPECT_EQ(engine.sent.size(), 2u);
    EXPECT_TRUE(form.Edit2->text().isEmpty());
}

TEST_F(Form1Test, OperatorModeClickSendsSetMode)
{
    ASSERT_TRUE(ShowActive(form));
    form.RadioU->setChecked(true);
    form.Edit1->setText(QStringLiteral("12.500"));
    form.Edit2->setText(QStringLiteral("V"));
    ASSERT_TRUE(engine.sent.empty());

    Click(form.RadioI);
    EXPECT_TRUE(form.RadioI->isChecked());
    EXPECT_FALSE(form.RadioU->isChecked());
    EXPECT_EQ(form.Edit2->text(), QStringLiteral("A"));
    EXPECT_TRUE(form.Edit1->text().isEmpty());
    EXPECT_EQ(engine.sent, (std::vector<Sent>{{Command::SetMode, 2}}));
    EXPECT_FALSE(form.OperatorFocus());

    // The checked one again: nothing.
    Click(form.RadioI);
    EXPECT_EQ(engine.sent.size(), 1u);
}

TEST_F(Form1Test, OperatorRangeClicksSendTheirIndex)
{
    ASSERT_TRUE(ShowActive(form));
    Click(form.VoltageButtons[3]); // under "150V"
    EXPECT_EQ(engine.sent, (std::vector<Sent>{{Command::SetVoltageRange, 3}}));

    form.Velmor1Click(nullptr);
    Click(form.CurrentButtons[2]); // the third current button
    EXPECT_EQ(engine.sent.back(), (Sent{Command::SetCurrentRange, 2}));

    // During continuous polling the change stops the polling first.
    engine.pollState = 3;
    engine.calls.clear();
    Click(form.VoltageButtons[0]);
    EXPECT_EQ(engine.calls, (std::vector<std::string>{"StopPolling", "Send2"}));
    EXPECT_EQ(engine.sent.back(), (Sent{Command::SetVoltageRange, 0}));
    EXPECT_EQ(engine.pollState, 0);
    EXPECT_EQ(engine.sent.size(), 3u);
}

TEST_F(Form1Test, FocusMarksOnlyTheOperatorsMovesOntoModeAndVoltageButtons)
{
    ASSERT_TRUE(ShowActive(form));
    form.RadioU->setFocus(Qt::TabFocusReason);
    EXPECT_TRUE(form.OperatorFocus());
    form.RadioButton4Click(nullptr); // consumed by the next click handler
    EXPECT_FALSE(form.OperatorFocus());

    form.BitLoad->setFocus(Qt::TabFocusReason);
    form.CurrentButtons[1]->setFocus(Qt::TabFocusReason);
    EXPECT_FALSE(form.OperatorFocus());

    form.BitLoad->setFocus(Qt::TabFocusReason);
    form.VoltageButtons[2]->setFocus(Qt::ActiveWindowFocusReason);
    EXPECT_FALSE(form.OperatorFocus()) << "focus returning with the window";

    form.BitLoad->setFocus(Qt::TabFocusReason);
    form.VoltageButtons[2]->setFocus(Qt::BacktabFocusReason);
    EXPECT_TRUE(form.OperatorFocus());
    // A focused button left unchanged: the next change, even a reply's,
    // counts as the operator's.
    ReplyDecision d;
    d.mode = ModeCurrent;
    d.unit = "A";
    d.valueText = "0.5000";
    form.ApplyReply(d);
    EXPECT_EQ(engine.sent, (std::vector<Sent>{{Command::SetMode, 2}}));
    EXPECT_EQ(form.Edit1->text(), QStringLiteral("0.5000"));
    EXPECT_FALSE(form.OperatorFocus());
}

TEST_F(Form1Test, ArrowKeysFocusFirstThenChange)
{
    ASSERT_TRUE(ShowActive(form));
    form.RadioU->setChecked(true);
    form.RadioU->setFocus(Qt::TabFocusReason);
    QTest::keyClick(form.RadioU, Qt::Key_Down);
    EXPECT_TRUE(form.RadioI->isChecked());
    EXPECT_TRUE(form.RadioI->hasFocus());
    EXPECT_EQ(engine.sent, (std::vector<Sent>{{Command::SetMode, 2}}));
    // The move was consumed: a later change by a reply sends nothing.
    EXPECT_FALSE(form.OperatorFocus());
    ReplyDecision d;
    d.mode = ModePower;
    d.unit = "W";
    form.ApplyReply(d);
    EXPECT_EQ(engine.sent.size(), 1u);

    // Up from the first voltage button wraps to the last one.
    form.VoltageButtons[0]->setFocus(Qt::TabFocusReason);
    QTest::keyClick(form.VoltageButtons[0], Qt::Key_Up);
    EXPECT_TRUE(form.VoltageButtons[6]->isChecked());
    EXPECT_EQ(engine.sent.back(), (Sent{Command::SetVoltageRange, 6}));
    EXPECT_FALSE(form.OperatorFocus());
}

TEST_F(Form1Test, FirstReplyChecksButtonsAndSendsOnlyTheCurrentRange)
{
    engine.pollState = 1;
    const ReplyDecision d =
        DecideReply(Measurement(ModeVoltage, 6, 3, 230.456f), 0, ModelDranik, ".");
    form.ApplyReply(d);
    EXPECT_TRUE(form.RadioU->isChecked());
    EXPECT_TRUE(form.VoltageButtons[6]->isChecked());
    EXPECT_TRUE(form.CurrentButtons[3]->isChecked());
    EXPECT_EQ(form.Edit2->text(), QStringLiteral("V"));
    EXPECT_EQ(form.Edit1->text(), QStringLiteral("230.46"));
    EXPECT_EQ(engine.sent, (std::vector<Sent>{{Command::SetCurrentRange, 3}}));
    EXPECT_EQ(engine.calls, (std::vector<std::string>{"Send3", "StartInterval", "PollState=3"}));

    // The same ranges again change no button and send nothing; during
    // continuous polling a changed current range stops it, and the reply
    // then carries the cycle on.
    engine.calls.clear();
    form.ApplyReply(d);
    EXPECT_EQ(engine.calls, (std::vector<std::string>{"StartInterval", "PollState=3"}));
    engine.calls.clear();
    form.ApplyReply(DecideReply(Measurement(ModeVoltage, 6, 1, 12.0f), 2, ModelDranik, "."));
    EXPECT_EQ(engine.calls,
              (std::vector<std::string>{"StopPolling", "Send3", "StartInterval", "PollState=3"}));
    EXPECT_EQ(engine.sent.back(), (Sent{Command::SetCurrentRange, 1}));

    // A range reply checks its button and starts the interval, nothing more.
    engine.calls.clear();
    Frame range{};
    range[0] = 0x42;
    range[1] = 7; // no such range
    form.ApplyReply(DecideReply(range, 2, ModelDranik, "."));
    EXPECT_EQ(engine.calls, (std::vector<std::string>{"StartInterval"}));
    EXPECT_TRUE(form.VoltageButtons[6]->isChecked());
}

TEST_F(Form1Test, FailedRequestIsShownAndLeavesTheFocusMark)
{
    ASSERT_TRUE(ShowActive(form));
    form.RadioU->setChecked(true);
    engine.failSend = true;
    const SeenBox box = CloseMessageBoxDuring([&] { Click(form.RadioP); });
    ASSERT_TRUE(box.shown);
    EXPECT_EQ(box.text, QStringLiteral("Port COM1 not found."));
    EXPECT_EQ(box.icon, QMessageBox::Critical);
    EXPECT_TRUE(form.RadioP->isChecked());
    EXPECT_TRUE(form.OperatorFocus()) << "the handler's last step did not run";
    EXPECT_TRUE(engine.sent.empty());
}

TEST_F(Form1Test, ModelMenuChangesCurrentCaptionsAndModelOnly)
{
    engine.pollState = 3;
    form.Edit1->setText(QStringLiteral("1.000"));
    form.Velmor1->trigger();
    const char* const velmor[] = {"0.1A", "0.25A", "0.5A", " 1A"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(form.CurrentLabels[static_cast<std::size_t>(i)]->text(),
                  QString::fromLatin1(velmor[i]));
        EXPECT_GE(form.CurrentLabels[static_cast<std::size_t>(i)]->width(),
                  form.CurrentLabels[static_cast<std::size_t>(i)]->sizeHint().width());
    }
    EXPECT_EQ(engine.modelIndex, ModelVelmor);
    EXPECT_EQ(form.VoltageLabels[0]->text(), QStringLiteral("30V"));
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Velmor"));
    EXPECT_EQ(form.Edit1->text(), QStringLiteral("1.000"));

    form.Dranik2->trigger();
    const char* const dranik[] = {"1A", "2.5A", "5A", "10A"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(form.CurrentLabels[static_cast<std::size_t>(i)]->text(),
                  QString::fromLatin1(dranik[i]));
    }
    EXPECT_EQ(engine.modelIndex, ModelDranik);

    form.Version1101->trigger();
    EXPECT_TRUE(engine.sent.empty());
    EXPECT_TRUE(engine.calls.empty());
    EXPECT_EQ(engine.pollState, 3);
}

TEST_F(Form1Test, StartStopAndTheHiddenSaveButton)
{
    ASSERT_TRUE(ShowActive(form));
    Click(form.BitLoad);
    EXPECT_EQ(engine.calls, (std::vector<std::string>{"PollState=1", "Send65"}));
    Click(form.BitBtnStop);
    EXPECT_EQ(engine.pollState, 0);
    engine.parameter = 3;
    form.BitSave->click();
    EXPECT_EQ(engine.sent.back(), (Sent{Command::SetMode, 3}));
}

TEST_F(Form1Test, OptionWindowShownFromTheMenuOnly)
{
    QWidget options;
    form.SetOptionWindow(&options);
    ASSERT_TRUE(ShowActive(form));
    EXPECT_FALSE(options.isVisible());
    form.ghfg1->trigger();
    EXPECT_TRUE(options.isVisible());
    form.ghfg1->trigger();
    EXPECT_TRUE(options.isVisible());
}
