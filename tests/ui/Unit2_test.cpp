// Unit under test: Unit2 (the port settings dialog TForm2).
#include "ui/Unit2.h"

#include "support.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <vector>

namespace {

class Form2Test : public ::testing::Test {
protected:
    std::vector<int> numbers; // every ComNumber the dialog set
    TForm2 form{[this](int n) { numbers.push_back(n); }};

    // The operator opens the list and clicks an item.
    void Choose(QComboBox* box, int index)
    {
        box->showPopup();
        QAbstractItemView* view = box->view();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view->window()));
        const QRect item = view->visualRect(view->model()->index(index, 0));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, item.center());
        ASSERT_TRUE(QTest::qWaitFor([view] { return !view->isVisible(); }));
    }
};

} // namespace

TEST_F(Form2Test, StoredLayout)
{
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Настройка"));
    EXPECT_EQ(form.Label1->text(), QStringLiteral("Порт"));
    EXPECT_EQ(form.Label1->geometry(), QRect(40, 24, 33, 16));
    EXPECT_EQ(form.Label1->font().pixelSize(), 13);
    EXPECT_LE(form.Label1->sizeHint().width(), form.Label1->width());
    EXPECT_EQ(form.ComboBox1->geometry(), QRect(96, 24, 73, 21));
    EXPECT_EQ(form.ComboBox2->geometry(), QRect(184, 24, 73, 21));
    EXPECT_EQ(form.ComboBox1->currentText(), QStringLiteral("ComboBox1"));
    EXPECT_EQ(form.ComboBox2->currentText(), QStringLiteral("ComboBox2"));
    EXPECT_EQ(form.ComboBox1->currentIndex(), -1);
    ASSERT_EQ(form.ComboBox1->count(), 4);
    EXPECT_EQ(form.ComboBox1->itemText(0), QStringLiteral("COM1"));
    EXPECT_EQ(form.ComboBox1->itemText(3), QStringLiteral("COM4"));
    ASSERT_EQ(form.ComboBox2->count(), 2);
    EXPECT_EQ(form.ComboBox2->itemText(0), QStringLiteral("4800"));
    EXPECT_EQ(form.ComboBox2->itemText(1), QStringLiteral("9600"));
    EXPECT_TRUE(form.ComboBox1->isEditable());
    EXPECT_TRUE(form.ComboBox2->isEditable());
}

TEST_F(Form2Test, TabGoesFromPortToSpeed)
{
    ASSERT_TRUE(ShowActive(form));
    form.ComboBox1->setFocus(Qt::TabFocusReason);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QWidget* focus = QApplication::focusWidget();
    EXPECT_TRUE(focus == form.ComboBox2 || form.ComboBox2->isAncestorOf(focus));
}

TEST_F(Form2Test, LoadingShowsTheSettingsWithoutAChange)
{
    form.LoadPortSettings(2, 9600);
    EXPECT_EQ(form.ComboBox1->currentText(), QStringLiteral("COM2"));
    EXPECT_EQ(form.ComboBox2->currentText(), QStringLiteral("9600"));
    form.LoadPortSettings(5, 19200);
    EXPECT_EQ(form.ComboBox1->currentIndex(), -1);
    EXPECT_EQ(form.ComboBox2->currentText(), QStringLiteral("4800"));
    form.LoadPortSettings(3, 9600);
    EXPECT_EQ(form.ComboBox1->currentText(), QStringLiteral("COM3"));
    form.LoadPortSettings(0, 9600);
    EXPECT_EQ(form.ComboBox1->currentIndex(), -1);
    EXPECT_TRUE(numbers.empty());
}

TEST_F(Form2Test, OperatorChoiceSetsThePortAtOnce)
{
    form.LoadPortSettings(1, 9600);
    ASSERT_TRUE(ShowActive(form));
    Choose(form.ComboBox1, 2);
    EXPECT_EQ(numbers, std::vector<int>{3});
    EXPECT_EQ(form.ComboBox1->currentText(), QStringLiteral("COM3"));

    // The item already chosen: no change.
    Choose(form.ComboBox1, 2);
    EXPECT_EQ(numbers, std::vector<int>{3});

    // The speed box sets nothing.
    Choose(form.ComboBox2, 0);
    EXPECT_EQ(form.ComboBox2->currentText(), QStringLiteral("4800"));
    EXPECT_EQ(numbers, std::vector<int>{3});
    form.LoadPortSettings(3, 9600);
    EXPECT_EQ(form.ComboBox2->currentText(), QStringLiteral("9600"));
}

TEST_F(Form2Test, TypingLeavesNoItemChosen)
{
    form.LoadPortSettings(2, 9600);
    ASSERT_TRUE(ShowActive(form));
    QLineEdit* field = form.ComboBox1->lineEdit();
    field->setFocus();
    field->end(false);
    QTest::keyClick(field, Qt::Key_Backspace);
    EXPECT_EQ(field->text(), QStringLiteral("COM"));
    EXPECT_EQ(form.ComboBox1->currentIndex(), -1);
    EXPECT_EQ(numbers, std::vector<int>{0});

    // Typing an item's text and leaving the field chooses nothing either.
    QTest::keyClicks(field, QStringLiteral("3"));
    EXPECT_EQ(field->text(), QStringLiteral("COM3"));
    form.ComboBox2->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(form.ComboBox1->currentIndex(), -1);
    EXPECT_EQ(numbers.back(), 0);

    // Choosing from the list after typing is a change again.
    Choose(form.ComboBox1, 1);
    EXPECT_EQ(numbers.back(), 2);
}

TEST_F(Form2Test, ModalUntilClosedThenHidden)
{
    bool closedFromInside = false;
    QTimer::singleShot(0, &form, [&] {
        closedFromInside = form.isVisible() && form.isModal();
        form.close();
    });
    form.ShowModal();
    EXPECT_TRUE(closedFromInside);
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(numbers.empty());
}
