#include "ui/FormStyle.h"

#include <QApplication>
#include <QStringList>
#include <QWidget>

#include <array>

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

struct TStandIn {
    const char* face;
    QStringList standIns;
    QFont::StyleHint hint;
};

// The faces the stored layouts name, and what stands in for them here.
constexpr std::size_t WindowFaceEntry = 0;
constexpr std::size_t DisplayFaceEntry = 1;
const std::array<TStandIn, 2>& StandIns()
{
    static const std::array<TStandIn, 2> table = {{
        {"MS Sans Serif",
         {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")},
         QFont::SansSerif},
        {"Times New Roman",
         {QStringLiteral("Liberation Serif"), QStringLiteral("DejaVu Serif")},
         QFont::Serif},
    }};
    return table;
}

QFont Face(std::size_t entry, int pixels)
{
    const TStandIn& standIn = StandIns()[entry];
    QFont font(QString::fromLatin1(standIn.face));
    // Where no stand-in is installed either, fontconfig picks by the hint.
    font.setStyleHint(standIn.hint);
    font.setPixelSize(pixels);
    return font;
}

} // namespace

void InstallFaces()
{
    for (const TStandIn& standIn : StandIns()) {
        QFont::insertSubstitutions(QString::fromLatin1(standIn.face), standIn.standIns);
    }
    QApplication::setFont(WindowFont(DefaultFontPixels));
}

QFont WindowFont(int pixels)
{
    return Face(WindowFaceEntry, pixels);
}

QFont DisplayFont(int pixels)
{
    return Face(DisplayFaceEntry, pixels);
}
