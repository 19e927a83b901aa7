#include "ui/TrendPlot.h"

#include <QDateTime>
#include <QEvent>
#include <QMouseEvent>
#include <QPen>
#include <QSet>
#include <QVBoxLayout>
#include <QtCharts/QCategoryAxis>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
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

// Decimals for value labels a tick step apart: as many as the step has
// (2.5 has one).
int StepDecimals(double step)
{
    if (!(step > 0)) {
        return 0;
    }
    for (int decimals = 0; decimals < 6; ++decimals) {
        const double scaled = step * std::pow(10.0, decimals);
        if (std::abs(scaled - std::round(scaled)) <= 1e-6 * scaled) {
            return decimals;
        }
    }
    return 6;
}

constexpr int ValueTicks = 6;
// At most this many steps between the time labels.
constexpr double TimeSteps = 6;

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
    const double step = std::pow(10.0, std::floor(std::log10(rough)));
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

// A tick count for exactly lo..hi (a full scale): steps that read as round
// numbers (30 V in steps of 5, 75 V of 15, 450 V of 75), else ValueTicks.
int ExactTicks(double lo, double hi)
{
    const double width = hi - lo;
    if (!(width > 0)) {
        return ValueTicks;
    }
    for (int steps = ValueTicks; steps >= 3; --steps) {
        const double step = width / steps;
        const double mantissa = step / std::pow(10.0, std::floor(std::log10(step)));
        for (const double round : {1.0, 1.5, 2.0, 2.5, 3.0, 5.0, 7.5}) {
            if (std::abs(mantissa - round) < 1e-9) {
                return steps + 1;
            }
        }
    }
    return ValueTicks;
}

// Time labels at whole steps of the local clock: the smallest step that
// gives at most TimeSteps of them across the span.
std::vector<std::pair<QString, double>> TimeTicks(double t0Ms, double t1Ms)
{
    constexpr qint64 S = 1000;
    constexpr qint64 M = 60 * S;
    constexpr qint64 H = 60 * M;
    constexpr qint64 D = 24 * H;
    static constexpr std::array<qint64, 21> steps = {
        S,      2 * S, 5 * S, 10 * S, 15 * S, 30 * S, M,      2 * M, 5 * M, 10 * M, 15 * M,
        30 * M, H,     2 * H, 3 * H,  4 * H,  6 * H,  12 * H, D,     2 * D, 7 * D};
    const double span = t1Ms - t0Ms;
    qint64 step = steps.back();
    for (const qint64 s : steps) {
        if (span / static_cast<double>(s) <= TimeSteps) {
            step = s;
            break;
        }
    }
    while (span / static_cast<double>(step) > TimeSteps) {
        step *= 2;
    }
    const QString format = step < M                ? QStringLiteral("hh:mm:ss")
                           : span <= 12.0 * 3600e3 ? QStringLiteral("hh:mm")
                           : step < D              ? QStringLiteral("dd.MM hh:mm")
                                                   : QStringLiteral("dd.MM");
    // Whole steps of local time: the offset from UTC at the span's start.
    const auto start = static_cast<qint64>(std::floor(t0Ms));
    const qint64 offset = QDateTime::fromMSecsSinceEpoch(start).offsetFromUtc() * S;
    const double first =
        std::ceil(static_cast<double>(start + offset) / static_cast<double>(step)) *
            static_cast<double>(step) -
        static_cast<double>(offset);
    std::vector<std::pair<QString, double>> ticks;
    QSet<QString> used;
    for (double t = first; t <= t1Ms; t += static_cast<double>(step)) {
        QString label = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(t)).toString(format);
        // A category's label must be unique; the hour a clock goes back
        // comes twice.
        while (used.contains(label)) {
            label += QChar(0x200B);
        }
        used.insert(label);
        ticks.emplace_back(label, t);
    }
    return ticks;
}

} // namespace

