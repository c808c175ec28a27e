// The outline tables, the character table and the device rounding of
// the segment cells.
#include "controls/segment_glyph.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace controls {
namespace {

using Points = std::vector<QPoint>;

Points PointsOf(const CSegmentOutline& outline) {
    return Points(outline.Points().begin(), outline.Points().end());
}

std::vector<Points> OutlinesOf(const CSegmentGlyph& glyph) {
    std::vector<Points> result;
    for (const CSegmentOutline& outline : glyph.Outlines()) {
        result.push_back(PointsOf(outline));
    }
    return result;
}

TEST(SegmentGlyphTest, SevenSegmentOutlinesMatchTheTable) {
    CSevenSegmentGlyph glyph;
    EXPECT_TRUE(glyph.Outlines().empty());  // nothing before Build
    glyph.Build(0x7F);
    const std::vector<Points> expected = {
        {{5, 4}, {12, 11}, {36, 11}, {43, 4}},
        {{4, 6}, {4, 40}, {11, 36}, {11, 13}},
        {{44, 6}, {44, 40}, {37, 36}, {37, 13}},
        {{6, 41}, {14, 45}, {34, 45}, {42, 41}, {34, 37}, {14, 37}},
        {{4, 76}, {4, 42}, {11, 46}, {11, 69}},
        {{44, 76}, {44, 42}, {37, 46}, {37, 69}},
        {{5, 78}, {12, 71}, {36, 71}, {43, 78}},
    };
    EXPECT_EQ(OutlinesOf(glyph), expected);
    EXPECT_EQ(glyph.Width(), 49);
    EXPECT_EQ(glyph.SegmentCount(), 7);
    EXPECT_EQ(glyph.Mask(), 0x7F);
}

TEST(SegmentGlyphTest, FourteenSegmentOutlinesMatchTheTable) {
    CFourteenSegmentGlyph glyph;
    glyph.Build(0);
    const std::vector<Points> expected = {
        {{20, 13}, {20, 36}, {24, 40}, {28, 36}, {28, 13}},
        {{5, 5}, {15, 35}, {20, 37}, {18, 25}},
        {{43, 5}, {33, 35}, {28, 37}, {30, 25}},
        {{5, 77}, {15, 47}, {20, 45}, {18, 57}},
        {{43, 77}, {33, 47}, {28, 45}, {30, 57}},
        {{20, 69}, {20, 46}, {24, 42}, {28, 46}, {28, 69}},
        {{6, 41}, {14, 45}, {18, 45}, {22, 41}, {18, 37}, {14, 37}},
        {{42, 41}, {34, 45}, {30, 45}, {26, 41}, {30, 37}, {34, 37}},
        {{4, 7}, {4, 40}, {11, 36}, {11, 26}},
        {{4, 75}, {4, 42}, {11, 46}, {11, 56}},
        {{6, 78}, {11, 71}, {37, 71}, {42, 78}},
        {{44, 75}, {44, 42}, {37, 46}, {37, 56}},
        {{44, 7}, {44, 40}, {37, 36}, {37, 26}},
        {{6, 4}, {11, 11}, {37, 11}, {42, 4}},
    };
    EXPECT_EQ(OutlinesOf(glyph), expected);
    EXPECT_EQ(glyph.Width(), 49);
    EXPECT_EQ(glyph.SegmentCount(), 14);
}

TEST(SegmentGlyphTest, DotOutlinesMatchTheTable) {
    CDotGlyph glyph;
    glyph.Build(0x04);
    const std::vector<Points> expected = {
        {{4, 23}, {4, 32}, {13, 32}, {13, 23}},
        {{4, 50}, {4, 59}, {13, 59}, {13, 50}},
        {{4, 68}, {4, 77}, {13, 77}, {13, 68}},
    };
    EXPECT_EQ(OutlinesOf(glyph), expected);
    EXPECT_EQ(glyph.Width(), 18);
    EXPECT_EQ(glyph.SegmentCount(), 3);
}

enum class Kind { kSeven, kFourteen, kDot };

struct CharacterCase {
    char ch;
    Kind kind;
    std::uint16_t mask;
};

TEST(CharacterTableTest, EveryCharacterOfTheTable) {
    const CharacterCase cases[] = {
        {' ', Kind::kSeven, 0x00},      {'0', Kind::kSeven, 0x77},
        {'1', Kind::kSeven, 0x24},      {'2', Kind::kSeven, 0x5D},
        {'3', Kind::kSeven, 0x6D},      {'4', Kind::kSeven, 0x2E},
        {'5', Kind::kSeven, 0x6B},      {'6', Kind::kSeven, 0x7B},
        {'7', Kind::kSeven, 0x25},      {'8', Kind::kSeven, 0x7F},
        {'9', Kind::kSeven, 0x6F},      {'-', Kind::kSeven, 0x08},
        {'A', Kind::kFourteen, 0x3BC0}, {'B', Kind::kFourteen, 0x3CA1},
        {'C', Kind::kFourteen, 0x2700}, {'D', Kind::kFourteen, 0x3C21},
        {'E', Kind::kFourteen, 0x27C0}, {'F', Kind::kFourteen, 0x23C0},
        {'G', Kind::kFourteen, 0x2F80}, {'H', Kind::kFourteen, 0x1BC0},
        {'I', Kind::kFourteen, 0x2421}, {'J', Kind::kFourteen, 0x1E00},
        {'K', Kind::kFourteen, 0x0354}, {'L', Kind::kFourteen, 0x0700},
        {'M', Kind::kFourteen, 0x1B06}, {'N', Kind::kFourteen, 0x1B12},
        {'O', Kind::kFourteen, 0x3F00}, {'P', Kind::kFourteen, 0x33C0},
        {'Q', Kind::kFourteen, 0x3F10}, {'R', Kind::kFourteen, 0x33D0},
        {'S', Kind::kFourteen, 0x2DC0}, {'T', Kind::kFourteen, 0x2021},
        {'U', Kind::kFourteen, 0x1F00}, {'V', Kind::kFourteen, 0x030C},
        {'W', Kind::kFourteen, 0x1B18}, {'X', Kind::kFourteen, 0x001E},
        {'Y', Kind::kFourteen, 0x11E0}, {'Z', Kind::kFourteen, 0x240C},
        {'*', Kind::kFourteen, 0x00FF}, {'+', Kind::kFourteen, 0x00E1},
        {'.', Kind::kDot, 0x04},        {':', Kind::kDot, 0x03},
    };
    for (const CharacterCase& c : cases) {
        SCOPED_TRACE(std::string("character '") + c.ch + "'");
        const auto glyph = CreateGlyph(c.ch);
        ASSERT_NE(glyph, nullptr);
        switch (c.kind) {
            case Kind::kSeven:
                EXPECT_NE(dynamic_cast<CSevenSegmentGlyph*>(glyph.get()), nullptr);
                break;
            case Kind::kFourteen:
                EXPECT_NE(dynamic_cast<CFourteenSegmentGlyph*>(glyph.get()), nullptr);
                break;
            case Kind::kDot:
                EXPECT_NE(dynamic_cast<CDotGlyph*>(glyph.get()), nullptr);
                break;
        }
        EXPECT_EQ(glyph->Mask(), c.mask);
        EXPECT_EQ(glyph->Outlines().size(), static_cast<std::size_t>(glyph->SegmentCount()));
    }
}

TEST(CharacterTableTest, EveryOtherByteMakesNoGlyph) {
    const std::string known = " -*+.:0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    int withGlyph = 0;
    for (int byte = 0; byte < 256; ++byte) {
        const char ch = static_cast<char>(byte);
        const bool expected = byte != 0 && known.find(ch) != std::string::npos;
        EXPECT_EQ(CreateGlyph(ch) != nullptr, expected) << "byte " << byte;
        withGlyph += expected ? 1 : 0;
    }
    EXPECT_EQ(withGlyph, 42);
    EXPECT_EQ(CreateGlyph(','), nullptr);
    EXPECT_EQ(CreateGlyph('a'), nullptr);  // the display upper-cases first
}

TEST(DeviceRoundingTest, HalfwayRoundsUpAndTruncationIsTowardZero) {
    EXPECT_EQ(RoundToDevice(2.5), 3);
    EXPECT_EQ(RoundToDevice(2.4999), 2);
    EXPECT_EQ(RoundToDevice(-0.7), 0);  // trunc(-0.2)
    EXPECT_EQ(RoundToDevice(-1.6), -1);
}

TEST(DeviceRoundingTest, OutlinePointsAtKPlusHalfBecomeKPlusOne) {
    const CSegmentOutline outline(QPolygon({QPoint(1, 1), QPoint(3, 0)}));
    // A cell 2 units wide drawn 3 pixels wide: x = 1 x 1.5 = 1.5 -> 2 and
    // 3 x 1.5 = 4.5 -> 5; 83 units high in 83 pixels: y stays.
    EXPECT_EQ(outline.DevicePoints(0.0, 0.0, 3.0, 83.0, 2), QPolygon({QPoint(2, 1), QPoint(5, 0)}));
    // Half a pixel down: y = 1.5 -> 2 and 0.5 -> 1.
    EXPECT_EQ(outline.DevicePoints(0.0, 0.5, 3.0, 83.5, 2), QPolygon({QPoint(2, 2), QPoint(5, 1)}));
}

}  // namespace
}  // namespace controls
