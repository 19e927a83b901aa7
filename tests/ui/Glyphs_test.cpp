// Unit under test: Glyphs (the button pictures and their greyed variants).
#include "ui/Glyphs.h"

#include <gtest/gtest.h>

namespace {

struct Census {
    int opaque = 0;
    int red = 0;
    int yellow = 0;
    int coloured = 0;
};

Census Count(const QImage& image)
{
    Census c;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor colour = image.pixelColor(x, y);
            if (colour.alpha() < 128) {
                continue;
            }
            ++c.opaque;
            if (colour.red() > 150 && colour.green() < 80 && colour.blue() < 80) {
                ++c.red;
            }
            if (colour.red() > 180 && colour.green() > 140 && colour.blue() < 110) {
                ++c.yellow;
            }
            if (colour.hsvSaturation() > 40) {
                ++c.coloured;
            }
        }
    }
    return c;
}

} // namespace

TEST(Glyphs, SixteenSquareOnTransparentGround)
{
    for (Glyph g : {Glyph::OpenFolder, Glyph::FloppyDisk, Glyph::Stop}) {
        const QImage image = GlyphImage(g);
        ASSERT_EQ(image.size(), QSize(16, 16));
        EXPECT_EQ(image.pixelColor(0, 15).alpha(), 0) << "bottom-left stays transparent";
        EXPECT_GT(Count(image).opaque, 40);
    }
    EXPECT_GT(Count(GlyphImage(Glyph::OpenFolder)).yellow, 40);
    EXPECT_GT(Count(GlyphImage(Glyph::Stop)).red, 25);
    // The stop sign is a ring: its centre pixel column has ground between
    // the rim and the slash.
    EXPECT_LT(GlyphImage(Glyph::Stop).pixelColor(8, 4).alpha(), 128);
}

TEST(Glyphs, DisabledVariantIsGreyAndKeepsTheShape)
{
    for (Glyph g : {Glyph::OpenFolder, Glyph::FloppyDisk, Glyph::Stop}) {
        const QImage normal = GlyphImage(g);
        const QImage grey = DisabledGlyph(normal);
        const Census c = Count(grey);
        EXPECT_EQ(c.coloured, 0);
        EXPECT_GT(c.opaque, 20);

        const QIcon icon = GlyphIcon(g);
        const QImage shownDisabled = icon.pixmap(QSize(16, 16), QIcon::Disabled)
                                         .toImage()
                                         .convertToFormat(QImage::Format_ARGB32);
        EXPECT_EQ(shownDisabled, grey.convertToFormat(QImage::Format_ARGB32));
    }
}
