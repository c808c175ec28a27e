// Helpers of the controls tests: rendering a readout to an image, reading
// its pixels as COLORREFs, pumping the GUI event loop, counting paints.
#pragma once

#include <QCoreApplication>
#include <QImage>

#include "controls/segment_display.h"

namespace controls::testing {

constexpr COLORREF kDefaultOff = 0x00003400;
constexpr COLORREF kDefaultOn = 0x0000FF00;
constexpr COLORREF kGrey = 0x00C0C0C0;
constexpr COLORREF kBlue = 0x00FF0000;

// The picture the widget paints at the given size, pixel for pixel.
inline QImage Render(CSegmentDisplay& display, QSize size) {
    display.resize(size);
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::magenta);  // shows any pixel the paint left out
    display.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
}

// The same at a display scale: the image has the device's pixels, size x
// ratio of them, and that device-pixel ratio.
inline QImage RenderAt(CSegmentDisplay& display, QSize size, qreal ratio) {
    display.resize(size);
    QImage image(QSizeF(size * ratio).toSize(), QImage::Format_RGB32);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::magenta);
    display.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
}

inline COLORREF PixelAt(const QImage& image, int x, int y) {
    return FromQColor(image.pixelColor(x, y));
}

inline void PumpEvents() {
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

// A readout that counts its paints. (An event filter would read the events
// Qt posts across threads, which ThreadSanitizer cannot see synchronised
// inside the uninstrumented Qt libraries.)
class CountingDisplay : public CSegmentDisplay {
public:
    int paints = 0;

protected:
    void paintEvent(QPaintEvent* event) override {
        ++paints;
        CSegmentDisplay::paintEvent(event);
    }
};

}  // namespace controls::testing
