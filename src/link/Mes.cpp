#include "link/Mes.h"

#include "link/ert.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace {

std::mutex boxGuard;
TErrorBox errorBox;

TErrorBox CurrentBox()
{
    std::lock_guard lock(boxGuard);
    return errorBox;
}

} // namespace

void SetErrorBox(TErrorBox box)
{
    std::lock_guard lock(boxGuard);
    errorBox = std::move(box);
}

void ShowError(TExchange& engine, const std::string& text)
{
    const std::string shown = text + " ";
    TErrorBox box = CurrentBox();
    engine.AwaitUi([box, shown](std::function<void()> done) {
        if (box) {
            box(shown, std::move(done));
        } else {
            std::fprintf(stderr, "Ошибка: %s\n", shown.c_str());
            done();
        }
    });
}

void ReportLinkError(TExchange& engine)
{
    ShowError(engine, engine.LinkError == 1 ? NoReplyText : CheckCodeText);
}
