#include "ui/PageControl.h"

#include <QMouseEvent>
#include <QStyleOptionTab>
#include <QStylePainter>

#include <algorithm>

TMultiRowTabBar::TMultiRowTabBar(QWidget* parent) : QTabBar(parent)
{
    setUsesScrollButtons(false);
    setElideMode(Qt::ElideNone);
    setExpanding(false);
    setDrawBase(false);
    // QTabBar tracks hovering by its own one-row geometry, which is not ours.
    setAttribute(Qt::WA_Hover, false);
    connect(this, &QTabBar::currentChanged, this, [this] { update(); });
}

int TMultiRowTabBar::AvailableWidth() const
{
    if (parentWidget() != nullptr) {
        return parentWidget()->width();
    }
    return width();
}

TMultiRowTabBar::Layout TMultiRowTabBar::Arrange() const
{
    Layout layout;
    const int n = count();
    layout.rects.resize(static_cast<std::size_t>(n));
    layout.rowOfTab.resize(static_cast<std::size_t>(n));
    if (n == 0) {
        return layout;
    }
    const int available = std::max(1, AvailableWidth());
    const Rows rows = WrapRows(available);
    layout.rows = static_cast<int>(rows.tabs.size());

    // The current tab's row sits at the bottom, next to the page; the rows
    // after it follow upwards in turn.
    const int currentRow = RowOf(rows, std::max(0, currentIndex()));
    for (int r = 0; r < layout.rows; ++r) {
        const int fromBottom = (r - currentRow + layout.rows) % layout.rows;
        PlaceRow(layout, rows, r, (layout.rows - 1 - fromBottom) * rows.height, available);
    }
    return layout;
}

TMultiRowTabBar::Rows TMultiRowTabBar::WrapRows(int available) const
{
    // Fill rows left to right; a tab wider than the bar gets a row alone.
    Rows rows;
    rows.tabs.resize(1);
    int used = 0;
    for (int i = 0; i < count(); ++i) {
        const QSize hint = tabSizeHint(i);
        rows.height = std::max(rows.height, hint.height());
        if (!rows.tabs.back().empty() && used + hint.width() > available) {
            rows.tabs.emplace_back();
            used = 0;
        }
        rows.tabs.back().push_back(i);
        used += hint.width();
    }
    return rows;
}

int TMultiRowTabBar::RowOf(const Rows& rows, int tab)
{
    for (std::size_t r = 0; r < rows.tabs.size(); ++r) {
        if (std::find(rows.tabs[r].begin(), rows.tabs[r].end(), tab) != rows.tabs[r].end()) {
            return static_cast<int>(r);
        }
    }
    return 0;
}

void TMultiRowTabBar::PlaceRow(Layout& layout, const Rows& rows, int r, int top,
                               int available) const
{
    const auto& row = rows.tabs[static_cast<std::size_t>(r)];
    int natural = 0;
    for (int i : row) {
        natural += tabSizeHint(i).width();
    }
    // Wrapped rows are stretched to the full width; a single row keeps
    // its natural widths.
    const bool stretch = layout.rows > 1 && natural < available;
    int left = 0;
    int spread = 0;
    for (std::size_t k = 0; k < row.size(); ++k) {
        const int i = row[k];
        int w = tabSizeHint(i).width();
        if (stretch) {
            const int share =
                (available - natural) * static_cast<int>(k + 1) / static_cast<int>(row.size());
            w += share - spread;
            spread = share;
        }
        layout.rects[static_cast<std::size_t>(i)] = QRect(left, top, w, rows.height);
        layout.rowOfTab[static_cast<std::size_t>(i)] = r;
        left += w;
    }
}

QSize TMultiRowTabBar::sizeHint() const
{
    const Layout layout = Arrange();
    int width = 0;
    int height = 0;
    for (const QRect& r : layout.rects) {
        width = std::max(width, r.right() + 1);
        height = std::max(height, r.bottom() + 1);
    }
    return {width, height};
}

QSize TMultiRowTabBar::minimumSizeHint() const
{
    return sizeHint();
}

int TMultiRowTabBar::RowCount() const
{
    return Arrange().rows;
}

QRect TMultiRowTabBar::TabRect(int index) const
{
    const Layout layout = Arrange();
    if (index < 0 || index >= static_cast<int>(layout.rects.size())) {
        return {};
    }
    return layout.rects[static_cast<std::size_t>(index)];
}

int TMultiRowTabBar::TabAt(const QPoint& position) const
{
    const Layout layout = Arrange();
    for (std::size_t i = 0; i < layout.rects.size(); ++i) {
        if (layout.rects[i].contains(position)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void TMultiRowTabBar::paintEvent(QPaintEvent*)
{
    const Layout layout = Arrange();
    QStylePainter painter(this);
    const int current = currentIndex();

    auto draw = [&](int i) {
        QStyleOptionTab option;
        initStyleOption(&option, i);
        option.rect = layout.rects[static_cast<std::size_t>(i)];
        // The focus mark stays: it is how the operator sees the keyboard on the tabs.
        option.state &= ~QStyle::State_MouseOver;
        const int row = layout.rowOfTab[static_cast<std::size_t>(i)];
        const bool first = i == 0 || layout.rowOfTab[static_cast<std::size_t>(i - 1)] != row;
        const bool last =
            i == count() - 1 || layout.rowOfTab[static_cast<std::size_t>(i) + 1] != row;
        option.position = first && last ? QStyleOptionTab::OnlyOneTab
                          : first       ? QStyleOptionTab::Beginning
                          : last        ? QStyleOptionTab::End
                                        : QStyleOptionTab::Middle;
        option.selectedPosition = QStyleOptionTab::NotAdjacent;
        if (!first && current == i - 1) {
            option.selectedPosition = QStyleOptionTab::PreviousIsSelected;
        } else if (!last && current == i + 1) {
            option.selectedPosition = QStyleOptionTab::NextIsSelected;
        }
        painter.drawControl(QStyle::CE_TabBarTab, option);
    };
    // The current tab last, so that it overlaps its neighbours.
    for (int i = 0; i < count(); ++i) {
        if (i != current) {
            draw(i);
        }
    }
    if (current >= 0) {
        draw(current);
    }
}

void TMultiRowTabBar::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    const int index = TabAt(event->position().toPoint());
    if (index >= 0 && isTabEnabled(index)) {
        setCurrentIndex(index);
    }
    event->accept();
}

void TMultiRowTabBar::mouseMoveEvent(QMouseEvent* event)
{
    event->accept();
}

void TMultiRowTabBar::mouseReleaseEvent(QMouseEvent* event)
{
    event->accept();
}

TPageControl::TPageControl(QWidget* parent) : QTabWidget(parent), tabs(new TMultiRowTabBar(this))
{
    setTabBar(tabs);
}

void TPageControl::resizeEvent(QResizeEvent* event)
{
    // A new width may wrap the tabs differently.
    tabs->updateGeometry();
    QTabWidget::resizeEvent(event);
}
