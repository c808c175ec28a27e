// The segment readout rendered on Qt's offscreen platform: its
// glyphs, layout, colours and pixels, and when it repaints.
#include "controls/segment_display.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "test_support.h"

namespace controls {
namespace {

using testing::kBlue;
using testing::kDefaultOff;
using testing::kDefaultOn;
using testing::kGrey;
using testing::PixelAt;
using testing::Render;
using testing::RenderAt;

::testing::AssertionResult AllPixelsAre(const QImage& image, COLORREF color) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (PixelAt(image, x, y) != color) {
                return ::testing::AssertionFailure()
                       << "pixel " << x << "," << y << " is " << std::hex << PixelAt(image, x, y);
            }
        }
    }
    return ::testing::AssertionSuccess();
}

int Units(const CSegmentDisplay& display) {
    int units = 0;
    for (const auto& glyph : display.Glyphs()) {
        units += glyph->Width();
    }
    return units;
}

// The main window's loop-current readout (control 1000).
void UseCurrentReadoutColours(CSegmentDisplay& display) {
    display.SetBackgroundColor(kGrey);
    display.SetSegmentColors(kGrey, kBlue);
}

TEST(SegmentDisplayTest, LeadingBlankReadingHasSixGlyphsOf263Units) {
    CSegmentDisplay display;
    display.SetText(" 0.000");
    Render(display, QSize(327, 120));
    const auto& glyphs = display.Glyphs();
    ASSERT_EQ(glyphs.size(), 6u);
    EXPECT_NE(dynamic_cast<CSevenSegmentGlyph*>(glyphs[0].get()), nullptr);
    EXPECT_EQ(glyphs[0]->Mask(), 0x00);  // blank: all seven drawn unlit
    EXPECT_EQ(glyphs[1]->Mask(), 0x77);
    EXPECT_NE(dynamic_cast<CDotGlyph*>(glyphs[2].get()), nullptr);
    EXPECT_EQ(glyphs[2]->Mask(), 0x04);  // decimal point only
    for (int i = 3; i < 6; ++i) {
        EXPECT_EQ(glyphs[i]->Mask(), 0x77);
    }
    EXPECT_EQ(Units(display), 263);

    display.SetText("12.500");
    Render(display, QSize(327, 120));
    EXPECT_EQ(Units(display), 263);  // the same size as readings below 10
}

TEST(SegmentDisplayTest, CommaTakesNoRoomAndTheCellsAreCentred) {
    CSegmentDisplay display;
    UseCurrentReadoutColours(display);
    display.SetText("1,5");
    const QImage image = Render(display, QSize(300, 100));
    ASSERT_EQ(display.Glyphs().size(), 2u);
    EXPECT_EQ(display.Glyphs()[0]->Mask(), 0x24);
    EXPECT_EQ(display.Glyphs()[1]->Mask(), 0x6B);
    EXPECT_EQ(Units(display), 98);

    // The block is 98 x 100/83 = 118.07 pixels wide from x = 90.96, so the
    // second cell starts at 150.0. The ink spans from the right bars of '1'
    // (x = 37 units: 90.96 + 37 x 1.2048 = 135.54 -> 136) to the right bar
    // of '5' (x = 44 units: 150.0 + 53.01 -> 203).
    int minX = image.width();
    int maxX = -1;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (PixelAt(image, x, y) != kGrey) {
                minX = std::min(minX, x);
                maxX = std::max(maxX, x);
            }
        }
    }
    EXPECT_EQ(minX, 136);
    EXPECT_EQ(maxX, 203);
}

