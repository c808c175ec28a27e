#include "app/tools/page_flow.h"

#include <QFont>
#include <QFontMetrics>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QRect>
#include <QTextLayout>
#include <QTextOption>
#include <algorithm>

namespace app {

int PageFlow::Add(Block block) {
    m_blocks.push_back(std::move(block));
    return static_cast<int>(m_blocks.size()) - 1;
}

void PageFlow::AddSpace(int height) {
    Block space;
    space.height = height;
    m_blocks.push_back(std::move(space));
}

std::vector<PageFlow::Page> PageFlow::Paginate(int pageHeight) const {
    std::vector<Page> pages(1);
    int y = 0;
    const auto newPage = [&] {
        pages.emplace_back();
        y = 0;
    };
    const int count = static_cast<int>(m_blocks.size());
    for (int i = 0; i < count; ++i) {
        const Block& b = m_blocks[i];
        if (!b.paint) {
            // Space only moves what follows down: space that fills the
            // page sends the next block to the top of a new one, and space
            // at the end adds no page.
            y = std::min(y + b.height, pageHeight);
            continue;
        }
        if (b.atFoot) {
            if (y + b.height > pageHeight) newPage();
            pages.back().push_back({i, std::max(pageHeight - b.height, 0)});
            y = pageHeight;
            continue;
        }
        // This block and those it is kept with go on one page, if one can
        // hold them.
        int together = b.height;
        for (int j = i; j + 1 < count && m_blocks[j].keepWithNext; ++j)
            together += m_blocks[j + 1].height;
        if (y > 0 && y + together > pageHeight) newPage();
        if (y == 0 && pages.size() > 1 && b.repeat >= 0 && b.repeat < count && b.repeat != i) {
            pages.back().push_back({b.repeat, 0});
            y = m_blocks[b.repeat].height;
        }
        pages.back().push_back({i, y});
        y += b.height;
    }
    return pages;
}

void PageFlow::Paint(QPainter& p, QPagedPaintDevice& device, const std::vector<Page>& pages,
                     int width,
                     const std::function<void(QPainter&, int page, int pages)>& decorate) const {
    const int count = static_cast<int>(pages.size());
    for (int n = 0; n < count; ++n) {
        if (n > 0) device.newPage();
        for (const Placed& placed : pages[n]) {
            const Block& b = m_blocks[placed.block];
            p.save();
            b.paint(p, QRect(0, placed.top, width, b.height));
            p.restore();
        }
        if (decorate) {
            p.save();
            decorate(p, n + 1, count);
            p.restore();
        }
    }
}

std::vector<QString> WrapText(const QString& text, const QFont& font, const QPaintDevice* device,
                              int width) {
    QString flat = text;
    flat.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(flat, font, device);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    std::vector<QString> lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(std::max(width, 1));
        QString part = flat.mid(line.textStart(), line.textLength());
        while (!part.isEmpty() && (part.back().isSpace() || part.back() == QChar::LineSeparator))
            part.chop(1);
        lines.push_back(part);
    }
    layout.endLayout();
    if (lines.empty()) lines.emplace_back();
    return lines;
}

int AddText(PageFlow& flow, const QString& text, const QFont& font, const QPaintDevice* device,
            int left, int width, int align, int minHeight) {
    const std::vector<QString> lines = WrapText(text, font, device, width);
    const int lineHeight = QFontMetrics(font, device).lineSpacing();
    const int count = static_cast<int>(lines.size());
    const int first = flow.Count();
    const int extra = std::max(minHeight - lineHeight * count, 0);
    for (int i = 0; i < count; ++i) {
        PageFlow::Block block;
        block.height = lineHeight + (i == count - 1 ? extra : 0);
        block.paint = [line = lines[i], font, left, width, align, lineHeight](QPainter& p,
                                                                              const QRect& r) {
            p.setFont(font);
            // The line fits by its layout; a rounding of a glyph's advance
            // must not cut its last character.
            p.drawText(QRect(r.left() + left, r.top(), width, lineHeight),
                       align | Qt::AlignTop | Qt::TextDontClip, line);
        };
        flow.Add(std::move(block));
    }
    return first;
}

}  // namespace app
