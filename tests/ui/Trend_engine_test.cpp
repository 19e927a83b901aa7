// Unit under test: the "Вид" menu of TForm1 (src/ui/Unit1_View), the trend window
// (src/ui/TrendWindow) and recording, with the real engine against the simulated meter.
#include "EngineHarness.h"
#include "SimTest.h"
#include "TempDir.h"
#include "TrendReading.h"
#include "support.h"
#include "ui/TrendData.h"
#include "ui/TrendPlot.h"
#include "ui/TrendWindow.h"

#include "protocol/float.h"
#include "record/Reading.h"

#include <QAbstractScrollArea>
#include <QAction>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/mount.h>
#include <unistd.h>

namespace {

const std::regex TimeField(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");

std::string FileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> FileLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(FileText(path));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The lines with the time field checked and cut off; the header as it is.
std::vector<std::string> WithoutTimes(const std::vector<std::string>& lines)
{
    std::vector<std::string> out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (i == 0) {
            out.push_back(line);
            continue;
        }
        const auto comma = line.find(',');
        EXPECT_TRUE(std::regex_match(line.substr(0, comma), TimeField)) << line;
        out.push_back(line.substr(comma));
    }
    return out;
}

// velmor-log against the harness's COM map, to its end.
int RunVelmorLog(std::vector<std::string> args, const std::filesystem::path& comDir)
{
    args.insert(args.begin(), VELMOR_LOG_PROGRAM);
    simtest::Child log(std::move(args), comDir);
    return log.Exit();
}

class TrendEngine : public EngineHarness {
protected:
    // Waits for the meter's silence to be shown, and closes its box.
    void CloseTheSilenceBox()
    {
        ASSERT_TRUE(QTest::qWaitFor([&] { return ErrorBox() != nullptr; }, 5000));
        ErrorBox()->close();
        ASSERT_TRUE(QTest::qWaitFor([&] { return ErrorBox() == nullptr; }, 2000));
    }
};

} // namespace

// Power at 150 V and 2.5 A, read by velmor-log and then by the window while
// it records: three readings and a no-reply each. Apart from the times the
// files are the same, byte for byte.
TEST_F(TrendEngine, TheRecordedFileIsWhatVelmorLogWrites)
{
    Begin();
    sim->SetState({3, 3, 1});
    simtest::TempDir tmp;
    const std::string logged = tmp / "velmor-log.csv";
    const std::string recorded = tmp / "window.csv";
    ASSERT_EQ(RunVelmorLog({"--com", "1", "--count", "3", "--output", logged}, dir.Path()), 0);
    sim::Faults silent;
    silent.silent = true;
    sim->SetFaults(silent);
    ASSERT_EQ(RunVelmorLog({"--com", "1", "--count", "1", "--output", logged}, dir.Path()), 0);
    sim->SetFaults({});

    ASSERT_EQ(form->StartRecording(QString::fromStdString(recorded)), QString());
    EXPECT_TRUE(form->N6->isChecked());
    QTest::mouseClick(Button("BitLoad"), Qt::LeftButton);
    // Stopped on the UI thread as the fourth line is in: nothing else gets in.
    ASSERT_TRUE(QTest::qWaitFor([&] { return FileLines(recorded).size() >= 4; }, 5000));
    form->StopRecording();
    EXPECT_FALSE(form->N6->isChecked());
    QTest::mouseClick(Button("BitBtnStop"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !RealEngine(*form).exchange.AwaitingReply; }, 2000));

    // Appending again: the file keeps its one header.
    sim->SetFaults(silent);
    ASSERT_EQ(form->StartRecording(QString::fromStdString(recorded)), QString());
    QTest::mouseClick(Button("BitLoad"), Qt::LeftButton);
    CloseTheSilenceBox();
    form->StopRecording();

    const auto expected = WithoutTimes(FileLines(logged));
    ASSERT_EQ(expected.size(), 5u) << FileText(logged);
    EXPECT_EQ(expected[1], ",COM1,187.50,W,187.5,power,150V,2.5A,ok");
    EXPECT_EQ(expected[4], ",COM1,,,,,,,no-reply");
    EXPECT_EQ(WithoutTimes(FileLines(recorded)), expected) << FileText(recorded);
    // Both end every line, the last one too.
    EXPECT_EQ(FileText(recorded).back(), '\n');
}