TTrendPlot::TTrendPlot(QWidget* parent)
    : QWidget(parent), chart(new QChart), view(new QChartView(chart, this)),
      timeAxis(new QCategoryAxis)
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

    timeAxis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    chart->addAxis(timeAxis, Qt::AlignBottom);
    for (std::size_t b = 0; b < Buckets; ++b) {
        const QColor colour = BucketColour(static_cast<std::uint8_t>(b));
        for (const bool left : {true, false}) {
            auto* axis = new QValueAxis;
            axis->setTickCount(ValueTicks);
            axis->setTitleBrush(colour);
            axis->setLinePenColor(colour);
            // The grid is the left scale's; a right one's labels are in
            // its line's colour.
            axis->setGridLineVisible(left);
            if (!left) {
                axis->setLabelsBrush(colour);
            }
            axis->setVisible(false);
            chart->addAxis(axis, left ? Qt::AlignLeft : Qt::AlignRight);
            (left ? leftAxes : rightAxes)[b] = axis;
        }
        valueAxes[b] = leftAxes[b];

        auto* d = new QScatterSeries;
        d->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
        d->setMarkerSize(3);
        d->setPen(Qt::NoPen);
        d->setColor(colour);
        chart->addSeries(d);
        d->attachAxis(timeAxis);
        d->attachAxis(valueAxes[b]);
        dots[b] = d;
    }

    view->viewport()->setMouseTracking(true);
    view->viewport()->installEventFilter(this);
}

TTrendPlot::~TTrendPlot() = default;

QLineSeries* TTrendPlot::LineSeries(std::uint8_t bucket, std::size_t index)
{
    std::vector<QLineSeries*>& pool = series[bucket];
    while (pool.size() <= index) {
        auto* s = new QLineSeries;
        QPen pen(BucketColour(bucket));
        pen.setWidth(1);
        s->setPen(pen);
        chart->addSeries(s);
        s->attachAxis(timeAxis);
        s->attachAxis(valueAxes[bucket]);
        pool.push_back(s);
    }
    return pool[index];
}

int TTrendPlot::Columns() const
{
    const int width = qRound(chart->plotArea().width());
    // Before the first layout: the view less room for the value labels.
    return width > 0 ? width : std::max(1, view->width() - 80);
}

void TTrendPlot::Arrange(const std::vector<TTrendScale>& scales)
{
    std::vector<std::uint8_t> wanted;
    for (const TTrendScale& s : scales) {
        wanted.push_back(s.bucket);
    }
    if (wanted == arranged) {
        return;
    }
    // The chart lays out the right axes in the order they were added, by
    // unit; the window asks for them in that order.
    for (std::uint8_t b = 0; b < Buckets; ++b) {
        const auto at = std::find(wanted.begin(), wanted.end(), b);
        QValueAxis* axis = at == wanted.begin() ? leftAxes[b] : rightAxes[b];
        leftAxes[b]->setVisible(at == wanted.begin());
        rightAxes[b]->setVisible(at != wanted.begin() && at != wanted.end());
        if (axis == valueAxes[b]) {
            continue;
        }
        for (QLineSeries* s : series[b]) {
            s->detachAxis(valueAxes[b]);
            s->attachAxis(axis);
        }
        dots[b]->detachAxis(valueAxes[b]);
        dots[b]->attachAxis(axis);
        valueAxes[b] = axis;
    }
    arranged = wanted;
}

void TTrendPlot::ShowTimes(double t0Ms, double t1Ms)
{
    shownT0 = t0Ms;
    shownT1 = t1Ms;
    std::vector<std::pair<QString, double>> wanted = TimeTicks(t0Ms, t1Ms);
    // The range first, so that no category lies outside it.
    timeAxis->setRange(t0Ms, t1Ms);
    if (wanted != ticks) {
        for (const QString& label : timeAxis->categoriesLabels()) {
            timeAxis->remove(label);
        }
        // Each label at the end of a category a step wide.
        const double step = wanted.size() > 1 ? wanted[1].second - wanted[0].second : 1000;
        timeAxis->setStartValue(wanted.empty() ? t0Ms : wanted.front().second - step);
        for (const auto& [label, t] : wanted) {
            timeAxis->append(label, t);
        }
        ticks = std::move(wanted);
    }
}

void TTrendPlot::Show(const std::vector<TTrendLine>& lines, double t0Ms, double t1Ms,
                      const std::vector<TTrendScale>& scales)
{
    // Each change of a range or of points makes the chart work out every
    // series' geometry again: empty them first, set the ranges, then fill
    // each once.
    EmptySeries();
    Arrange(scales);
    for (const TTrendScale& scale : scales) {
        ShowScale(scale);
    }
    ShowTimes(t0Ms, t1Ms);
    FillSeries(lines);
    Point();
}

