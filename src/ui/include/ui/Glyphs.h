#pragma once

#include <QIcon>
#include <QImage>

// The small pictures on the main window's buttons, drawn here rather than
// shipped as files: 16 x 16, transparent background.
enum class Glyph {
    OpenFolder, // "Чтение показаний"
    FloppyDisk, // the hidden save button
    Stop,       // "Стоп": a red circle crossed by a slash
};

inline constexpr int GlyphSize = 16;

QImage GlyphImage(Glyph glyph);

// The greyed picture of a disabled button: the glyph's darker pixels as a
// grey shape with a white highlight one pixel down and right.
QImage DisabledGlyph(const QImage& glyph);

// Both pictures, the greyed one for the disabled state.
QIcon GlyphIcon(Glyph glyph);
