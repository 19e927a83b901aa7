#pragma once

// The benchmarks' UI thread: handlers run on the main thread's Qt loop while
// the measuring side drives the pty from a thread of its own.

#include <QEventLoop>
#include <QMetaObject>

#include <functional>
#include <thread>

namespace bench {

// Runs the main thread's event loop until work, on its own thread, returns.
inline void RunWhile(const std::function<void()>& work)
{
    QEventLoop loop;
    std::thread worker([&] {
        work();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
}

} // namespace bench
