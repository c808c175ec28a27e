// One character cell of the segment readout: a fixed grid of
// m_nWidth x CELL_HEIGHT units holding one outline per segment, each drawn
// lit or unlit according to the cell's mask.
#pragma once

#include <QBrush>
#include <QPainter>
#include <QPen>
#include <QPolygon>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace controls {

constexpr int CELL_HEIGHT = 83;
constexpr int CELL_WIDTH = 49;  // seven- and fourteen-segment cells
constexpr int DOT_CELL_WIDTH = 18;

// trunc(v + 0.5), truncation toward zero: how cell units land on pixels.
int RoundToDevice(double v);

// One closed segment figure in cell units. Its first point starts the
// figure and every other point continues it; drawing closes it.
class CSegmentOutline {
public:
    explicit CSegmentOutline(QPolygon points);

    const QPolygon& Points() const { return m_points; }

    // The figure's points in device coordinates for a cell drawn into the
    // rectangle (left, top, right, bottom) that is cellWidth units wide.
    QPolygon DevicePoints(double left, double top, double right, double bottom,
                          int cellWidth) const;

    // Fills the figure with the painter's brush and strokes its edge with
    // the painter's pen, as a stroked and filled path.
    void Draw(QPainter* pDC, double left, double top, double right, double bottom,
              int cellWidth) const;

private:
    QPolygon m_points;
};

class CSegmentGlyph {
public:
    // A base glyph: width 49, mask 0, no segments and no outlines.
    CSegmentGlyph();
    virtual ~CSegmentGlyph();

    CSegmentGlyph(const CSegmentGlyph&) = delete;
    CSegmentGlyph& operator=(const CSegmentGlyph&) = delete;

    // The base class stores the mask only; each kind also builds its
    // outlines, one per segment in segment order.
    virtual void Build(std::uint16_t mask);

    // Draws every segment into the rectangle (device coordinates of the
    // surface): lit ones with the on brush and pen, the others with the off
    // brush and pen.
    void Draw(QPainter* pDC, double left, double top, double right, double bottom,
              const QPen& offPen, const QPen& onPen, const QBrush& offBrush,
              const QBrush& onBrush) const;

    int Width() const { return m_nWidth; }
    std::uint16_t Mask() const { return m_wMask; }
    int SegmentCount() const { return m_nSegments; }
    const std::vector<CSegmentOutline>& Outlines() const { return m_outlines; }

protected:
    CSegmentGlyph(int width, int segments);
    // Replaces the outlines by copies of the kind's segment table and stores
    // the mask.
    void BuildOutlines(std::span<const QPolygon> segments, std::uint16_t mask);

private:
    int m_nWidth;
    std::uint16_t m_wMask = 0;
    std::vector<CSegmentOutline> m_outlines;
    int m_nSegments;
};

// Digits, blank and minus.
class CSevenSegmentGlyph : public CSegmentGlyph {
public:
    CSevenSegmentGlyph();
    void Build(std::uint16_t mask) override;
};

// Letters, asterisk and plus.
class CFourteenSegmentGlyph : public CSegmentGlyph {
public:
    CFourteenSegmentGlyph();
    void Build(std::uint16_t mask) override;
};

// Full stop and colon: a narrow cell of three dots.
class CDotGlyph : public CSegmentGlyph {
public:
    CDotGlyph();
    void Build(std::uint16_t mask) override;
};

// The character table: a built glyph for one byte of the text, or null for
// a byte that has none (',' and every byte of 0x80 or above among them).
// Lower-case letters have none either: the readout upper-cases first.
std::unique_ptr<CSegmentGlyph> CreateGlyph(char ch);

}  // namespace controls
