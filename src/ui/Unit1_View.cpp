// The main window's "Вид" menu: the trend window and recording, beyond the
// original program. Both only listen to the readings the window takes.
#include "ui/Unit1_.h"

#include "ui/TrendData.h"
#include "ui/TrendWindow.h"

#include "link/Measurement.h"
#include "record/RecordFile.h"

#include <QAction>
#include <QFile>
#include <QMenu>
#include <QMenuBar>

void TForm1::BuildViewMenu()
{
    N4 = AddMenu("N4", QStringLiteral("Вид"));
    N5 = AddItem(N4, "N5", QStringLiteral("График"));
    N6 = AddItem(N4, "N6", QStringLiteral("Запись в файл..."));
    N6->setCheckable(true);
}

void TForm1::N5Click(QObject*)
{
    if (!trendWindow) {
        trendWindow = std::make_unique<TTrendWindow>(*trendData);
        // The main window alone ends the run.
        trendWindow->setAttribute(Qt::WA_QuitOnClose, false);
    }
    trendWindow->show();
    trendWindow->raise();
    trendWindow->activateWindow();
}

void TForm1::N6Click(QObject*)
{
    if (Recording()) {
        StopRecording();
        return;
    }
    // The action checks itself when triggered; only a started recording
    // keeps it checked.
    N6->setChecked(false);
    const QString path = AskFileName(this, QStringLiteral("Запись в файл"),
                                     QStringLiteral("CSV (*.csv)"), QStringLiteral("csv"), true);
    if (path.isEmpty()) {
        return;
    }
    if (const QString error = StartRecording(path); !error.isEmpty()) {
        ShowErrorLater(this, QStringLiteral("RecordErrorBox"),
                       QStringLiteral("Запись не начата: ") + error);
    }
}

QString TForm1::StartRecording(const QString& path)
{
    StopRecording();
    if (path.isEmpty()) {
        return QStringLiteral("не указан файл");
    }
    // Never the meter's port, a FIFO without a reader or a directory: the
    // window would hang or write where no file is.
    if (const QString refused = NotAFile(path); !refused.isEmpty()) {
        return refused;
    }
    const std::string error =
        recordFile->Open(QFile::encodeName(path).toStdString(), record::Format::Csv);
    if (!error.empty()) {
        recordFile->Close();
        return QString::fromStdString(error);
    }
    N6->setChecked(true);
    return {};
}

void TForm1::StopRecording()
{
    recordFile->Close();
    N6->setChecked(false);
}

bool TForm1::Recording() const
{
    return recordFile->IsOpen();
}

void TForm1::MeasurementTaken(const TMeasurement& measurement)
{
    trendData->Append(measurement);
    if (trendWindow) {
        trendWindow->Added();
    }
    if (!recordFile->IsOpen()) {
        return;
    }
    // What was written stays; the line that failed stops the recording.
    const std::string error = recordFile->Append(measurement.ToReading());
    if (!error.empty()) {
        StopRecording();
        ShowErrorLater(this, QStringLiteral("RecordErrorBox"),
                       QStringLiteral("Запись в файл остановлена: ") +
                           QString::fromStdString(error));
    }
}