void TTrendPlot::EmptySeries()
{
    for (const auto& pool : series) {
        for (QLineSeries* s : pool) {
            if (s->count() > 0) {
                s->clear();
            }
        }
    }
    for (QScatterSeries* d : dots) {
        if (d->count() > 0) {
            d->clear();
        }
    }
}

void TTrendPlot::ShowScale(const TTrendScale& scale)
{
    QValueAxis* axis = valueAxes[scale.bucket];
    const TNiceRange range = scale.nice
                                 ? Nice(scale.lo, scale.hi)
                                 : TNiceRange{scale.lo, scale.hi, ExactTicks(scale.lo, scale.hi)};
    if (axis->tickCount() != range.ticks) {
        axis->setTickCount(range.ticks);
    }
    axis->setRange(range.lo, range.hi);
    const double step = (range.hi - range.lo) / (range.ticks - 1);
    const QString labels = QStringLiteral("%.%1f").arg(StepDecimals(step));
    if (axis->labelFormat() != labels) {
        axis->setLabelFormat(labels);
    }
    if (axis->titleText() != scale.title) {
        axis->setTitleText(scale.title);
    }
}

void TTrendPlot::FillSeries(const std::vector<TTrendLine>& lines)
{
    // The longest lines get a series each; the rest are dots, never a line
    // drawn across a gap.
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (std::find(arranged.begin(), arranged.end(), lines[i].bucket) != arranged.end()) {
            order.push_back(i);
        }
    }
    const std::size_t drawn = std::min<std::size_t>(order.size(), MaxLines);
    if (order.size() > MaxLines) {
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return lines[a].points.size() > lines[b].points.size();
        });
    }
    std::array<std::size_t, Buckets> used{};
    for (std::size_t i = 0; i < drawn; ++i) {
        const TTrendLine& line = lines[order[i]];
        LineSeries(line.bucket, used[line.bucket]++)->replace(Points(line.points));
    }
    std::array<QList<QPointF>, Buckets> rest;
    int restCount = 0;
    for (std::size_t i = drawn; i < order.size(); ++i) {
        const TTrendLine& line = lines[order[i]];
        rest[line.bucket].append(Points(line.points));
        restCount += static_cast<int>(line.points.size());
    }
    for (std::size_t b = 0; b < Buckets; ++b) {
        if (!rest[b].isEmpty()) {
            dots[b]->replace(rest[b]);
        }
    }
    linesShown = static_cast<int>(drawn);
    dotsShown = restCount;
}

std::optional<TTrendPointer> TTrendPlot::ValueAt(QPoint point) const
{
    const QPoint inView = view->viewport()->mapFrom(this, point);
    const QPointF inChart = chart->mapFromScene(view->mapToScene(inView));
    const QRectF area = chart->plotArea();
    if (!area.contains(inChart) || area.width() <= 0 || area.height() <= 0 || arranged.empty()) {
        return std::nullopt;
    }
    const double x = (inChart.x() - area.left()) / area.width();
    const double y = (area.bottom() - inChart.y()) / area.height();
    TTrendPointer at;
    at.timeMs = shownT0 + x * (shownT1 - shownT0);
    for (const std::uint8_t b : arranged) {
        const QValueAxis* axis = valueAxes[b];
        at.values.emplace_back(b, axis->min() + y * (axis->max() - axis->min()));
    }
    return at;
}

void TTrendPlot::SetOnPointer(std::function<void(std::optional<TTrendPointer>)> callback)
{
    onPointer = std::move(callback);
}

QStringList TTrendPlot::TimeLabels() const
{
    return timeAxis->categoriesLabels();
}

QImage TTrendPlot::Picture()
{
    return view->grab().toImage();
}

void TTrendPlot::Point()
{
    if (onPointer) {
        onPointer(pointer ? ValueAt(view->viewport()->mapTo(this, *pointer)) : std::nullopt);
    }
}

bool TTrendPlot::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == view->viewport()) {
        if (event->type() == QEvent::MouseMove) {
            pointer = static_cast<QMouseEvent*>(event)->position().toPoint();
            Point();
        } else if (event->type() == QEvent::Leave) {
            pointer.reset();
            Point();
        }
    }
    return QWidget::eventFilter(watched, event);
}