// The operator's run: "Вид" > "График" while reading, the curve follows,
// "Пауза" holds the view while readings go on (and the spans end where it
// stands), the pointer's time and value, a PNG and a CSV of what is held,
// and a silent meter leaves a gap.
TEST_F(TrendEngine, TheWindowFillsWhileTheMainWindowReads)
{
    Begin({}, true, 0);
    form->N5->trigger();
    TTrendWindow* trend = form->TrendWindow();
    ASSERT_NE(trend, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(trend));
    EXPECT_EQ(trend->windowTitle(), QStringLiteral("График"));
    QTest::mouseClick(trend->SpanButtons[0], Qt::LeftButton);
    EXPECT_EQ(trend->CurrentSpan(), TTrendWindow::Span::Minute);

    QTest::mouseClick(Button("BitLoad"), Qt::LeftButton);
    const TTrendData& data = form->TrendData();
    ASSERT_TRUE(QTest::qWaitFor([&] { return data.Size() >= 5; }, 5000));
    // Each reading as the main window shows it, on the plot and in the figures.
    ASSERT_TRUE(data.Newest().Ok());
    EXPECT_EQ(QString::fromStdString(data.Newest().ValueText(LocaleDecimalSeparator())) +
                  QStringLiteral(" V"),
              form->Edit1->text() + QLatin1Char(' ') + form->Edit2->text());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return trend->Plot->LinesShown() >= 1 &&
                   trend->StatsLabel->text().contains(form->Edit1->text());
        },
        5000))
        << trend->StatsLabel->text().toStdString();
    // Following: the newest reading is in the newest column, once the
    // redraw it asked for has run.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return trend->ShownTo() >=
                   static_cast<double>(data.Newest().TimeMs()) - 60000.0 / trend->Plot->Columns();
        },
        1000));

    QTest::mouseClick(trend->PauseButton, Qt::LeftButton);
    const double held = trend->ShownTo();
    const std::size_t before = data.Size();
    ASSERT_TRUE(QTest::qWaitFor([&] { return data.Size() >= before + 3; }, 5000));
    QApplication::processEvents();
    EXPECT_EQ(trend->ShownTo(), held);
    // The pointer over the plot: a second of the span shown and a value in
    // volts; beside the plot area, nothing.
    QWidget* viewport =
        trend->Plot->findChild<QAbstractScrollArea*>(QStringLiteral("PlotView"))->viewport();
    const auto pointAt = [&](QPoint at) {
        QMouseEvent move(QEvent::MouseMove, at, viewport->mapToGlobal(at), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &move);
        return trend->PointerLabel->text();
    };
    const QString pointed = pointAt(viewport->rect().center());
    QStringList seconds;
    for (auto ms = static_cast<qint64>(trend->ShownFrom()); ms <= trend->ShownTo() + 999;
         ms += 1000) {
        seconds << QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("dd.MM hh:mm:ss"));
    }
    EXPECT_TRUE(seconds.contains(pointed.left(14))) << pointed.toStdString();
    EXPECT_TRUE(pointed.endsWith(QStringLiteral(" V"))) << pointed.toStdString();
    EXPECT_EQ(pointAt(QPoint(1, 1)), QString());
    // Another span while paused ends where the view stands.
    QTest::mouseClick(trend->SpanButtons[2], Qt::LeftButton);
    EXPECT_EQ(trend->ShownTo(), held);
    EXPECT_EQ(trend->ShownFrom(), held - 3600e3);
    QTest::mouseClick(trend->SpanButtons[0], Qt::LeftButton);
    EXPECT_EQ(trend->ShownFrom(), held - 60e3);
    QTest::mouseClick(trend->PauseButton, Qt::LeftButton);
    EXPECT_GT(trend->ShownTo(), held);

    QTest::mouseClick(Button("BitBtnStop"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !RealEngine(*form).exchange.AwaitingReply; }, 2000));
    simtest::TempDir tmp;
    ASSERT_EQ(trend->SaveImage(QString::fromStdString(tmp / "plot.png")), QString());
    EXPECT_EQ(FileText(tmp / "plot.png").substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    std::optional<QString> saved;
    ASSERT_TRUE(trend->SaveData(QString::fromStdString(tmp / "held.csv"),
                                [&](const QString& error) { saved = error; }));
    ASSERT_TRUE(QTest::qWaitFor([&] { return saved.has_value(); }, 10000));
    EXPECT_EQ(*saved, QString());
    const auto lines = WithoutTimes(FileLines(tmp / "held.csv"));
    ASSERT_EQ(lines.size(), data.Size() + 1);
    EXPECT_EQ(lines[0] + "\n", record::CsvHeader());
    EXPECT_EQ(lines.back(), ",COM1,15.000,V,15,voltage,30V,1A,ok");
    // Where the program will not write: the meter's own port.
    EXPECT_FALSE(trend->SaveImage(QString::fromStdString(sim->Path())).isEmpty());

    sim::Faults silent;
    silent.silent = true;
    sim->SetFaults(silent);
    QTest::mouseClick(Button("BitLoad"), Qt::LeftButton);
    CloseTheSilenceBox();
    EXPECT_EQ(data.Newest().Status(), record::Status::NoReply);
}

