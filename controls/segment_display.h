// The segment readout: a widget that shows a short byte string
// as seven-segment, fourteen-segment and dot cells, scaled uniformly to its
// size and centred, painted flicker-free through the off-screen surface
// (memory_dc.h).
//
// Threads: SetText and GetText may be called from any thread (the workers
// write the readouts); the text is kept under a lock and a change made off
// the GUI thread posts the repaint to it. Everything else, the colour calls
// included, belongs to the GUI thread.
#pragma once

#include <QWidget>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "controls/color_ref.h"
#include "controls/memory_dc.h"
#include "controls/segment_glyph.h"

namespace controls {

// Pen colour of a segment: each channel is trunc(0.25 x background + 0.75 x
// segment), so every segment is edged in a blend with the background.
COLORREF BlendPenColor(COLORREF segment, COLORREF background);

// Where a text of `units` cell units goes in a width x height client: one
// scale for both directions, filling the client in one of them, the block
// centred in both. units must be positive.
struct ReadoutLayout {
    double scale;
    double left;
    double top;
    double bottom;
};
ReadoutLayout LayOutReadout(int width, int height, int units);

class CSegmentDisplay : public QWidget {
public:
    explicit CSegmentDisplay(QWidget* parent = nullptr);
    ~CSegmentDisplay() override;

    // Byte string, zero-terminated (null reads as empty). Equal to the
    // stored text: nothing happens. Otherwise it is stored, the glyphs are
    // rebuilt at the next paint and the widget is repainted.
    void SetText(const char* pszText);
    // The stored text; upper-cased once a paint has rebuilt the glyphs.
    std::string GetText() const;
    // Off colour first, on colour second; repaints unless both are unchanged.
    void SetSegmentColors(COLORREF crOff, COLORREF crOn);
    void SetBackgroundColor(COLORREF crBackground);

    // The glyphs of the last rebuild, left to right (GUI thread; for tests).
    const std::vector<std::unique_ptr<CSegmentGlyph>>& Glyphs() const { return m_glyphs; }

protected:
    // Qt erases nothing first (WA_OpaquePaintEvent): every pixel comes
    // from the off-screen picture, so nothing flickers.
    void paintEvent(QPaintEvent* event) override;

private:
    void RebuildGlyphs();
    void Invalidate();

    mutable std::mutex m_textMutex;  // guards m_strText and m_bRebuild
    std::string m_strText = "EMPTY";
    bool m_bRebuild = true;
    std::vector<std::unique_ptr<CSegmentGlyph>> m_glyphs;
    COLORREF m_crOff = 0x00003400;
    COLORREF m_crOn = 0x0000FF00;
    COLORREF m_crBackground = 0x00000000;
};

}  // namespace controls
