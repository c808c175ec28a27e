// The off-screen drawing surface. It lives for one paint: opened
// on the widget's painter over a rectangle, it is itself a painter on an
// off-screen image of that rectangle, with the target's logical coordinates
// and already filled with the target's background colour. Closing it (the
// destructor) copies the finished picture to the target in one drawImage, so
// the screen never shows a half-drawn picture.
//
// The image has one pixel per pixel of the target device, whatever the
// display's scale (its device-pixel ratio is set to match), and is copied
// pixel for pixel: nothing drawn on it is scaled again on the way.
#pragma once

#include <QImage>
#include <QPainter>
#include <QRect>
#include <QSize>

namespace controls {

class CMemoryDC : public QPainter {
public:
    // rect is in the target's logical coordinates (the widget passes its
    // client rectangle). The target must stay active until the surface is
    // closed.
    CMemoryDC(QPainter* pTargetDC, const QRect& rect);
    ~CMemoryDC();

    CMemoryDC(const CMemoryDC&) = delete;
    CMemoryDC& operator=(const CMemoryDC&) = delete;

    // The picture's size in device pixels.
    QSize PixelSize() const { return m_deviceRect.size(); }
    // From here on the surface draws in the picture's own pixels: (0, 0) is
    // its top-left pixel and one unit is one device pixel.
    void UsePixelCoordinates();

private:
    QImage m_bitmap;        // off-screen picture, one pixel per device pixel of the rectangle
    QPainter* m_pTargetDC;  // receives the picture on closing
    QRect m_deviceRect;     // the rectangle in the target's device pixels
    qreal m_ratio = 1.0;    // device pixels per logical unit of the target
};

}  // namespace controls
