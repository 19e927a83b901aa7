// Unit under test: option2 (the options window Toption and the address check).
#include "ui/option2.h"

#include "support.h"
#include "ui/PageControl.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QtTest/QTest>

#include <gtest/gtest.h>

TEST(ValidateAddress, RangeAndIntegerSyntax)
{
    struct Case {
        const char* text;
        bool valid;
        int value; // checked when the text converts
    };
    const Case cases[] = {
        {"0", true, 0},       {"65534", true, 65534},
        {" 12", true, 12},    {"$FFFE", true, 65534},
        {"0x10", true, 16},   {"-0", true, 0},
        {"+7", true, 7},      {"xfF", true, 255},
        {"0X1f", true, 31},   {"  $ab", true, 171},
        {"012", true, 12},    {"65535", false, 65535},
        {"-1", false, -1},    {"$FFFF", false, 65535},
        {"-$10", false, -16}, {"2147483647", false, 2147483647},
    };
    for (const Case& c : cases) {
        int value = -999;
        EXPECT_EQ(ValidateAddress(QString::fromLatin1(c.text), value), c.valid) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
    // Texts that do not convert at all.
    for (const char* text :
         {"12 ", "", "x", "+", "-", "$", "0x", "4294967296", "2147483648", "$100000000", "1 2",
          "+ 5", "\t1", "1e3", "12a", "$G", "0x-1", "--1"}) {
        int value = -999;
        EXPECT_FALSE(ValidateAddress(QString::fromLatin1(text), value)) << text;
        EXPECT_EQ(value, -999) << text;
    }
    EXPECT_EQ(StrToInt32(QStringLiteral("-2147483648")), std::optional<std::int32_t>(INT32_MIN));
    EXPECT_EQ(StrToInt32(QStringLiteral("$7FFFFFFF")), std::optional<std::int32_t>(INT32_MAX));
    EXPECT_EQ(StrToInt32(QStringLiteral("٣")), std::nullopt) << "only ASCII digits";
}

TEST(Toption, StoredLayoutWithTheAddressPageInFront)
{
    Toption option;
    EXPECT_EQ(option.windowTitle(), QStringLiteral("Настройки"));
    EXPECT_FALSE(option.isVisible());
    EXPECT_EQ(option.Panel1->text(), QStringLiteral("Panel1"));
    EXPECT_EQ(option.Panel1->geometry(), QRect(0, 0, 185, 425));
    EXPECT_EQ(option.PageControl1->geometry(), QRect(191, 0, 363, 428));
    ASSERT_EQ(option.PageControl1->count(), 5);
    const char* const tabs[] = {"Шкала", "Сетевой адрес", "Яркость", "Скорость",
                                "Дополнительная информация"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(option.PageControl1->tabText(i), QString::fromUtf8(tabs[i]));
        EXPECT_EQ(option.PageControl1->widget(i)->objectName(),
                  QStringLiteral("TabSheet%1").arg(i + 1));
    }
    EXPECT_EQ(option.PageControl1->currentWidget(), option.TabSheet2);

    struct Place {
        QWidget* widget;
        QWidget* parent;
        QRect geometry;
        const char* caption;
    };
    const Place places[] = {
        {option.Panel2, option.TabSheet2, {0, 48, 353, 57}, nullptr},
        {option.Label1, option.Panel2, {8, 17, 101, 16}, "Сетевой адрес:"},
        {option.ed_addr, option.Panel2, {120, 12, 41, 24}, ""},
        {option.BitBtn2, option.Panel2, {184, 16, 75, 25}, "Прочитать"},
        {option.BitBtn1, option.Panel2, {272, 16, 73, 25}, "Записать"},
        {option.Panel3, option.TabSheet2, {0, 144, 353, 89}, nullptr},
        {option.Label2, option.Panel3, {8, 16, 118, 16}, "Заводской номер:"},
        {option.Label5, option.Panel3, {136, 16, 3, 16}, ""},
        {option.Label3, option.Panel3, {8, 48, 121, 16}, "Год изготовления:"},
        {option.Label4, option.Panel3, {136, 56, 3, 16}, ""},
        {option.BitBtn3, option.Panel3, {240, 32, 75, 25}, "Прочитать"},
    };
    for (const Place& p : places) {
        const std::string name = p.widget->objectName().toStdString();
        EXPECT_EQ(p.widget->parentWidget(), p.parent) << name;
        EXPECT_EQ(p.widget->geometry(), p.geometry) << name;
        if (p.caption != nullptr) {
            EXPECT_EQ(p.widget->property("text").toString(), QString::fromUtf8(p.caption)) << name;
            if (*p.caption != '\0') {
                EXPECT_TRUE(CaptionFits(p.widget)) << name;
            }
        }
    }
    EXPECT_EQ(option.Label1->font().pixelSize(), 13);
    EXPECT_EQ(option.ed_addr->font().pixelSize(), 13);
    EXPECT_EQ(NextTabStop(option.ed_addr), option.BitBtn1);
    EXPECT_EQ(NextTabStop(option.BitBtn1), option.BitBtn2);
    EXPECT_EQ(NextTabStop(option.BitBtn2), option.BitBtn3);
}

TEST(Toption, PageControlKeepsToTheRightEdge)
{
    Toption option;
    ASSERT_TRUE(ShowActive(option));
    option.resize(700, 500);
    EXPECT_EQ(option.PageControl1->geometry(), QRect(700 - 363, 0, 363, 500));
}

TEST(Toption, WrongAddressIsReportedAndTheFieldKeepsFocusAndText)
{
    Toption option;
    ASSERT_TRUE(ShowActive(option));
    option.ed_addr->setText(QStringLiteral("12 "));
    // Return presses the button that has the focus.
    option.BitBtn1->setFocus(Qt::TabFocusReason);
    const SeenBox box =
        CloseMessageBoxDuring([&] { QTest::keyClick(option.BitBtn1, Qt::Key_Return); });
    ASSERT_TRUE(box.shown);
    EXPECT_EQ(box.title, QStringLiteral("Error"));
    EXPECT_EQ(box.text, QStringLiteral("Неверно задан сетевой адрес"));
    EXPECT_EQ(box.icon, QMessageBox::Critical);
    EXPECT_EQ(box.buttons, QStringList{QStringLiteral("OK")});
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((box.frame.center() - screen.center()).manhattanLength(), 2);
    // The focus arrives when the window is active again.
    EXPECT_TRUE(QTest::qWaitFor([&] { return option.ed_addr->hasFocus(); }));
    EXPECT_EQ(option.ed_addr->text(), QStringLiteral("12 "));

    option.ed_addr->setText(QStringLiteral(" 12"));
    const SeenBox none = CloseMessageBoxDuring([&] { option.BitBtn1->click(); });
    EXPECT_FALSE(none.shown);
    EXPECT_EQ(option.ed_addr->text(), QStringLiteral(" 12"));
}

TEST(Toption, CloseHides)
{
    Toption option;
    ASSERT_TRUE(ShowActive(option));
    option.close();
    EXPECT_FALSE(option.isVisible());
    option.show();
    EXPECT_TRUE(option.isVisible());
}
