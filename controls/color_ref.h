// Colours of the readout, kept as the Windows COLORREF values the
// colours are given in (0x00BBGGRR: red in bits 0-7, green 8-15, blue 16-23), so that
// the main window and the tests can use the documented numbers unchanged.
#pragma once

#include <QColor>
#include <cstdint>

namespace controls {

using COLORREF = std::uint32_t;

constexpr COLORREF MakeColorRef(int red, int green, int blue) {
    return static_cast<COLORREF>(red & 0xFF) | static_cast<COLORREF>(green & 0xFF) << 8 |
           static_cast<COLORREF>(blue & 0xFF) << 16;
}

inline QColor ToQColor(COLORREF color) {
    return QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF);
}

inline COLORREF FromQColor(const QColor& color) {
    return MakeColorRef(color.red(), color.green(), color.blue());
}

}  // namespace controls
