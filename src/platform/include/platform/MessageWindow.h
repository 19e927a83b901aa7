#pragma once

// Message windows: invisible receivers bound to the thread that creates them.
// The serial library delivers its notifications through them, so that the
// component's events run on the thread that opened the port.
//
// A thread's pending messages are delivered by its Qt event loop when it runs
// one (the user-interface thread), or by ProcessOnePendingMessage otherwise.
// Nothing here ever lets an exception cross into Qt's event loop: a window
// procedure that throws has the exception dropped (or handed to a guard a
// test sets for the thread).

#include <cstdint>
#include <functional>

namespace platform {

using WindowHandle = std::uint32_t; // 0 is no window
using WindowProc =
    std::function<std::intptr_t(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam)>;

// Creates a window on the calling thread. Never returns 0.
WindowHandle CreateMessageWindow(WindowProc proc);
// Destroys a window of the calling thread; messages still queued for it are
// discarded and senders waiting on them are released with failure.
void DestroyMessageWindow(WindowHandle window);
bool IsWindow(WindowHandle window);

// Runs the window procedure on the window's thread and waits up to timeoutMs
// for it to finish. Returns false when the window does not exist or the time
// ran out. A send that timed out before its receiver started it is withdrawn:
// it is never delivered late. A send to a window of the calling thread runs
// the procedure at once. While it waits, the sending thread still serves
// sends addressed to its own windows, so two threads sending to each other
// cannot deadlock.
bool SendMessageTimeout(WindowHandle window, std::uint32_t msg, std::uintptr_t wParam,
                        std::intptr_t lParam, std::uint32_t timeoutMs,
                        std::intptr_t* result = nullptr);

// Queues a message for the window's thread and returns at once.
bool PostMessage(WindowHandle window, std::uint32_t msg, std::uintptr_t wParam,
                 std::intptr_t lParam);

// Delivers the oldest pending message (sent or posted) of the calling
// thread's windows. False when nothing was pending.
bool ProcessOnePendingMessage();

} // namespace platform
