// The off-screen drawing surface. It lives for one paint: opened
// on the widget's painter over a rectangle, it is itself a painter on an
// off-screen image of that rectangle, with the target's logical coordinates
// and already filled with the target's background colour. Closing it (the
// destructor) copies the finished picture to the target in one drawImage, so
// the screen never shows a half-drawn picture.
#pragma once

#include <QImage>
#include <QPainter>
#include <QRect>

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

private:
    QImage m_bitmap;        // off-screen picture, as large as the rectangle on the device
    QPainter* m_pTargetDC;  // receives the picture on closing
    QRect m_deviceRect;     // the rectangle in the target's device coordinates
};

}  // namespace controls
