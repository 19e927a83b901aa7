#pragma once

#include <QString>

#include <exception>
#include <string>
#include <string_view>
#include <utility>

// The application's error display: the last stop for a failure that no
// handler catches. The message loop goes on afterwards.

// The text shown for a failure's message (UTF-8): a full stop is appended
// when the message is not empty and its last character's code is above that
// of the full stop, so after letters (Cyrillic too), digits, ":" and "?",
// but not after "!", ")" or ".".
std::string ErrorDisplayText(std::string_view message);

// The program's title: its file name up to the first full stop, the first
// letter as it stands and every later one in lower case ("VELMOR.EXE" gives
// "Velmor", "velmor" stays "velmor").
QString ApplicationTitleFromPath(const QString& programPath);

// ApplicationTitleFromPath of the running program.
QString ApplicationTitle();

// A modal box with the application's title, the error icon, the message
// made by ErrorDisplayText and one "OK" button.
void ShowApplicationError(std::string_view message);

// Runs a window handler; a failure it raises is shown by the error display
// instead of unwinding through Qt's event loop.
template <typename Handler> void Guarded(Handler&& handler)
{
    try {
        std::forward<Handler>(handler)();
    } catch (const std::exception& e) {
        ShowApplicationError(e.what());
    }
}
