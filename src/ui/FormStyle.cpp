#include "FormStyle.h"

#include <QStringList>
#include <QWidget>

QSize ClientSize(const QRect& outer)
{
    return {outer.width() - 2 * FrameBorder, outer.height() - 2 * FrameBorder - TitleBarHeight};
}

void PlaceWindow(QWidget& window, const QRect& outer)
{
    // For a window, move() places the frame's corner, resize() the client.
    window.move(outer.topLeft());
    window.resize(ClientSize(outer));
}

namespace {

QFont Face(const QStringList& families, QFont::StyleHint hint, int pixels)
{
    QFont font;
    font.setFamilies(families);
    font.setStyleHint(hint);
    font.setPixelSize(pixels);
    return font;
}

} // namespace

QFont WindowFont(int pixels)
{
    return Face({QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")},
                QFont::SansSerif, pixels);
}

QFont DisplayFont(int pixels)
{
    return Face({QStringLiteral("Liberation Serif"), QStringLiteral("DejaVu Serif")}, QFont::Serif,
                pixels);
}
