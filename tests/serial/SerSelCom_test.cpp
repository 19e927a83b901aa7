// Unit under test: SerSelCom (the port selection dialog TComSelectForm).
#include "serial/SerSelCom.h"

#include "FakeDispatcher.h"
#include "PortHolder.h"
#include "PtyPair.h"
#include "platform/LastError.h"
#include "platform/SerialDevice.h"
#include "serial/SerExcept.h"
#include "serial/SerPort.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

// Answers the modal dialog that the next exec() shows.
void AnswerDialog(std::function<void(TComSelectForm&)> answer)
{
    QTimer::singleShot(0, [answer] {
        auto* form = dynamic_cast<TComSelectForm*>(QApplication::activeModalWidget());
        ASSERT_NE(form, nullptr);
        answer(*form);
    });
}

class SerSelCom : public ::testing::Test {
protected:
    void TearDown() override { SetComSelectDialog(nullptr); }
};

} // namespace

TEST_F(SerSelCom, LayoutCaptionsAndTabOrder)
{
    testutil::ComDir dir;
    TComSelectForm form;
    EXPECT_EQ(form.windowTitle(), "Select Port");
    EXPECT_EQ(form.size(), QSize(220, 131));
    EXPECT_EQ(form.Label1->text(), "The configured serial port is not valid.");
    // The labels take their caption's width in the face that stands in.
    EXPECT_EQ(form.Label1->geometry(), QRect(18, 14, form.Label1->sizeHint().width(), 13));
    EXPECT_EQ(form.Label2->text(), "Please choose another port.");
    EXPECT_EQ(form.Label2->geometry(), QRect(18, 30, form.Label2->sizeHint().width(), 13));
    EXPECT_EQ(form.Bevel1->geometry(), QRect(8, 8, 201, 42));
    EXPECT_EQ(form.PortsComboBox->geometry(), QRect(8, 64, 201, 21));
    EXPECT_FALSE(form.PortsComboBox->isEditable());
    EXPECT_EQ(form.OkBtn->text(), "OK");
    EXPECT_EQ(form.OkBtn->geometry(), QRect(8, 95, 85, 27));
    EXPECT_TRUE(form.OkBtn->isDefault());
    EXPECT_EQ(form.AbortBtn->text(), "Cancel");
    EXPECT_EQ(form.AbortBtn->geometry(), QRect(124, 95, 85, 27));
    EXPECT_EQ(form.OkBtn->nextInFocusChain(), form.AbortBtn);
    EXPECT_EQ(form.AbortBtn->nextInFocusChain(), form.PortsComboBox);
    EXPECT_EQ(form.findChild<QPushButton*>("OkBtn"), form.OkBtn);
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMinMaxButtonsHint);
}

TEST_F(SerSelCom, ListsThePortsThatExistInOrder)
{
    testutil::ComDir dir;
    testutil::PtyPair com1;
    testutil::PtyPair com3;
    testutil::PtyPair com10;
    dir.Link(1, com1.SlavePath());
    dir.Link(2, "/dev/velmor-no-such-device");
    dir.Link(3, com3.SlavePath());
    dir.Link(10, com10.SlavePath());
    testutil::PortHolder holder(com3.SlavePath());
    {
        platform::SerialDevice probe;
        EXPECT_FALSE(probe.Open("\\\\.\\COM3"));
        EXPECT_EQ(platform::GetLastError(), platform::ErrorAccessDenied);
    }

    EXPECT_FALSE(TComSelectForm::IsPortAvailable(0));
    EXPECT_FALSE(TComSelectForm::IsPortAvailable(2));
    EXPECT_TRUE(TComSelectForm::IsPortAvailable(3)) << "held by another program, but there";

    TComSelectForm form;
    ASSERT_EQ(form.PortsComboBox->count(), 3);
    EXPECT_EQ(form.PortsComboBox->itemText(0), "COM1");
    EXPECT_EQ(form.PortsComboBox->itemText(1), "COM3");
    EXPECT_EQ(form.PortsComboBox->itemText(2), "COM10");
    EXPECT_EQ(form.PortsComboBox->currentIndex(), 0);
    EXPECT_EQ(form.SelectedComNumber(), 1);
    form.PortsComboBox->setCurrentIndex(2);
    EXPECT_EQ(form.SelectedComNumber(), 10);

    // The test opened and closed the free ports: they can still be opened.
    EXPECT_TRUE(TComSelectForm::IsPortAvailable(1));
}

TEST_F(SerSelCom, ModalResults)
{
    testutil::ComDir dir;
    auto resultOf = [](std::function<void(TComSelectForm&)> act) {
        TComSelectForm form;
        form.open();
        act(form);
        const int result = form.result();
        EXPECT_FALSE(form.isVisible());
        return result;
    };
    EXPECT_EQ(resultOf([](TComSelectForm& f) { QTest::mouseClick(f.OkBtn, Qt::LeftButton); }), 1);
    EXPECT_EQ(resultOf([](TComSelectForm& f) { QTest::mouseClick(f.AbortBtn, Qt::LeftButton); }),
              3);
    EXPECT_EQ(resultOf([](TComSelectForm& f) { f.close(); }), 2);
    EXPECT_EQ(resultOf([](TComSelectForm& f) { QTest::keyClick(&f, Qt::Key_Return); }), 1);
    // Return presses the button that has the focus.
    EXPECT_EQ(resultOf([](TComSelectForm& f) {
                  f.AbortBtn->setFocus(Qt::TabFocusReason);
                  QTest::keyClick(f.AbortBtn, Qt::Key_Return);
              }),
              3);
    EXPECT_EQ(resultOf([](TComSelectForm& f) { QTest::keyClick(&f, Qt::Key_Escape); }), 2);

    // OK with nothing listed reports no number.
    TComSelectForm empty;
    EXPECT_EQ(empty.PortsComboBox->count(), 0);
    EXPECT_THROW(empty.SelectedComNumber(), EConvertError);
}

TEST_F(SerSelCom, TheComponentAsksThroughTheDialog)
{
    testutil::ComDir dir;
    testutil::PtyPair com7;
    dir.Link(7, com7.SlavePath());
    InstallComSelectForm();

    class TPortWithFake : public TSerComPort {
        std::unique_ptr<TSerBaseDispatcher> CreateDispatcher() override
        {
            return std::make_unique<TFakeDispatcher>(this);
        }
    } port;
    AnswerDialog([](TComSelectForm& f) { QTest::mouseClick(f.AbortBtn, Qt::LeftButton); });
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
    AnswerDialog([](TComSelectForm& f) { f.close(); });
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
    EXPECT_EQ(port.ComNumber(), 0);
    EXPECT_EQ(port.LinkState(), lsClosed);

    AnswerDialog([](TComSelectForm& f) { QTest::mouseClick(f.OkBtn, Qt::LeftButton); });
    port.SetOpen(true);
    EXPECT_EQ(port.ComNumber(), 7);
    EXPECT_EQ(static_cast<TFakeDispatcher*>(port.Dispatcher())->openedName, "\\\\.\\COM7");
    EXPECT_EQ(port.LinkState(), lsOpen);
    EXPECT_EQ(QApplication::topLevelWidgets().size(), 0) << "the dialog is freed";
}
