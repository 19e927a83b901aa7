#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The instrument link's error box. It knows nothing of the engine: the engine
// hands it the text and waits on the UI thread for it (TExchange::ShowError).

// Shows text in a non-modal box on the UI thread and calls closed once the
// operator has closed it. The user interface gives one to the engine.
using TErrorBox = std::function<void(const std::string& text, std::function<void()> closed)>;

// UI thread: the box for text, made of text plus one space, caption
// "Ошибка", error icon and OK. Without a box the text goes to standard error
// and counts as closed at once.
void ShowErrorBox(const TErrorBox& box, const std::string& text, std::function<void()> closed);

inline constexpr const char* NoReplyText = "Нет ответа от прибора!";
inline constexpr const char* CheckCodeText = "Ошибка контрольной суммы!";

// The message for a LinkError: 1 no reply, any other value the check code.
const char* LinkErrorText(std::uint8_t linkError);
