// velmor-driven: velmor with an operator's first press, for the benchmark
// and the program's tests; not installed. It runs the program exactly as
// velmor does (ProgramMain), and once the main window has been painted for
// the first time it reports that moment on standard error ("velmor-shown"
// and the steady clock in nanoseconds) and presses "Чтение показаний".
#include "ui/Startup.h"

#include <QEvent>
#include <QMetaObject>
#include <QPushButton>

#include <chrono>
#include <cstdio>

namespace {

class TFirstPaint : public QObject {
public:
    explicit TFirstPaint(TForm1& form) : QObject(&form), form(form) {}

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
    return ProgramMain(argc, argv, [](TProgram& program) {
        program.Form1->installEventFilter(new TFirstPaint(*program.Form1));
    });
}
