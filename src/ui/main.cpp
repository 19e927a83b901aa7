// velmor: reads the meter on COM1 through the main window.
#include "AppError.h"
#include "Unit1_.h"
#include "Unit2.h"
#include "option2.h"

#include <QApplication>
#include <QEvent>
#include <QMetaObject>
#include <QPushButton>

#include <chrono>
#include <cstdio>
#include <memory>

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
    QApplication app(argc, argv);
    // The three windows, in this order, for the whole run.
    auto form1 = std::make_unique<TForm1>();
    form1->setObjectName(QStringLiteral("Form1"));
    auto option = std::make_unique<Toption>();
    TForm1* main = form1.get();
    auto form2 = std::make_unique<TForm2>([main](int number) {
        if (TFormEngine* engine = main->RealEngine()) {
            Guarded([&] { engine->ComPort.SetComNumber(static_cast<std::uint16_t>(number)); });
        }
    });
    form1->SetOptionWindow(option.get());
    form1->SetPortDialog(form2.get());
    if (qEnvironmentVariableIsSet("VELMOR_BENCH")) {
        form1->installEventFilter(new BenchProbe(*form1));
    }
    form1->show();
    const int result = QApplication::exec();
    // The main window goes first: its destructor joins the worker.
    form1.reset();
    form2.reset();
    option.reset();
    return result;
}
