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

// The stored layouts name faces of the desktop the program comes from.
// InstallFaces makes each of them resolve, for the whole application, to its
// stand-in: Liberation Sans (Arial's metrics) or Liberation Serif (Times New
// Roman's), or DejaVu where Liberation is missing, instead of whatever
// fontconfig would pick; and makes the windows' default font the
// application's, for the message boxes. It runs once, before any window is
// made: every window, dialog and message box then gets the stand-ins, the
// serial library's port selection dialog included.
void InstallFaces();

// The windows' default face: "MS Sans Serif". pixels is the character height.
QFont WindowFont(int pixels);

// The large digits of the main window: "Times New Roman".
QFont DisplayFont(int pixels);

// Character heights of the stored layouts.
inline constexpr int DefaultFontPixels = 11;
inline constexpr int LargeLabelFontPixels = 13;
