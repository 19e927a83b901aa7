#pragma once

#include <functional>
#include <string>

class TExchange;

// Shows text in a non-modal box on the UI thread and calls closed once the
// operator has closed it. The user interface installs one; without it the
// text goes to standard error and counts as closed at once.
using TErrorBox = std::function<void(const std::string& text, std::function<void()> closed)>;
void SetErrorBox(TErrorBox box);

// Worker only: the box with text plus one space, caption "Ошибка", error icon
// and OK; returns when it is closed (or the engine stops).
void ShowError(TExchange& engine, const std::string& text);

// Worker only: the message for the engine's LinkError.
void ReportLinkError(TExchange& engine);

inline constexpr const char* NoReplyText = "Нет ответа от прибора!";
inline constexpr const char* CheckCodeText = "Ошибка контрольной суммы!";
