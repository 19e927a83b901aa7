// velmor-driven: velmor with an operator's first press, for the benchmark
// and the program's tests; not installed. It runs the program exactly as
// velmor does (ProgramMain), and once the main window has been painted for
// the first time it reports that moment on standard error ("velmor-shown"
// and the steady clock in nanoseconds) and presses "Чтение показаний".
//
// velmor-driven --trend HOURS [--repaints N] [--span minute|ten|hour|all]
// first fills the trend window's readings with HOURS of simulated ones
// ending now, opens "Вид" > "График" with a plot 1280 px wide, times N
// repaints at each span, each after one more reading as when following
// ("trend-repaint SPAN p50 p99 max", ms, on standard error), and leaves the
// window at the given span (default: one minute) while the program reads.
#include "simulated-day/SimulatedDay.h"
#include "ui/Startup.h"
#include "ui/TrendPlot.h"
#include "ui/TrendWindow.h"

#include <QApplication>
#include <QDateTime>
#include <QEvent>
#include <QMetaObject>
#include <QPushButton>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct TrendOptions {
    double hours = 0;
    int repaints = 200;
    TTrendWindow::Span span = TTrendWindow::Span::Minute;
};

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

// The plot exactly 1280 pixel columns wide.
void Widen(TTrendWindow& trend)
{
    trend.resize(1280 + 120, 640);
    trend.show();
    for (int i = 0; i < 3; ++i) {
        QApplication::processEvents();
        trend.Redraw();
        QApplication::processEvents();
        trend.resize(trend.width() + 1280 - trend.Plot->Columns(), trend.height());
    }
}

void TimeRepaints(TForm1& form, TTrendWindow& trend, int repaints)
{
    const std::pair<TTrendWindow::Span, const char*> spans[] = {
        {TTrendWindow::Span::Minute, "minute"},
        {TTrendWindow::Span::TenMinutes, "ten-minutes"},
        {TTrendWindow::Span::Hour, "hour"},
        {TTrendWindow::Span::All, "all"}};
    TTrendData& data = form.TrendData();
    for (const auto& [span, name] : spans) {
        trend.SetSpan(span);
        QApplication::processEvents();
        std::vector<double> ms;
        for (int i = 0; i < repaints; ++i) {
            // One reading more, as the window gets them while following.
            const TMeasurement& newest = data.Newest();
            data.Append(newest.WithTime(newest.TimeMs() + 110));
            const auto t0 = Clock::now();
            trend.Redraw();
            trend.Plot->repaint();
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
        std::fprintf(stderr, "trend-repaint %s %.3f %.3f %.3f %d\n", name, Percentile(ms, 0.5),
                     Percentile(ms, 0.99), Percentile(ms, 1.0), trend.Plot->Columns());
    }
    std::fprintf(stderr, "trend-held %zu\n", data.Size());
    std::fflush(stderr);
}

class TFirstPaint : public QObject {
public:
    TFirstPaint(TForm1& form, TrendOptions trend) : QObject(&form), form(form), trend(trend) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == &form && event->type() == QEvent::Paint && !painted) {
            painted = true;
            // Queued, so that the stamp follows the finished paint.
            QMetaObject::invokeMethod(
                this,
                [this] {
                    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        Clock::now().time_since_epoch())
                                        .count();
                    std::fprintf(stderr, "velmor-shown %lld\n", static_cast<long long>(ns));
                    std::fflush(stderr);
                    if (trend.hours > 0) {
                        OpenTrend();
                    }
                    form.BitLoad->click();
                },
                Qt::QueuedConnection);
        }
        return false;
    }

private:
    void OpenTrend()
    {
        const auto now = QDateTime::currentMSecsSinceEpoch();
        simday::Fill(form.TrendData(), now - static_cast<std::int64_t>(trend.hours * 3600e3),
                     trend.hours);
        form.N5->trigger();
        TTrendWindow& window = *form.TrendWindow();
        Widen(window);
        TimeRepaints(form, window, trend.repaints);
        window.SetSpan(trend.span);
        window.Redraw();
    }

    TForm1& form;
    TrendOptions trend;
    bool painted = false;
};

} // namespace

int main(int argc, char** argv)
{
    TrendOptions trend;
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--trend") {
            trend.hours = std::atof(argv[i + 1]);
        } else if (option == "--repaints") {
            trend.repaints = std::max(1, std::atoi(argv[i + 1]));
        } else if (option == "--span") {
            const std::string span = argv[i + 1];
            trend.span = span == "all"    ? TTrendWindow::Span::All
                         : span == "hour" ? TTrendWindow::Span::Hour
                         : span == "ten"  ? TTrendWindow::Span::TenMinutes
                                          : TTrendWindow::Span::Minute;
        }
    }
    return ProgramMain(argc, argv, [trend](TProgram& program) {
        program.Form1->installEventFilter(new TFirstPaint(*program.Form1, trend));
    });
}
