#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

// The stored window bounds are outer bounds: frame and title bar included.
// They were laid out for a 4 px sizing border on every side and a 26 px
// title bar; the client area is what remains.
inline constexpr int FrameBorder = 4;
inline constexpr int TitleBarHeight = 26;

QSize ClientSize(const QRect& outer);

// Puts the window's frame at the outer bounds' corner and gives it the
// matching client size. The window manager draws its own frame, so only the
// client area and the corner are ours to set.
void PlaceWindow(QWidget& window, const QRect& outer);

// The windows' default face: an Arial-metric sans serif with Cyrillic, with
// DejaVu Sans where Liberation is missing. pixels is the character height.
QFont WindowFont(int pixels);

// The large digits of the main window: a Times-metric serif with Cyrillic.
QFont DisplayFont(int pixels);

// Character heights of the stored layouts, adapted to the fonts above.
inline constexpr int DefaultFontPixels = 11;
inline constexpr int LargeLabelFontPixels = 13;
