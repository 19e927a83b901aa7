#include "ui/TrendPlot.h"

#include <QDateTime>
#include <QEvent>
#include <QMouseEvent>
#include <QPen>
#include <QVBoxLayout>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

// One colour per unit bucket: voltage, current, power, a mode the meter has
// not.
QColor BucketColour(std::uint8_t bucket)
{
    static const std::array<QColor, TMeasurement::Buckets> colours = {
        QColor(0x1f, 0x5f, 0xbf), QColor(0xc0, 0x30, 0x20), QColor(0x20, 0x8a, 0x3c),
        QColor(0x70, 0x70, 0x70)};
    return colours[std::min<std::size_t>(bucket, colours.size() - 1)];
}

QList<QPointF> Points(const std::vector<TTrendPoint>& points)
{
    QList<QPointF> out;
    out.reserve(static_cast<qsizetype>(points.size()));
    for (const TTrendPoint& p : points) {
        out.append(QPointF(p.timeMs, p.value));
    }
    return out;
}

// Decimals for value labels a tick step apart.
int StepDecimals(double step)
{
    if (!(step > 0)) {
        return 0;
    }
    return std::clamp(static_cast<int>(std::ceil(-std::log10(step))), 0, 6);
}

constexpr int TimeTicks = 7;
constexpr int ValueTicks = 6;

// lo..hi widened to whole steps of 1, 2 or 5 times a power of ten, with at
// most ValueTicks ticks; the tick count that gives.
struct TNiceRange {
    double lo;
    double hi;
    int ticks;
};

TNiceRange Nice(double lo, double hi)
{
    if (!(hi > lo)) {
        return {lo, hi, ValueTicks};
    }
    const double rough = (hi - lo) / (ValueTicks - 1);
    double step = std::pow(10.0, std::floor(std::log10(rough)));
    for (const double factor : {1.0, 2.0, 5.0, 10.0, 20.0}) {
        const double s = step * factor;
        const double l = std::floor(lo / s) * s;
        const double h = std::ceil(hi / s) * s;
        const auto steps = static_cast<int>(std::lround((h - l) / s));
        if (steps <= ValueTicks - 1) {
            return {l, h, std::max(2, steps + 1)};
        }
    }
    return {lo, hi, ValueTicks};
}

} // namespace

