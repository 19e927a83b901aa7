#include "ui/TrendWindow.h"

#include "ui/AppError.h"
#include "ui/FormStyle.h"
#include "ui/TrendPlot.h"

#include "protocol/float.h"
#include "record/Reading.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImageWriter>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

constexpr std::array<const char*, TMeasurement::Buckets> BucketTitles = {"Напряжение, V", "Ток, A",
                                                                         "Мощность, W", "?"};

// A unit's extent in view.
struct TExtent {
    double lo = 0;
    double hi = 0;
    bool any = false;
};
using TExtents = std::array<TExtent, TMeasurement::Buckets>;

TExtents ExtentsInView(const std::vector<TTrendLine>& lines, double t0, double t1)
{
    TExtents extents{};
    for (const TTrendLine& line : lines) {
        TExtent& e = extents[line.bucket];
        for (const TTrendPoint& p : line.points) {
            if (p.timeMs < t0 || p.timeMs > t1) {
                continue;
            }
            e.lo = e.any ? std::min(e.lo, p.value) : p.value;
            e.hi = e.any ? std::max(e.hi, p.value) : p.value;
            e.any = true;
        }
    }
    return extents;
}

// The scale of bucket over its extent e; newest: the unit's newest reading
// in view, whose range gives the full scale when fullScaleAsked.
TTrendScale ScaleOf(std::uint8_t bucket, const TExtent& e,
                    const std::optional<TMeasurement>& newest, bool fullScaleAsked)
{
    TTrendScale scale;
    scale.bucket = bucket;
    scale.title = QString::fromUtf8(BucketTitles[bucket]);
    // The full scale of the unit's newest reading's range, 0 for one the
    // meter has not.
    const double fullScale =
        newest ? RangeFullScale(newest->Mode(), newest->VoltageRange(), newest->CurrentRange())
                     .value_or(0)
               : 0;
    if (fullScaleAsked && fullScale > 0) {
        scale.lo = e.any && e.lo < 0 ? -fullScale : 0;
        scale.hi = fullScale;
        scale.nice = false;
    } else if (!e.any) {
        scale.lo = 0;
        scale.hi = 1;
    } else {
        const double pad =
            e.hi > e.lo ? (e.hi - e.lo) * 0.05 : std::max(std::abs(e.hi) * 0.05, 0.001);
        scale.lo = e.lo - pad;
        scale.hi = e.hi + pad;
    }
    return scale;
}

// What is held, as velmor-log writes it; cancel ends it early, leaving
// whatever the path held before.
QString WriteCsv(const QString& path, const std::vector<TMeasurement>& rows,
                 const std::atomic<bool>& cancel)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return file.errorString();
    }
    std::string text = record::CsvHeader();
    constexpr std::size_t Chunk = 1 << 20;
    for (const TMeasurement& m : rows) {
        text += record::FormatReading(m.ToReading(), record::Format::Csv);
        if (text.size() >= Chunk) {
            if (cancel) {
                file.cancelWriting();
                return QStringLiteral("cancelled");
            }
            if (file.write(text.data(), static_cast<qint64>(text.size())) !=
                static_cast<qint64>(text.size())) {
                const QString error = file.errorString();
                file.cancelWriting();
                return error;
            }
            text.clear();
        }
    }
    if (file.write(text.data(), static_cast<qint64>(text.size())) !=
            static_cast<qint64>(text.size()) ||
        !file.commit()) {
        const QString error = file.errorString();
        file.cancelWriting();
        return error;
    }
    return {};
}

} // namespace

