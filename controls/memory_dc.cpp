#include "controls/memory_dc.h"

#include <QPaintDevice>
#include <QTransform>

namespace controls {

CMemoryDC::CMemoryDC(QPainter* pTargetDC, const QRect& rect) : m_pTargetDC(pTargetDC) {
    // The target's mapping (window, viewport and world transform) plays the
    // part of the GDI mapping mode: the image covers the rectangle's device
    // extent, and the surface maps logical points as the target does, moved
    // so that the rectangle's corner lands on the image's origin.
    const QTransform mapping = pTargetDC->combinedTransform();
    m_deviceRect = mapping.mapRect(rect);

    const qreal ratio = pTargetDC->device()->devicePixelRatio();
    m_bitmap = QImage(m_deviceRect.size() * ratio, QImage::Format_RGB32);
    if (m_bitmap.isNull()) {
        return;  // an empty rectangle: nothing to draw, nothing to copy
    }
    m_bitmap.setDevicePixelRatio(ratio);

    begin(&m_bitmap);
    fillRect(QRect(QPoint(0, 0), m_deviceRect.size()), pTargetDC->background().color());
    setTransform(mapping * QTransform::fromTranslate(-m_deviceRect.x(), -m_deviceRect.y()));
}

CMemoryDC::~CMemoryDC() {
    if (!isActive()) {
        return;
    }
    end();
    // One block, pixel for pixel, at the rectangle's device position.
    m_pTargetDC->save();
    m_pTargetDC->resetTransform();
    m_pTargetDC->drawImage(m_deviceRect.topLeft(), m_bitmap);
    m_pTargetDC->restore();
}

}  // namespace controls
