// Dialog units: the rounding of MulDiv and the base units per dpi.
#include "app/dialog_units.h"

#include <gtest/gtest.h>

#include <QStringList>
#include <climits>

namespace app {
namespace {

TEST(MulDiv, RoundsHalfAwayFromZeroWithoutOverflow) {
    EXPECT_EQ(MulDiv(229, 6, 4), 344);   // 343.5
    EXPECT_EQ(MulDiv(311, 12, 8), 467);  // 466.5
    EXPECT_EQ(MulDiv(7, 6, 4), 11);      // 10.5
    EXPECT_EQ(MulDiv(5, 6, 4), 8);       // 7.5
    EXPECT_EQ(MulDiv(1, 1, 3), 0);
    EXPECT_EQ(MulDiv(2, 1, 3), 1);
    EXPECT_EQ(MulDiv(-7, 6, 4), -11);
    EXPECT_EQ(MulDiv(7, -6, 4), -11);
    EXPECT_EQ(MulDiv(7, 6, -4), -11);
    EXPECT_EQ(MulDiv(-7, -6, 4), 11);
    EXPECT_EQ(MulDiv(INT_MAX, INT_MAX, INT_MAX), INT_MAX);  // 64-bit product
    EXPECT_EQ(MulDiv(INT_MIN, 1, 1), INT_MIN);
    EXPECT_EQ(MulDiv(INT_MAX, 2, 1), -1);  // does not fit
    EXPECT_EQ(MulDiv(1, 1, 0), -1);
}

TEST(DialogBaseUnits, ScaleWithTheLogicalDpi) {
    const DialogBaseUnits at96 = BaseUnitsForDpi(96, 96);
    EXPECT_EQ(at96.x, 6);
    EXPECT_EQ(at96.y, 12);
    const DialogBaseUnits at120 = BaseUnitsForDpi(120, 120);
    EXPECT_EQ(at120.x, 8);  // 7.5
    EXPECT_EQ(at120.y, 15);
    const DialogBaseUnits at144 = BaseUnitsForDpi(144, 144);
    EXPECT_EQ(at144.x, 9);
    EXPECT_EQ(at144.y, 18);
    // Position and size are converted each on its own.
    EXPECT_EQ(DluToPixels(QRect(88, 99, 12, 25), at96), QRect(132, 149, 18, 38));
    EXPECT_EQ(DluToPixels(QSize(235, 55), at96), QSize(353, 83));
}

TEST(DialogFont, IsNinePointWithTheCjkFallbacksInOrder) {
    const QFont font = DialogFont();
    EXPECT_EQ(font.pointSize(), 9);
    EXPECT_EQ(font.families(), (QStringList{"SimSun", "NSimSun", "WenQuanYi Zen Hei",
                                            "WenQuanYi Micro Hei", "Noto Sans CJK SC"}));
}

}  // namespace
}  // namespace app