QString AskFileName(QWidget* parent, const QString& title, const QString& filter,
                    const QString& suffix, bool appending)
{
    QFileDialog dialog(parent, title);
    dialog.setObjectName(QStringLiteral("FileDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(filter);
    dialog.setDefaultSuffix(suffix);
    // The program speaks Russian and loads no translations of Qt's own
    // texts: the dialog's words, and the question before replacing a file,
    // are ours.
    dialog.setLabelText(QFileDialog::LookIn, QStringLiteral("Папка:"));
    dialog.setLabelText(QFileDialog::FileName, QStringLiteral("Имя файла:"));
    dialog.setLabelText(QFileDialog::FileType, QStringLiteral("Тип файла:"));
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Сохранить"));
    dialog.setLabelText(QFileDialog::Reject, QStringLiteral("Отмена"));
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    while (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
        const QString path = dialog.selectedFiles().front();
        if (appending || !QFileInfo::exists(path)) {
            return path;
        }
        QMessageBox ask(QMessageBox::Question, title,
                        QStringLiteral("Файл %1 уже есть. Заменить его?").arg(path),
                        QMessageBox::Yes | QMessageBox::No, &dialog);
        ask.setObjectName(QStringLiteral("ReplaceBox"));
        ask.button(QMessageBox::Yes)->setText(QStringLiteral("Заменить"));
        ask.button(QMessageBox::No)->setText(QStringLiteral("Отмена"));
        ask.setDefaultButton(QMessageBox::No);
        if (ask.exec() == QMessageBox::Yes) {
            return path;
        }
    }
    return {};
}

QString NotAFile(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists() || info.isFile()) {
        return {};
    }
    return path + QStringLiteral(" — не обычный файл, писать туда нельзя.");
}

void ShowErrorLater(QWidget* parent, const QString& name, const QString& text)
{
    auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Ошибка"), text,
                                QMessageBox::Ok, parent);
    box->setObjectName(name);
    box->setWindowModality(Qt::NonModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->show();
}

TTrendWindow::TTrendWindow(TTrendData& data, QWidget* parent) : QWidget(parent), data(data)
{
    Build();
    redrawTimer.setSingleShot(true);
    redrawTimer.setInterval(0);
    connect(&redrawTimer, &QTimer::timeout, this, [this] { Guarded([this] { Redraw(); }); });
}

TTrendWindow::~TTrendWindow()
{
    cancelSave = true;
    if (saver.joinable()) {
        saver.join();
    }
}

void TTrendWindow::Build()
{
    setObjectName(QStringLiteral("TrendWindow"));
    setWindowTitle(QStringLiteral("График"));
    setFont(WindowFont(DefaultFontPixels));
    BuildSpanButtons();
    BuildTools();
    LayOut();
    resize(900, 480);
    ConnectControls();
}

void TTrendWindow::BuildSpanButtons()
{
    // One press picks a span: a row of buttons, one of them down.
    spanGroup = new QButtonGroup(this);
    const std::array<std::pair<const char*, const char*>, 4> spans = {
        std::pair{"1 мин", "SpanMinute"}, std::pair{"10 мин", "SpanTenMinutes"},
        std::pair{"1 ч", "SpanHour"}, std::pair{"Всё", "SpanAll"}};
    for (std::size_t i = 0; i < spans.size(); ++i) {
        auto* button = new QPushButton(QString::fromUtf8(spans[i].first), this);
        button->setObjectName(QString::fromLatin1(spans[i].second));
        button->setCheckable(true);
        // As narrow as their captions: the row has to fit a small window.
        button->setFixedWidth(
            std::max(48, button->fontMetrics().horizontalAdvance(button->text()) + 20));
        spanGroup->addButton(button, static_cast<int>(i));
        SpanButtons[i] = button;
    }
    SpanButtons[static_cast<std::size_t>(Span::TenMinutes)]->setChecked(true);
}

void TTrendWindow::BuildTools()
{
    PauseButton = new QPushButton(QStringLiteral("Пауза"), this);
    PauseButton->setObjectName(QStringLiteral("PauseButton"));
    PauseButton->setCheckable(true);
    FullScaleBox = new QCheckBox(QStringLiteral("Полная шкала"), this);
    FullScaleBox->setObjectName(QStringLiteral("FullScaleBox"));
    ClearButton = new QPushButton(QStringLiteral("Очистить"), this);
    ClearButton->setObjectName(QStringLiteral("ClearButton"));
    SaveImageButton = new QPushButton(QStringLiteral("Сохранить изображение..."), this);
    SaveImageButton->setObjectName(QStringLiteral("SaveImageButton"));
    SaveDataButton = new QPushButton(QStringLiteral("Сохранить данные..."), this);
    SaveDataButton->setObjectName(QStringLiteral("SaveDataButton"));
    Plot = new TTrendPlot(this);
    StatsLabel = new QLabel(this);
    StatsLabel->setObjectName(QStringLiteral("StatsLabel"));
    PointerLabel = new QLabel(this);
    PointerLabel->setObjectName(QStringLiteral("PointerLabel"));
    PointerLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

void TTrendWindow::LayOut()
{
    auto* tools = new QHBoxLayout;
    tools->addWidget(new QLabel(QStringLiteral("Интервал:"), this));
    for (QPushButton* button : SpanButtons) {
        tools->addWidget(button);
    }
    tools->addSpacing(12);
    tools->addWidget(PauseButton);
    tools->addWidget(FullScaleBox);
    tools->addStretch(1);
    tools->addWidget(ClearButton);
    tools->addWidget(SaveImageButton);
    tools->addWidget(SaveDataButton);
    auto* figures = new QHBoxLayout;
    figures->addWidget(StatsLabel, 1);
    figures->addWidget(PointerLabel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(tools);
    layout->addWidget(Plot, 1);
    layout->addLayout(figures);
}

void TTrendWindow::ConnectControls()
{
    connect(spanGroup, &QButtonGroup::idToggled, this, [this](int, bool checked) {
        if (!checked) {
            return;
        }
        Guarded([this] {
            // Paused, the new span ends where the view stands.
            if (PauseButton->isChecked()) {
                pausedT0 = SpanStart(pausedT1);
            }
            Redraw();
        });
    });
    connect(PauseButton, &QPushButton::toggled, this, [this](bool paused) {
        Guarded([this, paused] {
            // Frozen where it stands; readings keep arriving underneath.
            pausedT0 = shownT0;
            pausedT1 = shownT1;
            if (!paused) {
                Redraw();
            }
        });
    });
    connect(FullScaleBox, &QCheckBox::toggled, this, [this] { Guarded([this] { Redraw(); }); });
    connect(ClearButton, &QPushButton::clicked, this,
            [this] { Guarded([this] { ClearClick(); }); });
    connect(SaveImageButton, &QPushButton::clicked, this,
            [this] { Guarded([this] { SaveImageClick(); }); });
    connect(SaveDataButton, &QPushButton::clicked, this,
            [this] { Guarded([this] { SaveDataClick(); }); });
    Plot->SetOnPointer([this](const std::optional<TTrendPointer>& at) { ShowPointer(at); });
}

void TTrendWindow::SetSpan(Span span)
{
    SpanButtons[static_cast<std::size_t>(span)]->setChecked(true);
}

TTrendWindow::Span TTrendWindow::CurrentSpan() const
{
    return static_cast<Span>(std::clamp(spanGroup->checkedId(), 0, 3));
}

std::chrono::milliseconds TTrendWindow::SpanLength() const
{
    using namespace std::chrono;
    switch (CurrentSpan()) {
    case Span::Minute:
        return minutes(1);
    case Span::TenMinutes:
        return minutes(10);
    case Span::Hour:
        return hours(1);
    case Span::All:
        break;
    }
    return minutes(1); // the least "all" shows
}

double TTrendWindow::SpanStart(double t1) const
{
    double t0 = t1 - static_cast<double>(SpanLength().count());
    if (CurrentSpan() == Span::All && !data.Empty()) {
        t0 = std::min(t0, static_cast<double>(data.Oldest().TimeMs()));
    }
    return t0;
}

std::pair<double, double> TTrendWindow::ViewSpan() const
{
    if (PauseButton->isChecked()) {
        return {pausedT0, pausedT1};
    }
    const double t1 = data.Empty() ? static_cast<double>(QDateTime::currentMSecsSinceEpoch())
                                   : static_cast<double>(data.Newest().TimeMs());
    return {SpanStart(t1), t1};
}

void TTrendWindow::Added()
{
    if (!isVisible() || PauseButton->isChecked() || data.Empty()) {
        return;
    }
    const TMeasurement& m = data.Newest();
    const double t = static_cast<double>(m.TimeMs());
    // Unchanged picture: the same newest column, the line going on inside
    // the extremes already drawn there.
    const bool sameColumn =
        tailDrawn && columnMs > 0 && std::floor(t / columnMs) == std::floor(shownT1 / columnMs);
    const bool inside =
        m.Ok() && data.NewestContinues() && m.Value() >= tailMin && m.Value() <= tailMax;
    if (sameColumn && inside) {
        ShowFigures();
        return;
    }
    ScheduleRedraw();
}

void TTrendWindow::ScheduleRedraw()
{
    if (!redrawTimer.isActive()) {
        redrawTimer.start();
    }
}

void TTrendWindow::Redraw()
{
    redrawTimer.stop();
    const auto [t0, t1] = ViewSpan();
    const int columns = Plot->Columns();
    const std::vector<TTrendLine> lines = data.Decimate(t0, t1, columns);
    shownT0 = t0;
    shownT1 = t1;
    columnMs = (t1 - t0) / columns;

    lastInView = data.Summarise(t0, t1).last;
    newestOfEach = data.NewestOfEach(t0, t1);
    Plot->Show(lines, t0, t1, Scales(lines, t0, t1));
    NoteTail(t1);
    ShowFigures();
}

std::vector<TTrendScale> TTrendWindow::Scales(const std::vector<TTrendLine>& lines, double t0,
                                              double t1) const
{
    const TExtents extents = ExtentsInView(lines, t0, t1);
    // The newest reading's unit on the left, the others in view on the
    // right: a scale each, never volts and amperes on one.
    const std::uint8_t first = lastInView ? lastInView->Bucket() : 0;
    std::vector<std::uint8_t> order{first};
    for (std::size_t b = 0; b < extents.size(); ++b) {
        if (b != first && extents[b].any) {
            order.push_back(static_cast<std::uint8_t>(b));
        }
    }
    std::vector<TTrendScale> scales;
    for (const std::uint8_t b : order) {
        scales.push_back(ScaleOf(b, extents[b], newestOfEach[b], FullScaleBox->isChecked()));
    }
    return scales;
}

void TTrendWindow::NoteTail(double t1)
{
    // What a later reading is measured against in Added.
    const TTrendData::TSpan tail = data.Summarise(std::floor(t1 / columnMs) * columnMs, t1);
    tailDrawn = tail.last.has_value() && lastInView && tail.last->Key() == lastInView->Key();
    tailMin = tail.stats.min;
    tailMax = tail.stats.max;
}

QString TTrendWindow::Figure(double value, const std::optional<TMeasurement>& like)
{
    const int decimals = like ? like->Decimals() : 3;
    QString text = QString::fromStdString(FormatFixed(value, decimals, LocaleDecimalSeparator()));
    const std::string_view unit = like ? like->Unit() : std::string_view();
    if (!unit.empty()) {
        text += QLatin1Char(' ') +
                QString::fromLatin1(unit.data(), static_cast<qsizetype>(unit.size()));
    }
    return text;
}

void TTrendWindow::ShowFigures()
{
    const auto [t0, t1] = ViewSpan();
    const TTrendData::TSpan span = data.Summarise(t0, t1);
    if (!span.last || span.stats.count == 0) {
        StatsLabel->setText(QStringLiteral("Нет показаний"));
        return;
    }
    lastInView = span.last;
    const TTrendStats& s = span.stats;
    StatsLabel->setText(
        QStringLiteral("Последнее: %1    Мин.: %2    Макс.: %3    Среднее: %4")
            .arg(QString::fromStdString(span.last->ValueText(LocaleDecimalSeparator())) +
                     (span.last->Unit().empty()
                          ? QString()
                          : QLatin1Char(' ') + QString::fromLatin1(span.last->Unit().data(),
                                                                   static_cast<qsizetype>(
                                                                       span.last->Unit().size()))),
                 Figure(s.min, span.last), Figure(s.max, span.last),
                 Figure(s.sum / s.count, span.last)));
}

void TTrendWindow::ShowPointer(const std::optional<TTrendPointer>& at)
{
    if (!at) {
        PointerLabel->clear();
        return;
    }
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(qRound64(at->timeMs));
    QString text = time.toString(QStringLiteral("dd.MM hh:mm:ss"));
    // On each scale, as its unit's newest reading in view shows values.
    for (const auto& [bucket, value] : at->values) {
        text += QStringLiteral("    ") +
                Figure(value, newestOfEach[bucket] ? newestOfEach[bucket] : lastInView);
    }
    PointerLabel->setText(text);
}

void TTrendWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    ScheduleRedraw();
}

void TTrendWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    ScheduleRedraw();
}

void TTrendWindow::ClearClick()
{
    data.Clear();
    Redraw();
}

QString TTrendWindow::SaveImage(const QString& path)
{
    if (const QString refused = NotAFile(path); !refused.isEmpty()) {
        return refused;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return file.errorString();
    }
    QImageWriter writer(&file, "png");
    if (!writer.write(Plot->Picture())) {
        const QString error = writer.errorString();
        file.cancelWriting();
        return error;
    }
    if (!file.commit()) {
        return file.errorString();
    }
    return {};
}

bool TTrendWindow::SaveData(const QString& path, std::function<void(const QString&)> done)
{
    if (Saving()) {
        return false;
    }
    if (saver.joinable()) {
        saver.join();
    }
    if (const QString refused = NotAFile(path); !refused.isEmpty()) {
        if (done) {
            done(refused);
        }
        return true;
    }
    saveDone = false;
    cancelSave = false;
    SaveDataButton->setEnabled(false);
    // A copy: the ring goes on filling while the file is written.
    saver = std::thread([this, rows = data.Snapshot(), path, done = std::move(done)] {
        const QString error = WriteCsv(path, rows, cancelSave);
        QMetaObject::invokeMethod(
            this,
            [this, error, done] {
                saveDone = true;
                SaveDataButton->setEnabled(true);
                if (done) {
                    done(error);
                }
            },
            Qt::QueuedConnection);
    });
    return true;
}

void TTrendWindow::SaveImageClick()
{
    const QString path = AskFileName(this, QStringLiteral("Сохранить изображение"),
                                     QStringLiteral("PNG (*.png)"), QStringLiteral("png"), false);
    if (path.isEmpty()) {
        return;
    }
    if (const QString error = SaveImage(path); !error.isEmpty()) {
        ShowErrorLater(this, QStringLiteral("SaveErrorBox"),
                       QStringLiteral("Изображение не сохранено: ") + error);
    }
}

void TTrendWindow::SaveDataClick()
{
    const QString path = AskFileName(this, QStringLiteral("Сохранить данные"),
                                     QStringLiteral("CSV (*.csv)"), QStringLiteral("csv"), false);
    if (path.isEmpty()) {
        return;
    }
    SaveData(path, [this](const QString& error) {
        if (!error.isEmpty()) {
            ShowErrorLater(this, QStringLiteral("SaveErrorBox"),
                           QStringLiteral("Данные не сохранены: ") + error);
        }
    });
}
