// Dialog units to pixels. The dialogs are laid out in the units of their
// font as it was designed, SimSun 9 pt, whose base units are 6 x 12 pixels
// at 96 dpi; the base is scaled by the screen's logical dpi and never
// measured from whatever font the system falls back to (a CJK fallback
// measures about 5 x 16 and would stretch every dialog by a third).
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

namespace app {

// number * numerator / denominator with a 64-bit intermediate, rounded half
// away from zero; -1 when denominator is 0 or the result does not fit.
int MulDiv(int number, int numerator, int denominator);

struct DialogBaseUnits {
    int x;  // pixels per 4 horizontal dialog units
    int y;  // pixels per 8 vertical dialog units
};

constexpr DialogBaseUnits kDesignBaseUnits{6, 12};  // SimSun 9 pt at 96 dpi
constexpr int kDesignDpi = 96;

DialogBaseUnits BaseUnitsForDpi(int dpiX, int dpiY);
// Of the screen the widget is on (the primary screen for none).
DialogBaseUnits BaseUnitsFor(const QWidget* widget);

int DluToPixelsX(int dlu, DialogBaseUnits base);
int DluToPixelsY(int dlu, DialogBaseUnits base);
// Position and size converted each on its own, as the dialog manager does.
QRect DluToPixels(const QRect& dlu, DialogBaseUnits base);
QSize DluToPixels(const QSize& dlu, DialogBaseUnits base);

// 9 pt, SimSun first, then the CJK families that stand in for it on other
// systems. With SimSun alone the font matcher picks a Latin face and lets
// Japanese glyph shapes win the fallback.
QFont DialogFont();

}  // namespace app
