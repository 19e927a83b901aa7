// ui-preview DIR: renders each window of the program into DIR as PNG files,
// in a few states, so that layouts and captions can be checked by eye.
#include "Engine.h"
#include "FormStyle.h"
#include "PageControl.h"
#include "Unit1_.h"
#include "Unit2.h"
#include "option2.h"

#include "link/float.h"
#include "link/frames.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QPushButton>
#include <QTextStream>

#include <cstdio>

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

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    InstallFaces();
    if (argc != 2) {
        std::fprintf(stderr, "usage: ui-preview OUTPUT-DIR\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.exists() && !QDir().mkpath(dir.path())) {
        std::fprintf(stderr, "ui-preview: cannot create %s\n", argv[1]);
        return 1;
    }

    TIdleEngine engine;
    TForm1 form1(engine);
    bool ok = Save(form1, dir, QStringLiteral("form1"));

    ReplyDecision reading;
    reading.mode = ModeVoltage;
    reading.unit = "V";
    reading.voltageRange = 6;
    reading.currentRange = 3;
    reading.valueText = "-230.46";
    form1.ApplyReply(reading);
    ok = Save(form1, dir, QStringLiteral("form1-reading")) && ok;

    ReplyDecision power;
    power.mode = ModePower;
    power.unit = "W";
    power.valueText = "0.12346";
    form1.ApplyReply(power);
    form1.Velmor1Click(nullptr);
    form1.BitLoad->setEnabled(false);
    form1.BitBtnStop->setEnabled(false);
    ok = Save(form1, dir, QStringLiteral("form1-velmor-disabled")) && ok;

    Toption option;
    ok = Save(option, dir, QStringLiteral("option")) && ok;
    option.PageControl1->setCurrentIndex(4);
    ok = Save(option, dir, QStringLiteral("option-page5")) && ok;

    TForm2 form2([](int) {});
    ok = Save(form2, dir, QStringLiteral("form2")) && ok;
    form2.LoadPortSettings(2, 9600);
    ok = Save(form2, dir, QStringLiteral("form2-com2")) && ok;
    return ok ? 0 : 1;
}
