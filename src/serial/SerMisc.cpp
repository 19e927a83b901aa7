#include "serial/SerMisc.h"

#include "platform/System.h"
#include "platform/ThreadPriority.h"

#include <QCoreApplication>
#include <QThread>

#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

bool SystemCodePageIsUtf8()
{
    return platform::LocaleCodeSet() == "UTF-8";
}

std::string CutText(std::string text, std::size_t maxLength)
{
    if (text.size() <= maxLength) {
        return text;
    }
    std::size_t length = maxLength;
    if (SystemCodePageIsUtf8()) {
        // Back up over continuation bytes to the start of the cut character.
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    text.resize(length);
    return text;
}

namespace {

struct TExceptionDisplay {
    std::mutex mutex;
    TApplicationExceptionHandler handler;
    std::thread::id mainThread;
};

TExceptionDisplay& Display()
{
    static TExceptionDisplay display;
    return display;
}

void ShowOnStderr(std::exception_ptr error)
{
    std::fprintf(stderr, "%s\n", ExceptionMessage(std::move(error)).c_str());
}

} // namespace

TApplicationExceptionHandler SetApplicationExceptionHandler(TApplicationExceptionHandler handler)
{
    TExceptionDisplay& display = Display();
    const std::lock_guard lock(display.mutex);
    return std::exchange(display.handler, std::move(handler));
}

void MarkApplicationMainThread()
{
    TExceptionDisplay& display = Display();
    const std::lock_guard lock(display.mutex);
    display.mainThread = std::this_thread::get_id();
}

std::string ExceptionMessage(std::exception_ptr error)
{
    try {
        std::rethrow_exception(std::move(error));
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

void HandleApplicationException(std::exception_ptr error) noexcept
{
    try {
        TApplicationExceptionHandler handler;
        {
            TExceptionDisplay& display = Display();
            const std::lock_guard lock(display.mutex);
            handler = display.handler;
        }
        if (handler) {
            handler(std::move(error));
        } else {
            ShowOnStderr(std::move(error));
        }
    } catch (...) {
        // The display is the last stop; a failure in it has nowhere to go.
    }
}

bool IsApplicationMainThread()
{
    if (const QCoreApplication* app = QCoreApplication::instance()) {
        return QThread::currentThread() == app->thread();
    }
    TExceptionDisplay& display = Display();
    std::thread::id marked;
    {
        const std::lock_guard lock(display.mutex);
        marked = display.mainThread;
    }
    if (marked != std::thread::id()) {
        return marked == std::this_thread::get_id();
    }
    return platform::IsInitialThread();
}
