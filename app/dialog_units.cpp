#include "app/dialog_units.h"

#include <QGuiApplication>
#include <QScreen>
#include <QStringList>
#include <QWidget>
#include <climits>
#include <cmath>
#include <cstdint>

namespace app {

int MulDiv(int number, int numerator, int denominator) {
    if (denominator == 0) return -1;
    const int64_t product = static_cast<int64_t>(number) * numerator;
    const bool negative = (product < 0) != (denominator < 0);
    const uint64_t absProduct =
        product < 0 ? static_cast<uint64_t>(-(product + 1)) + 1 : static_cast<uint64_t>(product);
    const uint64_t absDenominator =
        denominator < 0 ? static_cast<uint64_t>(-(static_cast<int64_t>(denominator)))
                        : static_cast<uint64_t>(denominator);
    const uint64_t quotient = (absProduct + absDenominator / 2) / absDenominator;
    if (quotient > static_cast<uint64_t>(INT_MAX) + (negative ? 1 : 0)) return -1;
    return negative ? static_cast<int>(-static_cast<int64_t>(quotient))
                    : static_cast<int>(quotient);
}

DialogBaseUnits BaseUnitsForDpi(int dpiX, int dpiY) {
    return DialogBaseUnits{MulDiv(kDesignBaseUnits.x, dpiX, kDesignDpi),
                           MulDiv(kDesignBaseUnits.y, dpiY, kDesignDpi)};
}

DialogBaseUnits BaseUnitsFor(const QWidget* widget) {
    const QScreen* screen = widget != nullptr ? widget->screen() : nullptr;
    if (screen == nullptr) screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return kDesignBaseUnits;
    return BaseUnitsForDpi(static_cast<int>(std::lround(screen->logicalDotsPerInchX())),
                           static_cast<int>(std::lround(screen->logicalDotsPerInchY())));
}

int DluToPixelsX(int dlu, DialogBaseUnits base) { return MulDiv(dlu, base.x, 4); }
int DluToPixelsY(int dlu, DialogBaseUnits base) { return MulDiv(dlu, base.y, 8); }

QRect DluToPixels(const QRect& dlu, DialogBaseUnits base) {
    return QRect(DluToPixelsX(dlu.x(), base), DluToPixelsY(dlu.y(), base),
                 DluToPixelsX(dlu.width(), base), DluToPixelsY(dlu.height(), base));
}

QSize DluToPixels(const QSize& dlu, DialogBaseUnits base) {
    return QSize(DluToPixelsX(dlu.width(), base), DluToPixelsY(dlu.height(), base));
}

QFont DialogFont() {
    QFont font;
    font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("NSimSun"),
                      QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("WenQuanYi Micro Hei"),
                      QStringLiteral("Noto Sans CJK SC")});
    font.setPointSize(9);
    return font;
}

}  // namespace app
