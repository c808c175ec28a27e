#include "controls/memory_dc.h"

#include <QPaintDevice>
#include <QTransform>
#include <cmath>

namespace controls {

CMemoryDC::CMemoryDC(QPainter* pTargetDC, const QRect& rect) : m_pTargetDC(pTargetDC) {
    // The target's whole mapping to its device's pixels (window, viewport,
    // world transform and the device-pixel ratio) plays the part of the GDI
    // mapping mode. The image covers every device pixel the rectangle
    // touches.
    const QTransform toDevice = pTargetDC->deviceTransform();
    m_deviceRect = toDevice.mapRect(QRectF(rect)).toAlignedRect();
    const qreal scale = std::sqrt(std::abs(toDevice.determinant()));
    if (scale > 0.0) {
        m_ratio = scale;
    }

    m_bitmap = QImage(m_deviceRect.size(), QImage::Format_RGB32);
    if (m_bitmap.isNull()) {
        return;  // an empty rectangle: nothing to draw, nothing to copy
    }
    m_bitmap.fill(pTargetDC->background().color());
    // With its ratio set, logical drawing (text, cosmetic pens) comes out
    // at the display's scale too.
    m_bitmap.setDevicePixelRatio(m_ratio);

    begin(&m_bitmap);
    // The painter scales by the image's ratio itself: undo that, so that a
    // logical point lands on the pixel it lands on in the target, moved so
    // that the rectangle's corner is the image's origin.
    setTransform(toDevice * QTransform::fromTranslate(-m_deviceRect.x(), -m_deviceRect.y()) *
                 QTransform::fromScale(1.0 / m_ratio, 1.0 / m_ratio));
}

void CMemoryDC::UsePixelCoordinates() {
    if (isActive()) {
        setTransform(QTransform::fromScale(1.0 / m_ratio, 1.0 / m_ratio));
    }
}

CMemoryDC::~CMemoryDC() {
    if (!isActive()) {
        return;
    }
    end();
    // One block, pixel for pixel, at the rectangle's device position: the
    // target's world transform is chosen so that its whole mapping is that
    // move and nothing else.
    const QTransform toDevice = m_pTargetDC->deviceTransform();
    bool invertible = false;
    const QTransform beyondWorld = m_pTargetDC->worldTransform().inverted(&invertible) * toDevice;
    if (!invertible) {
        return;
    }
    const QTransform undo = beyondWorld.inverted(&invertible);
    if (!invertible) {
        return;
    }
    m_bitmap.setDevicePixelRatio(1.0);
    m_pTargetDC->save();
    m_pTargetDC->setWorldTransform(QTransform::fromTranslate(m_deviceRect.x(), m_deviceRect.y()) *
                                   undo);
    m_pTargetDC->drawImage(QPointF(0, 0), m_bitmap);
    m_pTargetDC->restore();
}

}  // namespace controls