TTrendPlot::TTrendPlot(QWidget* parent)
    : QWidget(parent), chart(new QChart), view(new QChartView(chart, this)),
      timeAxis(new QDateTimeAxis), valueAxis(new QValueAxis), dots(new QScatterSeries)
{
    setObjectName(QStringLiteral("Plot"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);

    // Nothing that costs a repaint without showing a reading.
    chart->legend()->hide();
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->setBackgroundRoundness(0);
    chart->setDropShadowEnabled(false);
    chart->setMargins(QMargins(4, 4, 8, 4));
    chart->setLocalizeNumbers(true);
    view->setRenderHint(QPainter::Antialiasing, false);
    view->setFrameShape(QFrame::NoFrame);
    view->setObjectName(QStringLiteral("PlotView"));

    timeAxis->setTickCount(TimeTicks);
    valueAxis->setTickCount(ValueTicks);
    chart->addAxis(timeAxis, Qt::AlignBottom);
    chart->addAxis(valueAxis, Qt::AlignLeft);

    dots->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
    dots->setMarkerSize(3);
    dots->setPen(Qt::NoPen);
    chart->addSeries(dots);
    dots->attachAxis(timeAxis);
    dots->attachAxis(valueAxis);

    view->viewport()->setMouseTracking(true);
    view->viewport()->installEventFilter(this);
}

TTrendPlot::~TTrendPlot() = default;

QLineSeries* TTrendPlot::LineSeries(std::size_t index)
{
    while (series.size() <= index) {
        auto* s = new QLineSeries;
        chart->addSeries(s);
        s->attachAxis(timeAxis);
        s->attachAxis(valueAxis);
        series.push_back(s);
    }
    return series[index];
}

int TTrendPlot::Columns() const
{
    const int width = qRound(chart->plotArea().width());
    // Before the first layout: the view less room for the value labels.
    return width > 0 ? width : std::max(1, view->width() - 80);
}

void TTrendPlot::Show(const std::vector<TTrendLine>& lines, double t0Ms, double t1Ms,
                      const QString& timeFormat, double lo, double hi, bool nice,
                      const QString& valueTitle)
{
    // Each change of a range or of points makes the chart work out every
    // series' geometry again: empty them first, set the ranges, then fill
    // each once.
    for (QLineSeries* s : series) {
        if (s->count() > 0) {
            s->clear();
        }
    }
    if (dots->count() > 0) {
        dots->clear();
    }
    const TNiceRange range = nice ? Nice(lo, hi) : TNiceRange{lo, hi, ValueTicks};
    if (valueAxis->tickCount() != range.ticks) {
        valueAxis->setTickCount(range.ticks);
    }
    valueAxis->setRange(range.lo, range.hi);
    const double step = (range.hi - range.lo) / (range.ticks - 1);
    const QString labels = QStringLiteral("%.%1f").arg(StepDecimals(step));
    if (valueAxis->labelFormat() != labels) {
        valueAxis->setLabelFormat(labels);
    }
    if (valueAxis->titleText() != valueTitle) {
        valueAxis->setTitleText(valueTitle);
    }
    if (timeAxis->format() != timeFormat) {
        timeAxis->setFormat(timeFormat);
    }
    timeAxis->setRange(QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::floor(t0Ms))),
                       QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::ceil(t1Ms))));

    // The longest lines get a series each; the rest are dots, never a line
    // drawn across a gap.
    std::vector<std::size_t> order(lines.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    if (lines.size() > MaxLines) {
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return lines[a].points.size() > lines[b].points.size();
        });
    }
    const std::size_t drawn = std::min<std::size_t>(lines.size(), MaxLines);
    for (std::size_t i = 0; i < drawn; ++i) {
        const TTrendLine& line = lines[order[i]];
        QLineSeries* s = LineSeries(i);
        QPen pen(BucketColour(line.bucket));
        pen.setWidth(1);
        if (s->pen() != pen) {
            s->setPen(pen);
        }
        s->replace(Points(line.points));
    }
    QList<QPointF> rest;
    for (std::size_t i = drawn; i < lines.size(); ++i) {
        rest.append(Points(lines[order[i]].points));
    }
    if (!rest.isEmpty()) {
        dots->setColor(BucketColour(lines[order.back()].bucket));
        dots->replace(rest);
    }
    linesShown = static_cast<int>(drawn);
    dotsShown = static_cast<int>(rest.size());
}

std::optional<QPointF> TTrendPlot::ValueAt(QPoint point) const
{
    const QPoint inView = view->viewport()->mapFrom(this, point);
    const QPointF inChart = chart->mapFromScene(view->mapToScene(inView));
    const QRectF area = chart->plotArea();
    if (!area.contains(inChart) || area.width() <= 0 || area.height() <= 0) {
        return std::nullopt;
    }
    const double t0 = static_cast<double>(timeAxis->min().toMSecsSinceEpoch());
    const double t1 = static_cast<double>(timeAxis->max().toMSecsSinceEpoch());
    const double x = (inChart.x() - area.left()) / area.width();
    const double y = (area.bottom() - inChart.y()) / area.height();
    return QPointF(t0 + x * (t1 - t0),
                   valueAxis->min() + y * (valueAxis->max() - valueAxis->min()));
}

void TTrendPlot::SetOnPointer(std::function<void(std::optional<QPointF>)> callback)
{
    onPointer = std::move(callback);
}

QImage TTrendPlot::Picture()
{
    return view->grab().toImage();
}

bool TTrendPlot::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == view->viewport() && onPointer) {
        if (event->type() == QEvent::MouseMove) {
            const QPoint at = static_cast<QMouseEvent*>(event)->position().toPoint();
            onPointer(ValueAt(view->viewport()->mapTo(this, at)));
        } else if (event->type() == QEvent::Leave) {
            onPointer(std::nullopt);
        }
    }
    return QWidget::eventFilter(watched, event);
}