TEST(SegmentDisplayTest, ColonBetweenLettersAndUpperCasing) {
    CSegmentDisplay display;
    display.SetText("a:b");
    EXPECT_EQ(display.GetText(), "a:b");  // not before the paint
    Render(display, QSize(200, 83));
    const auto& glyphs = display.Glyphs();
    ASSERT_EQ(glyphs.size(), 3u);
    EXPECT_NE(dynamic_cast<CFourteenSegmentGlyph*>(glyphs[0].get()), nullptr);
    EXPECT_EQ(glyphs[0]->Mask(), 0x3BC0);  // 'A'
    EXPECT_NE(dynamic_cast<CDotGlyph*>(glyphs[1].get()), nullptr);
    EXPECT_EQ(glyphs[1]->Mask(), 0x03);    // both colon dots
    EXPECT_EQ(glyphs[2]->Mask(), 0x3CA1);  // 'B'
    EXPECT_EQ(display.GetText(), "A:B");
}

TEST(SegmentDisplayTest, EmptyTextPaintsTheBackgroundOnly) {
    CSegmentDisplay display;
    display.SetBackgroundColor(0x00123456);
    display.SetText("");
    const QImage image = Render(display, QSize(120, 40));
    EXPECT_TRUE(display.Glyphs().empty());
    EXPECT_TRUE(AllPixelsAre(image, 0x00123456));
    display.SetText(nullptr);  // a null text reads as empty: no change
    EXPECT_EQ(display.GetText(), "");
}

TEST(SegmentDisplayTest, EachByteIsLookedUpByItself) {
    CSegmentDisplay display;
    // GBK 0x81 0x41: the lead byte makes no glyph, the trail byte 'A' does.
    display.SetText(
        "\x81\x41"
        "1");
    Render(display, QSize(98, 83));
    const auto& glyphs = display.Glyphs();
    ASSERT_EQ(glyphs.size(), 2u);
    EXPECT_EQ(glyphs[0]->Mask(), 0x3BC0);
    EXPECT_EQ(glyphs[1]->Mask(), 0x24);
    EXPECT_EQ(display.GetText(),
              "\x81\x41"
              "1");  // bytes of 0x80 and above untouched
}

TEST(SegmentDisplayLayoutTest, WideClientScalesToItsHeight) {
    const ReadoutLayout layout = LayOutReadout(300, 100, 98);
    EXPECT_NEAR(layout.scale, 100.0 / 83, 1e-12);  // sy ~ 1.205 < sx ~ 3.061
    EXPECT_NEAR(98 * layout.scale, 118.07, 0.005);
    EXPECT_NEAR(layout.left, 90.96, 0.005);
    EXPECT_NEAR(layout.top, 0.0, 1e-12);
    EXPECT_NEAR(layout.bottom, 100.0, 1e-9);
}

TEST(SegmentDisplayLayoutTest, TallClientScalesToItsWidth) {
    const ReadoutLayout layout = LayOutReadout(98, 300, 98);
    EXPECT_DOUBLE_EQ(layout.scale, 1.0);
    EXPECT_DOUBLE_EQ(layout.left, 0.0);
    EXPECT_DOUBLE_EQ(layout.top, (300 - 83) * 0.5);
}

TEST(SegmentDisplayLayoutTest, NativeSizeDeviceCorners) {
    const ReadoutLayout layout = LayOutReadout(98, 83, 98);
    EXPECT_NEAR(layout.scale, 1.0, 1e-12);
    EXPECT_NEAR(layout.left, 0.0, 1e-12);
    EXPECT_NEAR(layout.top, 0.0, 1e-12);

    CSegmentDisplay display;
    display.SetText("88");
    Render(display, QSize(98, 83));
    ASSERT_EQ(display.Glyphs().size(), 2u);
    const double right = layout.left + 49 * layout.scale;
    const CSegmentOutline& first = display.Glyphs()[0]->Outlines()[0];
    EXPECT_EQ(first.DevicePoints(layout.left, layout.top, right, layout.bottom, 49),
              QPolygon({QPoint(5, 4), QPoint(12, 11), QPoint(36, 11), QPoint(43, 4)}));
    const CSegmentOutline& second = display.Glyphs()[1]->Outlines()[0];
    EXPECT_EQ(second.DevicePoints(right, layout.top, right + 49 * layout.scale, layout.bottom, 49),
              QPolygon({QPoint(54, 4), QPoint(61, 11), QPoint(85, 11), QPoint(92, 4)}));
}