namespace {

// Holds what the window's handlers touch and sends nothing.
class TQuietEngine : public TEngine {
public:
    std::uint8_t PollState() const override { return 0; }
    void SetPollState(std::uint8_t) override {}
    void SetRequestParameter(std::uint8_t) override {}
    void SendRequest(Command) override {}
    void StopPolling() override {}
    void StartInterval() override {}
    std::uint8_t ModelIndex() const override { return ModelDranik; }
    void SetModelIndex(std::uint8_t) override {}
    std::uint16_t ComNumber() const override { return 1; }
    std::int32_t Baud() const override { return 9600; }
    void SetComNumber(std::uint16_t) override {}
};

} // namespace

// A disk that fills up: the recording stops with a box, every line written
// before stays in the file, and no later reading is written. A real full
// disk: a tmpfs of one page, mounted in a mount namespace of this test's own.
TEST(Recording, AFullDiskStopsItAndKeepsWhatWasWritten)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "a tmpfs of our own needs root";
    }
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << std::strerror(errno);
    ASSERT_EQ(::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    simtest::TempDir tmp;
    ASSERT_EQ(::mount("tmpfs", tmp.Path().c_str(), "tmpfs", 0, "size=4k"), 0)
        << std::strerror(errno);
    struct Unmount {
        const simtest::TempDir& dir;
        ~Unmount() { ::umount2(dir.Path().c_str(), MNT_DETACH); }
    } unmount{tmp};

    TForm1 form(std::make_unique<TQuietEngine>());
    const std::string path = tmp / "readings.csv";
    ASSERT_EQ(form.StartRecording(QString::fromStdString(path)), QString());
    std::string written = record::CsvHeader();
    int taken = 0;
    for (; taken < 1000 && form.Recording(); ++taken) {
        const TMeasurement m =
            TrendReading(1'800'000'000'000 + 110 * std::int64_t{taken}, 12.0 + taken / 1000.0);
        form.MeasurementTaken(m);
        if (form.Recording()) {
            written += record::FormatReading(m.ToReading(), record::Format::Csv);
        }
    }
    EXPECT_FALSE(form.Recording());
    EXPECT_FALSE(form.N6->isChecked());
    EXPECT_GT(taken, 20);
    const auto* box = form.findChild<QMessageBox*>(QStringLiteral("RecordErrorBox"));
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isVisible());
    EXPECT_TRUE(box->text().startsWith(QStringLiteral("Запись в файл остановлена: ")))
        << box->text().toStdString();
    const std::string kept = FileText(path);
    EXPECT_EQ(kept.substr(0, written.size()), written);

    form.MeasurementTaken(TrendReading(1'900'000'000'000, 1.0));
    EXPECT_EQ(FileText(path), kept);
    EXPECT_EQ(form.TrendData().Size(), static_cast<std::size_t>(taken + 1));
}

// Half a minute of volts, then half a minute of amperes: each unit has a
// scale of its own, so the pointer reads a value on each; the time labels
// fall on whole ten seconds; "Очистить" leaves nothing drawn.
TEST(TrendWindow, EachUnitHasItsScaleAndTheTimesAreWhole)
{
    TForm1 form(std::make_unique<TQuietEngine>());
    const std::int64_t start = QDateTime::currentMSecsSinceEpoch() - 60'000 + 7'321;
    for (int i = 0; i < 546; ++i) {
        const std::int64_t t = start + 110 * std::int64_t{i};
        form.MeasurementTaken(i < 273 ? TrendReading(t, 12.0 + (i % 7) / 100.0)
                                      : TrendReading(t, 0.5 + (i % 5) / 1000.0, ModeCurrent));
    }
    form.N5Click(nullptr);
    TTrendWindow& trend = *form.TrendWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&trend));
    trend.SetSpan(TTrendWindow::Span::Minute);
    trend.Redraw();

    const QStringList labels = trend.Plot->TimeLabels();
    EXPECT_GE(labels.size(), 5);
    for (const QString& label : labels) {
        EXPECT_TRUE(
            QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d0$")).match(label).hasMatch())
            << label.toStdString();
    }
    QWidget* viewport =
        trend.Plot->findChild<QAbstractScrollArea*>(QStringLiteral("PlotView"))->viewport();
    const QPoint centre = viewport->rect().center();
    QMouseEvent move(QEvent::MouseMove, centre, viewport->mapToGlobal(centre), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &move);
    const QString pointed = trend.PointerLabel->text();
    EXPECT_TRUE(
        QRegularExpression(
            QStringLiteral("^\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d +\\d+\\.\\d+ A +\\d+\\.\\d+ V$"))
            .match(pointed)
            .hasMatch())
        << pointed.toStdString();
    EXPECT_TRUE(trend.StatsLabel->text().contains(QStringLiteral(" A")))
        << trend.StatsLabel->text().toStdString();

    QTest::mouseClick(trend.ClearButton, Qt::LeftButton);
    EXPECT_TRUE(form.TrendData().Empty());
    EXPECT_EQ(trend.Plot->LinesShown(), 0);
    EXPECT_EQ(trend.StatsLabel->text(), QStringLiteral("Нет показаний"));
}
