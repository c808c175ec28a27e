#include "controls/segment_glyph.h"

#include <array>
#include <cmath>
#include <initializer_list>
#include <utility>

namespace controls {
namespace {

constexpr double kInverseCellHeight = 1.0 / CELL_HEIGHT;  // the double nearest to 1/83

// The seven- and fourteen-segment cells are symmetric about x = 24 and
// y = 41, so most segments are mirror images of a few base outlines.
enum class Mirror { kNone, kH, kV, kP };

QPolygon Outline(std::initializer_list<QPoint> points, Mirror mirror = Mirror::kNone) {
    QPolygon result(points);
    const int mirrorX = CELL_WIDTH - 1;   // (x, y) -> (48 - x, y)
    const int mirrorY = CELL_HEIGHT - 1;  // (x, y) -> (x, 82 - y)
    for (QPoint& p : result) {
        if (mirror == Mirror::kH || mirror == Mirror::kP) {
            p.setX(mirrorX - p.x());
        }
        if (mirror == Mirror::kV || mirror == Mirror::kP) {
            p.setY(mirrorY - p.y());
        }
    }
    return result;
}

// Segments 0 top, 1 upper left, 2 upper right, 3 middle, 4 lower left,
// 5 lower right, 6 bottom.
const std::array<QPolygon, 7>& SevenSegmentOutlines() {
    static const std::array<QPolygon, 7> outlines = [] {
        const auto topBar = {QPoint(5, 4), QPoint(12, 11), QPoint(36, 11), QPoint(43, 4)};
        const auto sideBar = {QPoint(4, 6), QPoint(4, 40), QPoint(11, 36), QPoint(11, 13)};
        const auto middleBar = {QPoint(6, 41),  QPoint(14, 45), QPoint(34, 45),
                                QPoint(42, 41), QPoint(34, 37), QPoint(14, 37)};
        return std::array<QPolygon, 7>{
            Outline(topBar),
            Outline(sideBar),
            Outline(sideBar, Mirror::kH),
            Outline(middleBar),
            Outline(sideBar, Mirror::kV),
            Outline(sideBar, Mirror::kP),
            Outline(topBar, Mirror::kV),
        };
    }();
    return outlines;
}

// Segments 0 upper centre vertical, 1 upper-left diagonal, 2 upper-right
// diagonal, 3 lower-left diagonal, 4 lower-right diagonal, 5 lower centre
// vertical, 6 middle left, 7 middle right, 8 upper left, 9 lower left,
// 10 bottom, 11 lower right, 12 upper right, 13 top.
const std::array<QPolygon, 14>& FourteenSegmentOutlines() {
    static const std::array<QPolygon, 14> outlines = [] {
        const auto centreBar = {QPoint(20, 13), QPoint(20, 36), QPoint(24, 40), QPoint(28, 36),
                                QPoint(28, 13)};
        const auto diagonal = {QPoint(5, 5), QPoint(15, 35), QPoint(20, 37), QPoint(18, 25)};
        const auto halfMiddleBar = {QPoint(6, 41),  QPoint(14, 45), QPoint(18, 45),
                                    QPoint(22, 41), QPoint(18, 37), QPoint(14, 37)};
        const auto sideBar = {QPoint(4, 7), QPoint(4, 40), QPoint(11, 36), QPoint(11, 26)};
        const auto topBar = {QPoint(6, 4), QPoint(11, 11), QPoint(37, 11), QPoint(42, 4)};
        return std::array<QPolygon, 14>{
            Outline(centreBar),
            Outline(diagonal),
            Outline(diagonal, Mirror::kH),
            Outline(diagonal, Mirror::kV),
            Outline(diagonal, Mirror::kP),
            Outline(centreBar, Mirror::kV),
            Outline(halfMiddleBar),
            Outline(halfMiddleBar, Mirror::kH),
            Outline(sideBar),
            Outline(sideBar, Mirror::kV),
            Outline(topBar, Mirror::kV),
            Outline(sideBar, Mirror::kP),
            Outline(sideBar, Mirror::kH),
            Outline(topBar),
        };
    }();
    return outlines;
}

// Segments 0 upper dot, 1 lower dot, 2 decimal point; no mirroring.
const std::array<QPolygon, 3>& DotOutlines() {
    static const std::array<QPolygon, 3> outlines = {
        Outline({QPoint(4, 23), QPoint(4, 32), QPoint(13, 32), QPoint(13, 23)}),
        Outline({QPoint(4, 50), QPoint(4, 59), QPoint(13, 59), QPoint(13, 50)}),
        Outline({QPoint(4, 68), QPoint(4, 77), QPoint(13, 77), QPoint(13, 68)}),
    };
    return outlines;
}

// Lit-segment masks of the character table.
constexpr std::array<std::uint16_t, 10> kDigitMasks = {0x77, 0x24, 0x5D, 0x6D, 0x2E,
                                                       0x6B, 0x7B, 0x25, 0x7F, 0x6F};
constexpr std::array<std::uint16_t, 26> kLetterMasks = {
    0x3BC0, 0x3CA1, 0x2700, 0x3C21, 0x27C0, 0x23C0, 0x2F80, 0x1BC0, 0x2421,
    0x1E00, 0x0354, 0x0700, 0x1B06, 0x1B12, 0x3F00, 0x33C0, 0x3F10, 0x33D0,
    0x2DC0, 0x2021, 0x1F00, 0x030C, 0x1B18, 0x001E, 0x11E0, 0x240C};

template <typename Kind>
std::unique_ptr<CSegmentGlyph> MakeGlyph(std::uint16_t mask) {
    auto glyph = std::make_unique<Kind>();
    glyph->Build(mask);
    return glyph;
}

}  // namespace

int RoundToDevice(double v) { return static_cast<int>(std::trunc(v + 0.5)); }

CSegmentOutline::CSegmentOutline(QPolygon points) : m_points(std::move(points)) {}

QPolygon CSegmentOutline::DevicePoints(double left, double top, double right, double bottom,
                                       int cellWidth) const {
    const double scaleX = (right - left) / cellWidth;
    const double scaleY = (bottom - top) * kInverseCellHeight;
    QPolygon device(m_points.size());
    for (qsizetype i = 0; i < m_points.size(); ++i) {
        device[i] = QPoint(RoundToDevice(left + m_points[i].x() * scaleX),
                           RoundToDevice(top + m_points[i].y() * scaleY));
    }
    return device;
}

void CSegmentOutline::Draw(QPainter* pDC, double left, double top, double right, double bottom,
                           int cellWidth) const {
    pDC->drawPolygon(DevicePoints(left, top, right, bottom, cellWidth));
}

CSegmentGlyph::CSegmentGlyph() : CSegmentGlyph(CELL_WIDTH, 0) {}

CSegmentGlyph::CSegmentGlyph(int width, int segments) : m_nWidth(width), m_nSegments(segments) {}

CSegmentGlyph::~CSegmentGlyph() = default;

void CSegmentGlyph::Build(std::uint16_t mask) { m_wMask = mask; }

void CSegmentGlyph::BuildOutlines(std::span<const QPolygon> segments, std::uint16_t mask) {
    m_outlines.clear();
    m_outlines.reserve(segments.size());
    for (const QPolygon& segment : segments) {
        m_outlines.emplace_back(segment);
    }
    m_wMask = mask;
}

void CSegmentGlyph::Draw(QPainter* pDC, double left, double top, double right, double bottom,
                         const QPen& offPen, const QPen& onPen, const QBrush& offBrush,
                         const QBrush& onBrush) const {
    for (std::size_t i = 0; i < m_outlines.size(); ++i) {
        const bool lit = (m_wMask & (1u << i)) != 0;
        pDC->setBrush(lit ? onBrush : offBrush);
        pDC->setPen(lit ? onPen : offPen);
        m_outlines[i].Draw(pDC, left, top, right, bottom, m_nWidth);
    }
}

CSevenSegmentGlyph::CSevenSegmentGlyph() : CSegmentGlyph(CELL_WIDTH, 7) {}

void CSevenSegmentGlyph::Build(std::uint16_t mask) { BuildOutlines(SevenSegmentOutlines(), mask); }

CFourteenSegmentGlyph::CFourteenSegmentGlyph() : CSegmentGlyph(CELL_WIDTH, 14) {}

void CFourteenSegmentGlyph::Build(std::uint16_t mask) {
    BuildOutlines(FourteenSegmentOutlines(), mask);
}

CDotGlyph::CDotGlyph() : CSegmentGlyph(DOT_CELL_WIDTH, 3) {}

void CDotGlyph::Build(std::uint16_t mask) { BuildOutlines(DotOutlines(), mask); }

std::unique_ptr<CSegmentGlyph> CreateGlyph(char ch) {
    if (ch >= '0' && ch <= '9') {
        return MakeGlyph<CSevenSegmentGlyph>(kDigitMasks[ch - '0']);
    }
    if (ch >= 'A' && ch <= 'Z') {
        return MakeGlyph<CFourteenSegmentGlyph>(kLetterMasks[ch - 'A']);
    }
    switch (ch) {
        case ' ':
            return MakeGlyph<CSevenSegmentGlyph>(0x00);
        case '-':
            return MakeGlyph<CSevenSegmentGlyph>(0x08);
        case '*':
            return MakeGlyph<CFourteenSegmentGlyph>(0x00FF);
        case '+':
            return MakeGlyph<CFourteenSegmentGlyph>(0x00E1);
        case '.':
            return MakeGlyph<CDotGlyph>(0x04);
        case ':':
            return MakeGlyph<CDotGlyph>(0x03);
        default:
            return nullptr;
    }
}

}  // namespace controls
