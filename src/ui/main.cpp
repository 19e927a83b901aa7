// velmor: reads the meter on COM1 through the main window.
#include "platform/EndingSignals.h"
#include "ui/Startup.h"

#include <QApplication>
#include <QEvent>
#include <QMetaObject>
#include <QPushButton>

#include <chrono>
#include <cstdio>

namespace {

// For `make bench` only, with VELMOR_BENCH set: once the main window has
// been painted for the first time, report that moment on standard error
// (steady clock, nanoseconds) and press "Чтение показаний", so that the
// benchmark can time the start-up and let the cycle run without an operator.
class BenchProbe : public QObject {
public:
    explicit BenchProbe(TForm1& form) : QObject(&form), form(form) {}

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
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count();
                    std::fprintf(stderr, "velmor-shown %lld\n", static_cast<long long>(ns));
                    std::fflush(stderr);
                    form.BitLoad->click();
                },
                Qt::QueuedConnection);
        }
        return false;
    }

private:
    TForm1& form;
    bool painted = false;
};

} // namespace

int main(int argc, char** argv)
{
    // Before the application object starts any thread.
    platform::BlockEndingSignals();
    QApplication app(argc, argv);
    TProgram program;
    const TEndingSignals endingSignals([&program] {
        if (program.Form1) {
            program.Form1->close();
        }
    });
    if (qEnvironmentVariableIsSet("VELMOR_BENCH")) {
        program.Form1->installEventFilter(new BenchProbe(*program.Form1));
    }
    return program.Run();
}
