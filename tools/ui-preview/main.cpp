// ui-preview DIR: renders each window of the program into DIR as PNG files,
// in a few states, so that layouts and captions can be checked by eye.
#include "serial/SerSelCom.h"
#include "ui/AppError.h"
#include "ui/AppServices.h"
#include "ui/Engine.h"
#include "ui/FormStyle.h"
#include "ui/PageControl.h"
#include "ui/TrendWindow.h"
#include "ui/Unit1_.h"
#include "ui/Unit2.h"
#include "ui/option2.h"

#include "protocol/float.h"
#include "protocol/frames.h"
#include "simulated-day/SimulatedDay.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// Holds the state the handlers touch and sends nothing.
class TIdleEngine : public TEngine {
public:
    std::uint8_t PollState() const override { return pollState; }
    void SetPollState(std::uint8_t value) override { pollState = value; }
    void SetRequestParameter(std::uint8_t) override {}
    void SendRequest(Command) override {}
    void StopPolling() override { pollState = 0; }
    void StartInterval() override {}
    std::uint8_t ModelIndex() const override { return modelIndex; }
    void SetModelIndex(std::uint8_t value) override { modelIndex = value; }
    std::uint16_t ComNumber() const override { return 1; }
    std::int32_t Baud() const override { return 9600; }
    void SetComNumber(std::uint16_t) override {}

private:
    std::uint8_t pollState = 0;
    std::uint8_t modelIndex = ModelDranik;
};

bool Save(QWidget& window, const QDir& dir, const QString& name)
{
    window.show();
    QApplication::processEvents();
    const QString path = dir.filePath(name + QStringLiteral(".png"));
    const bool saved = window.grab().save(path);
    QTextStream(stdout) << (saved ? "wrote " : "FAILED ") << path << '\n';
    return saved;
}

// The trend window over a day of simulated readings, all of it and its
// last minute.
bool SaveTrend(const QDir& dir)
{
    TForm1 form(std::make_unique<TIdleEngine>());
    simday::Fill(form.TrendData(), QDateTime(QDate(2026, 12, 9), QTime(0, 0)).toMSecsSinceEpoch());
    form.N5Click(nullptr);
    TTrendWindow& trend = *form.TrendWindow();
    trend.resize(1000, 520);
    bool ok = true;
    for (const auto& [span, name] : {std::pair{TTrendWindow::Span::All, "trend"},
                                     std::pair{TTrendWindow::Span::Minute, "trend-minute"}}) {
        trend.SetSpan(span);
        QApplication::processEvents();
        trend.Redraw();
        ok = Save(trend, dir, QString::fromLatin1(name)) && ok;
    }
    return ok;
}

// Saves the modal window that open shows, then closes it so open returns.
bool SaveModal(const QDir& dir, const QString& name, const std::function<void()>& open)
{
    bool saved = false;
    QTimer::singleShot(50, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            saved = Save(*modal, dir, name);
            modal->close();
        }
    });
    open();
    return saved;
}

// A private COM map in which COM1 and COM3 are pseudo-terminals, so that the
// port selection dialog lists something without touching this machine's
// own ports.
class TPreviewPorts {
public:
    TPreviewPorts()
    {
        for (const int n : {1, 3}) {
            const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
            if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
                continue;
            }
            masters.push_back(master);
            QFile::link(QString::fromLocal8Bit(::ptsname(master)),
                        dir.filePath(QStringLiteral("com%1").arg(n)));
        }
        qputenv("VELMOR_COM_DIR", QFile::encodeName(dir.path()));
    }
    ~TPreviewPorts()
    {
        qunsetenv("VELMOR_COM_DIR");
        for (const int master : masters) {
            ::close(master);
        }
    }
    TPreviewPorts(const TPreviewPorts&) = delete;
    TPreviewPorts& operator=(const TPreviewPorts&) = delete;

private:
    QTemporaryDir dir;
    std::vector<int> masters;
};

// A reply that shows valueText in mode's unit.
ReplyDecision Showing(std::uint8_t mode, std::string_view unit, std::string valueText)
{
    ReplyDecision reply;
    reply.mode = mode;
    reply.unit = unit;
    reply.valueText = std::move(valueText);
    return reply;
}

// The main window at rest, with a reading and its ranges, with the widest
// value, and as the other meter's with the buttons disabled; its menu.
bool SaveMainWindow(const QDir& dir)
{
    TForm1 form1(std::make_unique<TIdleEngine>());
    bool ok = Save(form1, dir, QStringLiteral("form1"));

    ReplyDecision reading = Showing(ModeVoltage, "V", "-230.46");
    reading.voltageRange = 6;
    reading.currentRange = 3;
    form1.ApplyReply(reading);
    ok = Save(form1, dir, QStringLiteral("form1-reading")) && ok;

    form1.ApplyReply(Showing(ModePower, "W", "-29.9970"));
    ok = Save(form1, dir, QStringLiteral("form1-widest")) && ok;

    form1.ApplyReply(Showing(ModePower, "W", "0.12346"));
    form1.Velmor1Click(nullptr);
    form1.BitLoad->setEnabled(false);
    form1.BitBtnStop->setEnabled(false);
    ok = Save(form1, dir, QStringLiteral("form1-velmor-disabled")) && ok;
    form1.N1->popup(form1.mapToGlobal(QPoint(0, 0)));
    ok = Save(*form1.N1, dir, QStringLiteral("form1-menu")) && ok;
    form1.N1->close();
    return ok;
}

// The options window: each page, the tabs as the keyboard reaches them,
// and the refusal of a wrong address.
bool SaveOptions(const QDir& dir)
{
    Toption option;
    bool ok = true;
    for (int page = 0; page < option.PageControl1->count(); ++page) {
        option.PageControl1->setCurrentIndex(page);
        ok = Save(option, dir, QStringLiteral("option-page%1").arg(page + 1)) && ok;
    }
    option.PageControl1->setCurrentIndex(1);
    option.setAttribute(Qt::WA_KeyboardFocusChange);
    option.activateWindow();
    option.PageControl1->Tabs()->setFocus(Qt::TabFocusReason);
    ok = Save(option, dir, QStringLiteral("option-tab-focus")) && ok;
    option.ed_addr->setText(QStringLiteral("65535"));
    ok = SaveModal(dir, QStringLiteral("option-wrong-address"),
                   [&] { option.BitBtn1Click(nullptr); }) &&
         ok;
    return ok;
}

// The port settings dialog, as it opens and for COM2; the port selection
// dialog over a private COM map.
bool SavePortDialogs(const QDir& dir)
{
    TForm2 form2([](int) {});
    bool ok = Save(form2, dir, QStringLiteral("form2"));
    form2.LoadPortSettings(2, 9600);
    ok = Save(form2, dir, QStringLiteral("form2-com2")) && ok;

    const TPreviewPorts ports;
    TComSelectForm select;
    return Save(select, dir, QStringLiteral("select-port")) && ok;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    InstallApplicationServices();
    if (argc != 2) {
        std::fprintf(stderr, "usage: ui-preview OUTPUT-DIR\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.exists() && !QDir().mkpath(dir.path())) {
        std::fprintf(stderr, "ui-preview: cannot create %s\n", argv[1]);
        return 1;
    }
    bool ok = SaveMainWindow(dir);
    ok = SaveTrend(dir) && ok;
    ok = SaveOptions(dir) && ok;
    ok = SavePortDialogs(dir) && ok;
    ok = SaveModal(dir, QStringLiteral("error-display"),
                   [] { ShowApplicationError("ie_BadId - Specified comport doesn't exist."); }) &&
         ok;
    return ok ? 0 : 1;
}
