#include "link/Mes.h"

#include "protocol/frames.h"

#include <cstdio>
#include <utility>

void ShowErrorBox(const TErrorBox& box, const std::string& text, std::function<void()> closed)
{
    const std::string shown = text + " ";
    if (box) {
        box(shown, std::move(closed));
    } else {
        std::fprintf(stderr, "Ошибка: %s\n", shown.c_str());
        closed();
    }
}

const char* LinkErrorText(std::uint8_t linkError)
{
    return linkError == LinkErrorNoReply ? NoReplyText : CheckCodeText;
}
