#pragma once

#include "ui/TrendData.h"

#include <QImage>
#include <QPoint>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

class QCategoryAxis;
class QChart;
class QChartView;
class QLineSeries;
class QScatterSeries;
class QValueAxis;

// A value axis of the plot: the lines of one unit bucket, from lo to hi.
struct TTrendScale {
    std::uint8_t bucket = 0;
    double lo = 0;
    double hi = 1;
    // Widened to whole tick steps (an automatic scale), or exactly lo..hi.
    bool nice = true;
    QString title;
};

// Where the pointer is: the time, and the value on each scale shown, in the
// order of the scales.
struct TTrendPointer {
    double timeMs = 0;
    std::vector<std::pair<std::uint8_t, double>> values;
};

// The plot of the trend window: lines against wall-clock time, a value axis
// per unit. The one place that knows the plotting module (Qt Charts); the
// window hands it decimated lines and scales and asks it where the pointer
// is.
class TTrendPlot : public QWidget {
public:
    explicit TTrendPlot(QWidget* parent = nullptr);
    ~TTrendPlot() override;
    TTrendPlot(const TTrendPlot&) = delete;
    TTrendPlot& operator=(const TTrendPlot&) = delete;

    // Pixel columns of the plot area: what the lines are decimated to.
    int Columns() const;

    // Draws lines over the time span t0Ms..t1Ms (ms since the epoch, local
    // time on the axis at whole seconds, minutes or hours). scales: the
    // first on the left with the grid, the others on the right; lines of a
    // bucket without a scale are left out.
    void Show(const std::vector<TTrendLine>& lines, double t0Ms, double t1Ms,
              const std::vector<TTrendScale>& scales);

    // The time and values under the point of this widget, if it lies on
    // the plot area.
    std::optional<TTrendPointer> ValueAt(QPoint point) const;
    // Called with the pointer's place over the plot (also when the picture
    // moves under it), or nothing once it left.
    void SetOnPointer(std::function<void(std::optional<TTrendPointer>)> onPointer);

    // The plot as it is shown.
    QImage Picture();

    // The line series in use for the last Show, and the readings drawn as
    // dots because there were more lines than series.
    int LinesShown() const { return linesShown; }
    int DotsShown() const { return dotsShown; }
    // The time axis' labels, left to right.
    QStringList TimeLabels() const;

    // Lines beyond this many are drawn as dots: a series per line costs
    // every repaint.
    static constexpr int MaxLines = 256;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    static constexpr std::size_t Buckets = TMeasurement::Buckets;

    QLineSeries* LineSeries(std::uint8_t bucket, std::size_t index);
    // The value axes as scales asks: the first bucket's on the left, the
    // others' on the right, the rest hidden. A unit has an axis on either
    // side and its series go over to the other one only when the order
    // changes.
    void Arrange(const std::vector<TTrendScale>& scales);
    void ShowTimes(double t0Ms, double t1Ms);
    // Every series without points, before the ranges change.
    void EmptySeries();
    // The range, ticks and title of a scale's axis.
    void ShowScale(const TTrendScale& scale);
    // The longest lines as series, the rest as dots.
    void FillSeries(const std::vector<TTrendLine>& lines);
    void Point();

    QChart* chart;
    QChartView* view;
    QCategoryAxis* timeAxis;
    std::array<QValueAxis*, Buckets> leftAxes{};
    std::array<QValueAxis*, Buckets> rightAxes{};
    // Per bucket, the one of the two its series are attached to.
    std::array<QValueAxis*, Buckets> valueAxes{};
    // Per bucket, attached to its value axis.
    std::array<std::vector<QLineSeries*>, Buckets> series;
    std::array<QScatterSeries*, Buckets> dots{};
    // The buckets of the value axes shown, left first; empty before the
    // first Show.
    std::vector<std::uint8_t> arranged;
    // The ticks on the time axis now: label and time.
    std::vector<std::pair<QString, double>> ticks;
    double shownT0 = 0;
    double shownT1 = 1;
    std::function<void(std::optional<TTrendPointer>)> onPointer;
    // The pointer over the plot, in viewport coordinates.
    std::optional<QPoint> pointer;
    int linesShown = 0;
    int dotsShown = 0;
};
