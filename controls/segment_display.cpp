#include "controls/segment_display.h"

#include <QMetaObject>
#include <QPaintEvent>
#include <QThread>

namespace controls {
namespace {

COLORREF BlendChannel(COLORREF segment, COLORREF background, int shift) {
    const double blended =
        0.25 * ((background >> shift) & 0xFF) + 0.75 * ((segment >> shift) & 0xFF);
    return static_cast<COLORREF>(blended) << shift;
}

// Solid, one device pixel wide whatever the painter's transform.
QPen SegmentPen(COLORREF color) {
    QPen pen(ToQColor(color));
    pen.setWidth(1);
    pen.setCosmetic(true);
    return pen;
}

}  // namespace

COLORREF BlendPenColor(COLORREF segment, COLORREF background) {
    return BlendChannel(segment, background, 0) | BlendChannel(segment, background, 8) |
           BlendChannel(segment, background, 16);
}

ReadoutLayout LayOutReadout(int width, int height, int units) {
    const double scaleX = static_cast<double>(width) / units;
    const double scaleY = height * (1.0 / CELL_HEIGHT);
    const double scale = scaleX < scaleY ? scaleX : scaleY;
    const double top = (height - CELL_HEIGHT * scale) * 0.5;
    return ReadoutLayout{
        .scale = scale,
        .left = (width - units * scale) * 0.5,
        .top = top,
        .bottom = top + CELL_HEIGHT * scale,
    };
}

CSegmentDisplay::CSegmentDisplay(QWidget* parent) : QWidget(parent) {
    // Every pixel is painted by paintEvent: no background erase by Qt.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
}

// Destroys the glyphs, then the text (the members' reverse order).
CSegmentDisplay::~CSegmentDisplay() = default;

void CSegmentDisplay::SetText(const char* pszText) {
    const std::string_view text = pszText != nullptr ? pszText : "";
    {
        const std::lock_guard<std::mutex> lock(m_textMutex);
        if (m_strText == text) {
            return;
        }
        m_strText.assign(text);
        m_bRebuild = true;
    }
    Invalidate();
}

std::string CSegmentDisplay::GetText() const {
    const std::lock_guard<std::mutex> lock(m_textMutex);
    return m_strText;
}

void CSegmentDisplay::SetSegmentColors(COLORREF crOff, COLORREF crOn) {
    if (crOn == m_crOn && crOff == m_crOff) {
        return;
    }
    m_crOff = crOff;
    m_crOn = crOn;
    Invalidate();
}

void CSegmentDisplay::SetBackgroundColor(COLORREF crBackground) {
    if (crBackground == m_crBackground) {
        return;
    }
    m_crBackground = crBackground;
    Invalidate();
}

// The whole client area is repainted. Widgets may only be touched on their
// own thread, so a worker's call is posted there; Qt merges the pending
// updates into one paint.
void CSegmentDisplay::Invalidate() {
    if (QThread::currentThread() == thread()) {
        update();
    } else {
        QMetaObject::invokeMethod(this, "update", Qt::QueuedConnection);
    }
}

void CSegmentDisplay::RebuildGlyphs() {
    const std::lock_guard<std::mutex> lock(m_textMutex);
    if (!m_bRebuild) {
        return;
    }
    m_glyphs.clear();
    // Byte by byte, ASCII only: a byte of 0x80 or above is left alone, so a
    // GBK lead byte stays a byte without a glyph.
    for (char& ch : m_strText) {
        if (ch >= 'a' && ch <= 'z') {
            ch = static_cast<char>(ch - 'a' + 'A');
        }
    }
    for (const char ch : m_strText) {
        if (auto glyph = CreateGlyph(ch)) {
            m_glyphs.push_back(std::move(glyph));
        }
    }
    m_bRebuild = false;
}

void CSegmentDisplay::paintEvent(QPaintEvent* /*event*/) {
    const QRect client = rect();
    if (client.isEmpty()) {
        return;
    }
    QPainter paintDC(this);
    paintDC.setBackground(ToQColor(m_crBackground));
    CMemoryDC dc(&paintDC, client);  // filled with the background colour
    // The cells are laid out and rounded on the device's own pixels, so a
    // scaled display shows them as sharp as an unscaled one.
    dc.UsePixelCoordinates();
    const QSize pixels = dc.PixelSize();

    const QBrush offBrush(ToQColor(m_crOff));
    const QBrush onBrush(ToQColor(m_crOn));
    const QPen offPen = SegmentPen(BlendPenColor(m_crOff, m_crBackground));
    const QPen onPen = SegmentPen(BlendPenColor(m_crOn, m_crBackground));

    RebuildGlyphs();
    int units = 0;
    for (const auto& glyph : m_glyphs) {
        units += glyph->Width();
    }
    if (units == 0) {
        return;  // no known character: the background only
    }

    const ReadoutLayout layout = LayOutReadout(pixels.width(), pixels.height(), units);
    double left = layout.left;
    for (const auto& glyph : m_glyphs) {
        const double right = left + glyph->Width() * layout.scale;
        glyph->Draw(&dc, left, layout.top, right, layout.bottom, offPen, onPen, offBrush, onBrush);
        left = right;
    }
}  // the surface closes here and copies the picture in one block

}  // namespace controls
