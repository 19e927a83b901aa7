#include "ui/Startup.h"

#include "platform/EndingSignals.h"
#include "startup/Utf8Locale.h"
#include "ui/AppError.h"
#include "ui/AppServices.h"

#include <QApplication>
#include <QEvent>
#include <QSocketNotifier>

#include <unistd.h>

namespace {

// Ends the message loop once the main window has closed, even while a
// dialog without a parent (an error display, the port selection) is shown.
class TQuitOnClose : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Close) {
            // Queued: the window finishes closing first, and a nested loop
            // (a modal dialog) ends as well as the main one.
            QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                      Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

TProgram::TProgram()
{
    // Before any window asks for a face; a port numbered 0 (typed text in
    // Form2's port box) is asked for with the port selection dialog.
    InstallApplicationServices();
    Form1 = std::make_unique<TForm1>();
    option = std::make_unique<Toption>();
    TForm1* main = Form1.get();
    Form2 = std::make_unique<TForm2>([main](int number) {
        // A failure to open the new port ends the choice and reaches the
        // error display through the dialog's guard; ComNumber keeps the
        // new number and the next use of the port tries again.
        main->Engine().SetComNumber(static_cast<std::uint16_t>(number));
    });
    // Only the main window ends the run when it closes, whatever else is
    // still shown.
    option->setAttribute(Qt::WA_QuitOnClose, false);
    Form2->setAttribute(Qt::WA_QuitOnClose, false);
    Form1->SetOptionWindow(option.get());
    Form1->SetPortDialog(Form2.get());
}

TProgram::~TProgram()
{
    DestroyWindows();
}

int TProgram::Run()
{
    TQuitOnClose quitOnClose;
    Form1->installEventFilter(&quitOnClose);
    Form1->show();
    const int result = QApplication::exec();
    Form1->removeEventFilter(&quitOnClose);
    DestroyWindows();
    return result;
}

void TProgram::DestroyWindows()
{
    Form1.reset();
    Form2.reset();
    option.reset();
}

int ProgramMain(int argc, char** argv, const std::function<void(TProgram&)>& started)
{
    // Before the application object starts any thread.
    startup::ChooseUtf8Locale();
    platform::BlockEndingSignals();
    QApplication app(argc, argv);
    TProgram program;
    const TEndingSignals endingSignals([&program] {
        if (program.Form1) {
            program.Form1->close();
        }
    });
    if (started) {
        started(program);
    }
    return program.Run();
}

TEndingSignals::TEndingSignals(std::function<void()> onSignal, QObject* parent)
    : QObject(parent), onSignal(std::move(onSignal))
{
    fd = platform::OpenEndingSignals();
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        if (platform::TakeEndingSignals(fd) && this->onSignal) {
            Guarded([this] { this->onSignal(); });
        }
    });
}

TEndingSignals::~TEndingSignals()
{
    delete notifier;
    ::close(fd);
}
