#include "ui/Glyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygon>

namespace {

QImage Blank()
{
    QImage image(GlyphSize, GlyphSize, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

void DrawOpenFolder(QPainter& p)
{
    const QColor outline(128, 96, 0);
    p.setPen(outline);
    // Back of the folder with its tab.
    p.setBrush(QColor(208, 168, 24));
    p.drawRect(1, 4, 11, 9);
    p.drawRect(1, 2, 5, 2);
    // Front flap, tipped open towards the viewer.
    p.setBrush(QColor(255, 224, 72));
    p.drawPolygon(QPolygon({QPoint(4, 7), QPoint(15, 7), QPoint(12, 13), QPoint(1, 13)}));
}

void DrawFloppyDisk(QPainter& p)
{
    p.setPen(Qt::black);
    p.setBrush(QColor(40, 56, 128));
    p.drawRect(1, 1, 13, 13);
    // Metal shutter with its window.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 200, 200));
    p.drawRect(4, 2, 7, 5);
    p.setBrush(QColor(40, 56, 128));
    p.drawRect(8, 3, 2, 3);
    // Paper label with two ruled lines.
    p.setBrush(Qt::white);
    p.drawRect(3, 9, 9, 5);
    p.setPen(QColor(128, 128, 128));
    p.drawLine(4, 11, 10, 11);
    p.drawLine(4, 13, 10, 13);
}

void DrawStop(QPainter& p)
{
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(QColor(210, 0, 0), 2.4);
    pen.setCapStyle(Qt::FlatCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const QPointF centre(8.0, 8.0);
    const double radius = 6.2;
    p.drawEllipse(centre, radius, radius);
    // The slash runs corner to corner inside the ring.
    const double d = radius * 0.7071;
    p.drawLine(QPointF(centre.x() - d, centre.y() - d), QPointF(centre.x() + d, centre.y() + d));
}

} // namespace

QImage GlyphImage(Glyph glyph)
{
    QImage image = Blank();
    QPainter p(&image);
    switch (glyph) {
    case Glyph::OpenFolder:
        DrawOpenFolder(p);
        break;
    case Glyph::FloppyDisk:
        DrawFloppyDisk(p);
        break;
    case Glyph::Stop:
        DrawStop(p);
        break;
    }
    return image;
}

QImage DisabledGlyph(const QImage& glyph)
{
    const QImage source = glyph.convertToFormat(QImage::Format_ARGB32);
    QImage result(source.size(), QImage::Format_ARGB32);
    result.fill(Qt::transparent);
    const QRgb shadow = qRgb(128, 128, 128);
    const QRgb highlight = qRgb(255, 255, 255);
    auto dark = [&source](int x, int y) {
        const QRgb c = source.pixel(x, y);
        return qAlpha(c) >= 128 && qGray(c) < 192;
    };
    // Highlight first, so that the shadow wins where the two overlap.
    for (int y = 0; y < source.height(); ++y) {
        for (int x = 0; x < source.width(); ++x) {
            if (dark(x, y) && x + 1 < result.width() && y + 1 < result.height()) {
                result.setPixel(x + 1, y + 1, highlight);
            }
        }
    }
    for (int y = 0; y < source.height(); ++y) {
        for (int x = 0; x < source.width(); ++x) {
            if (dark(x, y)) {
                result.setPixel(x, y, shadow);
            }
        }
    }
    return result;
}

QIcon GlyphIcon(Glyph glyph)
{
    const QImage image = GlyphImage(glyph);
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(image), QIcon::Normal);
    icon.addPixmap(QPixmap::fromImage(DisabledGlyph(image)), QIcon::Disabled);
    return icon;
}
