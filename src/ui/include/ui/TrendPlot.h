#pragma once

#include "ui/TrendData.h"

#include <QImage>
#include <QPointF>
#include <QString>
#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

class QChart;
class QChartView;
class QDateTimeAxis;
class QLineSeries;
class QScatterSeries;
class QValueAxis;

// The plot of the trend window: lines against wall-clock time. The one place
// that knows the plotting module (Qt Charts); the window hands it decimated
// lines and ranges and asks it where the pointer is.
class TTrendPlot : public QWidget {
public:
    explicit TTrendPlot(QWidget* parent = nullptr);
    ~TTrendPlot() override;
    TTrendPlot(const TTrendPlot&) = delete;
    TTrendPlot& operator=(const TTrendPlot&) = delete;

    // Pixel columns of the plot area: what the lines are decimated to.
    int Columns() const;

    // Draws lines over the time span t0Ms..t1Ms (ms since the epoch, local
    // time on the axis as timeFormat says) and the values lo..hi under
    // valueTitle; nice: rounds the value range to tick steps.
    void Show(const std::vector<TTrendLine>& lines, double t0Ms, double t1Ms,
              const QString& timeFormat, double lo, double hi, bool nice,
              const QString& valueTitle);

    // The time (ms since the epoch) and value under the point of this
    // widget, if it lies on the plot area.
    std::optional<QPointF> ValueAt(QPoint point) const;
    // Called with the pointer's place over the plot, or nothing once it left.
    void SetOnPointer(std::function<void(std::optional<QPointF>)> onPointer);

    // The plot as it is shown.
    QImage Picture();

    // The line series in use for the last Show, and the readings drawn as
    // dots because there were more lines than series.
    int LinesShown() const { return linesShown; }
    int DotsShown() const { return dotsShown; }

    // Lines beyond this many are drawn as dots: a series per line costs
    // every repaint.
    static constexpr int MaxLines = 256;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineSeries* LineSeries(std::size_t index);

    QChart* chart;
    QChartView* view;
    QDateTimeAxis* timeAxis;
    QValueAxis* valueAxis;
    std::vector<QLineSeries*> series;
    QScatterSeries* dots;
    std::function<void(std::optional<QPointF>)> onPointer;
    int linesShown = 0;
    int dotsShown = 0;
};
