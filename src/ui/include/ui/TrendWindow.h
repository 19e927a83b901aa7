#pragma once

#include "ui/TrendData.h"
#include "ui/TrendPlot.h"

#include <QString>
#include <QTimer>
#include <QWidget>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class QCheckBox;
class QButtonGroup;
class QLabel;
class QPushButton;

// Asks for a file to write with a dialog of the program's own (so that it
// looks alike everywhere and tests can answer it); appending: an existing
// file is appended to, so choosing it asks no confirmation. Empty when the
// operator cancelled.
QString AskFileName(QWidget* parent, const QString& title, const QString& filter,
                    const QString& suffix, bool appending);

// Empty when path names a regular file or nothing yet; otherwise the line
// that says why the program will not write there (a FIFO, a device such as
// the meter's own port, a directory).
QString NotAFile(const QString& path);

// A non-modal box over parent, caption "Ошибка": it may come up inside the
// engine's reply handling, which must not wait for the operator.
void ShowErrorLater(QWidget* parent, const QString& name, const QString& text);

// The trend window "График": the readings of the main window against
// wall-clock time. It only shows what the data holds; the main window
// appends and calls Added. A normal resizable window, remembered nowhere.
class TTrendWindow : public QWidget {
public:
    enum class Span { Minute, TenMinutes, Hour, All };

    explicit TTrendWindow(TTrendData& data, QWidget* parent = nullptr);
    ~TTrendWindow() override;
    TTrendWindow(const TTrendWindow&) = delete;
    TTrendWindow& operator=(const TTrendWindow&) = delete;

    // A reading was appended: redraws when the picture changes (the span
    // moved on by a column, or the newest column gained an extreme or a
    // break), the figures always.
    void Added();
    // Draws now.
    void Redraw();

    void SetSpan(Span span);
    Span CurrentSpan() const;

    // In the order of Span, one of them down.
    std::array<QPushButton*, 4> SpanButtons{};
    QPushButton* PauseButton;
    QCheckBox* FullScaleBox;
    QPushButton* ClearButton;
    QPushButton* SaveImageButton;
    QPushButton* SaveDataButton;
    QLabel* PointerLabel;
    QLabel* StatsLabel;
    TTrendPlot* Plot;

    // The time span shown by the last Redraw, ms since the epoch.
    double ShownFrom() const { return shownT0; }
    double ShownTo() const { return shownT1; }

    // Writes the plot as PNG / what is held as CSV. Empty, or why not.
    QString SaveImage(const QString& path);
    // The CSV is written on a thread of the window's; done (on the UI
    // thread) gets the result. One at a time: false while one runs.
    bool SaveData(const QString& path, std::function<void(const QString& error)> done);
    bool Saving() const { return saver.joinable() && !saveDone; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void Build();
    void BuildSpanButtons();
    void BuildTools();
    void LayOut();
    void ConnectControls();
    void ScheduleRedraw();
    // A scale for each unit in view, the newest reading's first.
    std::vector<TTrendScale> Scales(const std::vector<TTrendLine>& lines, double t0,
                                    double t1) const;
    // Keeps the newest column as drawn, for Added.
    void NoteTail(double t1);
    void ShowFigures();
    void ShowPointer(const std::optional<TTrendPointer>& at);
    std::chrono::milliseconds SpanLength() const;
    // Where the current span starts when it ends at t1.
    double SpanStart(double t1) const;
    // The span to show now: following the newest reading, or frozen.
    std::pair<double, double> ViewSpan() const;
    // value with the decimals and unit of like.
    static QString Figure(double value, const std::optional<TMeasurement>& like);
    void SaveImageClick();
    void SaveDataClick();
    void ClearClick();

    TTrendData& data;
    QButtonGroup* spanGroup = nullptr;
    QTimer redrawTimer;
    // What the last Redraw drew.
    double shownT0 = 0;
    double shownT1 = 0;
    double columnMs = 0;
    // The newest column's extremes as drawn, and whether they are of the
    // newest reading's line.
    double tailMin = 0;
    double tailMax = 0;
    bool tailDrawn = false;
    // Frozen span while paused.
    double pausedT0 = 0;
    double pausedT1 = 0;
    // The newest reading in view, for the figures' unit and decimals.
    std::optional<TMeasurement> lastInView;
    // The newest reading of each unit in view at the last Redraw, for the
    // decimals of the values under the pointer.
    std::array<std::optional<TMeasurement>, TMeasurement::Buckets> newestOfEach;

    std::thread saver;
    std::atomic<bool> cancelSave{false};
    bool saveDone = true;
};
