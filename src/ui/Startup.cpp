#include "ui/Startup.h"

#include "platform/SignalNotifier.h"
#include "startup/Utf8Locale.h"
#include "ui/AppError.h"
#include "ui/AppServices.h"

#include <QApplication>
#include <QEvent>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Qt's messages while the application object connects to the window system,
// held back until the outcome is known: passed on once it stands, dropped
// when it cannot, for the one line that says why. Without a display Qt would
// end the process with abort() and advice about its plugins, which are
// rarely the problem. Messages may come from any thread, hence the lock.
class TWindowSystemStart {
public:
    TWindowSystemStart()
    {
        const std::lock_guard guard(state.lock);
        state.holding = true;
        state.previous = qInstallMessageHandler(&Hold);
    }
    ~TWindowSystemStart()
    {
        std::vector<THeld> held;
        QtMessageHandler previous = nullptr;
        {
            const std::lock_guard guard(state.lock);
            qInstallMessageHandler(state.previous);
            state.holding = false;
            held.swap(state.held);
            previous = state.previous;
        }
        for (const THeld& m : held) {
            const QMessageLogContext context(m.file ? m.file->c_str() : nullptr, m.line,
                                             m.function ? m.function->c_str() : nullptr,
                                             m.category ? m.category->c_str() : nullptr);
            previous(m.type, context, m.text);
        }
    }
    TWindowSystemStart(const TWindowSystemStart&) = delete;
    TWindowSystemStart& operator=(const TWindowSystemStart&) = delete;

private:
    struct THeld {
        QtMsgType type;
        std::optional<std::string> file, function, category;
        int line;
        QString text;
    };
    struct TState {
        std::mutex lock;
        bool holding = false;
        QtMessageHandler previous = nullptr;
        std::vector<THeld> held;
    };
    static TState state;

    static std::optional<std::string> Copy(const char* text)
    {
        return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
    }

    static void Hold(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        std::unique_lock guard(state.lock);
        if (!state.holding) {
            // Arrived while the holding ended.
            const QtMessageHandler previous = state.previous;
            guard.unlock();
            previous(type, context, text);
            return;
        }
        if (type == QtFatalMsg) {
            // The window system could not be started: nothing else has
            // begun, nothing needs an orderly end.
            const std::string line = NoDisplayLine();
            std::fputs(line.c_str(), stderr);
            std::fflush(stderr);
            std::_Exit(1);
        }
        state.held.push_back({type, Copy(context.file), Copy(context.function),
                              Copy(context.category), context.line, text});
    }

    static std::string NoDisplayLine()
    {
        // What chose the display, as far as it was set; a platform named
        // by hand is part of the answer.
        std::string displays;
        bool named = false;
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
            const char* value = std::getenv(name);
            if (value != nullptr && *value != '\0') {
                displays += (displays.empty() ? "" : ", ") + std::string(name) + "=" + value;
                named = named || std::string_view(name) != "QT_QPA_PLATFORM";
            }
        }
        const std::string why = !named ? "neither DISPLAY nor WAYLAND_DISPLAY is set"
                                       : "the display could not be opened (" + displays + ")";
        return "velmor: velmor is a graphical program and needs a desktop session, but " + why +
               "; in a terminal, velmor-log reads the meter\n";
    }
};

TWindowSystemStart::TState TWindowSystemStart::state;

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
    std::optional<TWindowSystemStart> windowSystem(std::in_place);
    QApplication app(argc, argv);
    windowSystem.reset();
    TProgram program;
    // The ending signals close the main window like its close button, so
    // that the run ends through the ordinary shutdown.
    const platform::SignalNotifier endingSignals(platform::EndingSignalSet(), [&program] {
        Guarded([&program] {
            if (program.Form1) {
                program.Form1->close();
            }
        });
    });
    if (started) {
        started(program);
    }
    return program.Run();
}
