// Unit under test: PageControl (tabs that wrap into rows).
#include "ui/PageControl.h"

#include "support.h"

#include <QPushButton>
#include <QtTest/QTest>

#include <gtest/gtest.h>

namespace {

void AddPages(TPageControl& pages)
{
    for (const char* caption :
         {"Шкала", "Сетевой адрес", "Яркость", "Скорость", "Дополнительная информация"}) {
        pages.addTab(new QWidget, QString::fromUtf8(caption));
    }
}

// The five pages in a control of width by height, shown and active.
bool ShowPages(TPageControl& pages, int width, int height)
{
    AddPages(pages);
    pages.resize(width, height);
    return ShowActive(pages);
}

} // namespace

TEST(PageControl, NarrowTabsWrapAndEveryCaptionFits)
{
    TPageControl pages;
    ASSERT_TRUE(ShowPages(pages, 363, 428));
    TMultiRowTabBar* bar = pages.Tabs();
    EXPECT_GE(bar->RowCount(), 2);

    const QFontMetrics metrics(bar->font());
    for (int i = 0; i < bar->count(); ++i) {
        const QRect r = bar->TabRect(i);
        EXPECT_GE(r.left(), 0) << i;
        EXPECT_LE(r.right(), pages.width() - 1) << i;
        EXPECT_GT(r.width(), metrics.horizontalAdvance(bar->tabText(i))) << i;
        for (int j = 0; j < i; ++j) {
            EXPECT_FALSE(r.intersects(bar->TabRect(j))) << i << " overlaps " << j;
        }
    }
    // The bar is tall enough for all rows, and the page starts below it.
    EXPECT_GE(bar->height(), bar->RowCount() * bar->TabRect(0).height());
    EXPECT_GE(pages.currentWidget()->mapTo(&pages, QPoint(0, 0)).y(), bar->height());
}

TEST(PageControl, ClickedTabComesToTheFrontRow)
{
    TPageControl pages;
    ASSERT_TRUE(ShowPages(pages, 363, 428));
    TMultiRowTabBar* bar = pages.Tabs();
    pages.setCurrentIndex(1);
    const int bottom = bar->TabRect(1).top();

    // The long tab sits alone in the other row, above the current one.
    const QRect far = bar->TabRect(4);
    ASSERT_LT(far.top(), bottom);
    QTest::mouseClick(bar, Qt::LeftButton, {}, far.center());
    EXPECT_EQ(pages.currentIndex(), 4);
    EXPECT_EQ(bar->TabRect(4).top(), bottom);
    EXPECT_LT(bar->TabRect(1).top(), bottom);
    EXPECT_EQ(bar->TabAt(bar->TabRect(1).center()), 1);
}

TEST(PageControl, WideEnoughIsOneRowOfNaturalWidths)
{
    TPageControl pages;
    ASSERT_TRUE(ShowPages(pages, 900, 300));
    EXPECT_EQ(pages.Tabs()->RowCount(), 1);
    const QRect last = pages.Tabs()->TabRect(4);
    EXPECT_LT(last.right(), 899);
}

TEST(PageControl, KeyboardFocusShowsOnTheCurrentTab)
{
    QWidget window;
    auto* before = new QPushButton(QStringLiteral("before"), &window);
    auto* pages = new TPageControl(&window);
    AddPages(*pages);
    pages->setGeometry(0, 30, 363, 200);
    ASSERT_TRUE(ShowActive(window));
    before->setFocus();
    TMultiRowTabBar* bar = pages->Tabs();
    const QImage unfocused = bar->grab().toImage();

    QTest::keyClick(before, Qt::Key_Tab);
    ASSERT_TRUE(bar->hasFocus());
    const QImage focused = bar->grab().toImage();
    // Something in the current tab changed, and nothing outside it.
    const QRect current = bar->TabRect(bar->currentIndex());
    bool inside = false;
    bool outside = false;
    for (int y = 0; y < focused.height(); ++y) {
        for (int x = 0; x < focused.width(); ++x) {
            if (focused.pixel(x, y) != unfocused.pixel(x, y)) {
                (current.contains(x, y) ? inside : outside) = true;
            }
        }
    }
    EXPECT_TRUE(inside);
    EXPECT_FALSE(outside);
}