TEST(SegmentDisplayPixelTest, NativeSizeCornersArePaintedInTheOnPen) {
    CSegmentDisplay display;
    display.SetText("88");
    const QImage image = Render(display, QSize(98, 83));
    const COLORREF onPen = 0x0000BF00;
    for (const QPoint corner : {QPoint(5, 4), QPoint(12, 11), QPoint(36, 11), QPoint(43, 4)}) {
        EXPECT_EQ(PixelAt(image, corner.x(), corner.y()), onPen) << corner.x() << "," << corner.y();
        EXPECT_EQ(PixelAt(image, corner.x() + 49, corner.y()), onPen)
            << corner.x() + 49 << "," << corner.y();
    }
    EXPECT_EQ(PixelAt(image, 24, 7), kDefaultOn);       // inside segment 0
    EXPECT_EQ(PixelAt(image, 24 + 49, 7), kDefaultOn);  // the same, one cell right
    EXPECT_EQ(PixelAt(image, 24, 2), 0x00000000u);      // above it: background
    EXPECT_EQ(PixelAt(image, 4, 4), 0x00000000u);       // left of its corner
}

TEST(SegmentDisplayPixelTest, UnlitSegmentsAreDrawnInTheOffColour) {
    CSegmentDisplay display;
    display.SetText("1");  // segments 2 and 5 lit
    const QImage image = Render(display, QSize(49, 83));
    EXPECT_EQ(PixelAt(image, 24, 7), kDefaultOff);   // segment 0, unlit, inside
    EXPECT_EQ(PixelAt(image, 5, 4), 0x00002700u);    // its corner: the off pen
    EXPECT_EQ(PixelAt(image, 7, 24), kDefaultOff);   // segment 1, unlit
    EXPECT_EQ(PixelAt(image, 41, 24), kDefaultOn);   // segment 2, lit
    EXPECT_EQ(PixelAt(image, 44, 6), 0x0000BF00u);   // its corner: the on pen
    EXPECT_EQ(PixelAt(image, 41, 58), kDefaultOn);   // segment 5, lit
    EXPECT_EQ(PixelAt(image, 24, 41), kDefaultOff);  // segment 3, unlit
}

TEST(SegmentDisplayPixelTest, CurrentReadoutShowsOnlyTheLitSegments) {
    CSegmentDisplay display;
    UseCurrentReadoutColours(display);
    display.SetText(" 0.000");
    const QImage image = Render(display, QSize(327, 120));
    bool sawBlue = false;
    bool sawOnPen = false;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const COLORREF pixel = PixelAt(image, x, y);
            ASSERT_TRUE(pixel == kGrey || pixel == kBlue || pixel == 0x00EF3030u)
                << std::hex << pixel << " at " << std::dec << x << "," << y;
            sawBlue = sawBlue || pixel == kBlue;
            sawOnPen = sawOnPen || pixel == 0x00EF3030u;
        }
    }
    EXPECT_TRUE(sawBlue);
    EXPECT_TRUE(sawOnPen);
    // The leading blank cell is all background: its segments vanish.
    const ReadoutLayout layout = LayOutReadout(327, 120, 263);
    const int blankRight = static_cast<int>(layout.left + 49 * layout.scale);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < blankRight; ++x) {
            ASSERT_EQ(PixelAt(image, x, y), kGrey) << x << "," << y;
        }
    }
}

// A scaled display (QT_SCALE_FACTOR, a high-dpi screen): the readout is
// laid out on the device's pixels, every segment where the scale puts it,
// nothing cut off, and as sharp as unscaled: no colour but its own.
class ScaledReadoutTest : public ::testing::TestWithParam<qreal> {};

