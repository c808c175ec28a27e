// A document laid out before it is painted: blocks of measured height are
// placed on pages first and painted after, so every page knows how many
// pages there are and no block is cut by a page's edge. The certificate is
// made of it; a new part of a document is a few more blocks.
#pragma once

#include <QString>
#include <functional>
#include <vector>

class QFont;
class QPagedPaintDevice;
class QPaintDevice;
class QPainter;
class QRect;

namespace app {

class PageFlow {
public:
    // Paints a block into its rectangle: the page body's width, the
    // block's height.
    using Painter = std::function<void(QPainter&, const QRect&)>;

    struct Block {
        int height = 0;
        Painter paint;  // none: blank space, which a new page does not begin with
        // On the same page as the block after it: a heading, a table's header.
        bool keepWithNext = false;
        // At the foot of its page (signature lines); what follows goes on
        // the next page.
        bool atFoot = false;
        // A block painted again above this one when this one begins a page:
        // a table's header over its rows. -1 for none.
        int repeat = -1;
    };

    // Its index, for `repeat`.
    int Add(Block block);
    void AddSpace(int height);

    struct Placed {
        int block = 0;
        int top = 0;
    };
    using Page = std::vector<Placed>;

    // The blocks placed on pages of `pageHeight`, in order; at least one
    // page. A block taller than a page has a page of its own and is cut
    // there: long texts come as a block a line (AddText).
    std::vector<Page> Paginate(int pageHeight) const;

    // Paints the pages Paginate gave, starting a new page of `device` for
    // each after the first, and then `decorate` on each (page numbers from
    // 1, and their count).
    void Paint(QPainter& p, QPagedPaintDevice& device, const std::vector<Page>& pages, int width,
               const std::function<void(QPainter&, int page, int pages)>& decorate) const;

    Block& At(int index) { return m_blocks.at(static_cast<size_t>(index)); }
    int Count() const { return static_cast<int>(m_blocks.size()); }

private:
    std::vector<Block> m_blocks;
};

// `text` broken into lines no wider than `width` in `font` on `device`: at
// word boundaries, and anywhere in a word (or a run of Chinese) too long for
// a line. Always at least one line.
std::vector<QString> WrapText(const QString& text, const QFont& font, const QPaintDevice* device,
                              int width);

// Adds `text`, wrapped, a block a line, from `left` to `left + width`,
// aligned by `align` (left, centre or right). The lines together are at
// least `minHeight` high. The index of the first line's block.
int AddText(PageFlow& flow, const QString& text, const QFont& font, const QPaintDevice* device,
            int left, int width, int align, int minHeight = 0);

}  // namespace app
