#pragma once

#include <QTabBar>
#include <QTabWidget>

#include <vector>

// A tab bar whose tabs wrap into several rows when they do not fit its
// width, as the operator's page controls do, instead of scrolling. Rows that
// wrap are stretched to the full width, and the row holding the current tab
// is the one next to the page.
class TMultiRowTabBar : public QTabBar {
    Q_OBJECT

public:
    explicit TMultiRowTabBar(QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    int RowCount() const;
    // Where tab index is drawn and where it takes a click.
    QRect TabRect(int index) const;
    int TabAt(const QPoint& position) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    struct Layout {
        std::vector<QRect> rects;  // by tab index
        std::vector<int> rowOfTab; // row number as wrapped, by tab index
        int rows = 0;
    };
    // The tabs of each row in turn, as they fill the width, and the rows'
    // height.
    struct Rows {
        std::vector<std::vector<int>> tabs;
        int height = 0;
    };
    Layout Arrange() const;
    Rows WrapRows(int available) const;
    // The row that holds tab, 0 when none does.
    static int RowOf(const Rows& rows, int tab);
    // Places row r's tabs at top, stretched to available when wrapped.
    void PlaceRow(Layout& layout, const Rows& rows, int r, int top, int available) const;
    int AvailableWidth() const;
};

// A page control: QTabWidget with the wrapping tab bar above.
class TPageControl : public QTabWidget {
    Q_OBJECT

public:
    explicit TPageControl(QWidget* parent = nullptr);

    TMultiRowTabBar* Tabs() const { return tabs; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    TMultiRowTabBar* tabs;
};