TEST_P(ScaledReadoutTest, EverySegmentLandsOnItsScaledPixels) {
    const qreal ratio = GetParam();
    CSegmentDisplay display;
    display.SetText("8.8");
    const QSize size(116, 83);  // 2 x 49 + 18 units at 1:1
    const QImage image = RenderAt(display, size, ratio);
    const int width = image.width();
    const int height = image.height();
    ASSERT_EQ(width, static_cast<int>(std::ceil(size.width() * ratio)));

    // The picture is the unscaled readout's drawing at the device's size:
    // the glyphs drawn straight onto an image of those pixels.
    const ReadoutLayout layout = LayOutReadout(width, height, Units(display));
    EXPECT_NEAR(layout.scale, ratio, 0.01);
    QImage expected(width, height, QImage::Format_RGB32);
    expected.fill(Qt::black);
    {
        QPainter painter(&expected);
        const auto pen = [](COLORREF color) {
            QPen p(ToQColor(color));
            p.setCosmetic(true);
            return p;
        };
        double left = layout.left;
        for (const auto& glyph : display.Glyphs()) {
            const double right = left + glyph->Width() * layout.scale;
            glyph->Draw(&painter, left, layout.top, right, layout.bottom, pen(0x00002700),
                        pen(0x0000BF00), QBrush(ToQColor(kDefaultOff)),
                        QBrush(ToQColor(kDefaultOn)));
            left = right;
        }
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            ASSERT_EQ(PixelAt(image, x, y), PixelAt(expected, x, y))
                << "ratio " << ratio << " at " << x << "," << y;
        }
    }
    // Inside the first top bar, the decimal point, an unlit colon dot and
    // the last cell's lower right bar (nothing is cut off), scaled.
    const auto at = [&](double x, double y) {
        return PixelAt(image, static_cast<int>(x * ratio), static_cast<int>(y * ratio));
    };
    EXPECT_EQ(at(24, 7.5), kDefaultOn);
    EXPECT_EQ(at(49 + 8.5, 72.5), kDefaultOn);
    EXPECT_EQ(at(49 + 8.5, 27.5), kDefaultOff);
    EXPECT_EQ(at(49 + 18 + 41, 58), kDefaultOn);
}

TEST_P(ScaledReadoutTest, TheCurrentReadoutShowsItsWholeText) {
    const qreal ratio = GetParam();
    CSegmentDisplay display;
    UseCurrentReadoutColours(display);
    display.SetText("12.500");
    const QImage image = RenderAt(display, QSize(327, 120), ratio);
    // The ink spans from the first digit's right bars to the last one's, as
    // the unscaled readout's does, only scaled.
    const ReadoutLayout layout = LayOutReadout(image.width(), image.height(), 263);
    int minX = image.width();
    int maxX = -1;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const COLORREF pixel = PixelAt(image, x, y);
            ASSERT_TRUE(pixel == kGrey || pixel == kBlue || pixel == 0x00EF3030u)
                << std::hex << pixel << " at " << std::dec << x << "," << y;
            if (pixel != kGrey) {
                minX = std::min(minX, x);
                maxX = std::max(maxX, x);
            }
        }
    }
    EXPECT_EQ(minX, RoundToDevice(layout.left + 37 * layout.scale));  // '1': bars at 37-44
    EXPECT_EQ(maxX, RoundToDevice(layout.left + (4 * 49 + 18 + 44) * layout.scale));
}

INSTANTIATE_TEST_SUITE_P(Ratios, ScaledReadoutTest, ::testing::Values(1.0, 1.25, 1.5, 2.0, 3.0));

TEST(PenBlendTest, DefaultColours) {
    EXPECT_EQ(BlendPenColor(kDefaultOff, 0x00000000), 0x00002700u);  // green 39
    EXPECT_EQ(BlendPenColor(kDefaultOn, 0x00000000), 0x0000BF00u);   // green 191
}

TEST(PenBlendTest, CurrentReadoutColours) {
    EXPECT_EQ(BlendPenColor(kGrey, kGrey), 0x00C0C0C0u);  // unlit segments vanish
    EXPECT_EQ(BlendPenColor(kBlue, kGrey), 0x00EF3030u);  // red 48, green 48, blue 239
}

}  // namespace
}  // namespace controls
