// Blocks placed on pages before they are painted: nothing cut by a page's
// edge, what belongs together kept together, the signatures at the foot.
#include "app/tools/page_flow.h"

#include <gtest/gtest.h>

#include <QPainter>
#include <random>

namespace app {
namespace {

PageFlow::Block Line(int height) {
    PageFlow::Block b;
    b.height = height;
    b.paint = [](QPainter&, const QRect&) {};
    return b;
}

// Block indices, page by page.
std::vector<std::vector<int>> Indices(const std::vector<PageFlow::Page>& pages) {
    std::vector<std::vector<int>> out;
    for (const auto& page : pages) {
        out.emplace_back();
        for (const auto& placed : page) out.back().push_back(placed.block);
    }
    return out;
}

TEST(PageFlow, ABlockThatDoesNotFitBeginsTheNextPageWhole) {
    PageFlow flow;
    for (int i = 0; i < 5; ++i) flow.Add(Line(30));
    const auto pages = flow.Paginate(100);
    EXPECT_EQ(Indices(pages), (std::vector<std::vector<int>>{{0, 1, 2}, {3, 4}}));
    EXPECT_EQ(pages[1][0].top, 0);
    EXPECT_EQ(pages[1][1].top, 30);
}

TEST(PageFlow, SpaceBeginsNoPageAndLeavesNoEmptyOne) {
    PageFlow flow;
    flow.Add(Line(60));  // 0
    flow.AddSpace(30);   // 1
    flow.Add(Line(20));  // 2: 90..110 does not fit
    flow.AddSpace(50);   // 3
    flow.Add(Line(20));  // 4: 70..90
    flow.Add(Line(20));  // 5: 90..110 does not fit
    flow.AddSpace(500);  // 6: at the end, more than a page
    const auto pages = flow.Paginate(100);
    EXPECT_EQ(Indices(pages), (std::vector<std::vector<int>>{{0}, {2, 4}, {5}}));
    EXPECT_EQ(pages[1][0].top, 0) << "the space before it stays on page 1";
    EXPECT_EQ(pages[1][1].top, 70);
}

TEST(PageFlow, AHeadingGoesWithWhatFollowsAndATableHeaderComesAgain) {
    PageFlow flow;
    flow.Add(Line(75));  // 0
    PageFlow::Block header = Line(10);
    header.keepWithNext = true;
    const int h = flow.Add(header);  // 1: fits at 75, its first row does not
    for (int i = 0; i < 12; ++i) {   // 2..13
        PageFlow::Block row = Line(20);
        row.repeat = h;
        flow.Add(row);
    }
    const auto pages = flow.Paginate(100);
    // Page 2: the header with the first rows; page 3: the header again
    // above the rows that continue there.
    EXPECT_EQ(Indices(pages), (std::vector<std::vector<int>>{
                                  {0}, {1, 2, 3, 4, 5}, {1, 6, 7, 8, 9}, {1, 10, 11, 12, 13}}));
    EXPECT_EQ(pages[2][1].top, 10);
}

TEST(PageFlow, SignaturesStandAtTheFootOrOnAPageOfTheirOwn) {
    const auto place = [](int before) {
        PageFlow flow;
        flow.Add(Line(before));
        flow.AddSpace(10);
        PageFlow::Block sign = Line(15);
        sign.atFoot = true;
        flow.Add(sign);
        flow.Add(Line(5));  // after the foot: the next page
        return flow.Paginate(100);
    };
    auto pages = place(40);
    ASSERT_EQ(Indices(pages), (std::vector<std::vector<int>>{{0, 2}, {3}}));
    EXPECT_EQ(pages[0][1].top, 85);
    pages = place(80);  // 80 + 10 + 15 > 100
    ASSERT_EQ(Indices(pages), (std::vector<std::vector<int>>{{0}, {2}, {3}}));
    EXPECT_EQ(pages[1][0].top, 85);
}

// Any mix: every block that paints is placed once (a repeated header
// aside), in order, and none runs past its page.
TEST(PageFlow, NothingIsLostReorderedOrCutWhateverTheMix) {
    std::mt19937 random(7);
    for (int run = 0; run < 200; ++run) {
        PageFlow flow;
        int header = -1;
        const int count = 1 + static_cast<int>(random() % 60);
        for (int i = 0; i < count; ++i) {
            const int kind = static_cast<int>(random() % 6);
            if (kind == 0) {
                flow.AddSpace(1 + static_cast<int>(random() % 40));
                continue;
            }
            PageFlow::Block b = Line(1 + static_cast<int>(random() % 45));
            b.keepWithNext = kind == 1;
            b.atFoot = kind == 2 && random() % 4 == 0;
            if (kind == 3) header = flow.Count();
            if (kind == 4) b.repeat = header;
            flow.Add(b);
        }
        const auto pages = flow.Paginate(100);
        int next = 0;
        for (const auto& page : pages) {
            for (const auto& placed : page) {
                const PageFlow::Block& b = flow.At(placed.block);
                EXPECT_GE(placed.top, 0);
                EXPECT_LE(placed.top + b.height, 100) << "run " << run;
                if (placed.block < next) continue;  // a header again
                while (next < placed.block) {
                    EXPECT_FALSE(flow.At(next).paint) << "block " << next << " lost, run " << run;
                    ++next;
                }
                ++next;
            }
        }
        for (; next < count; ++next) EXPECT_FALSE(flow.At(next).paint) << "run " << run;
    }
}

}  // namespace
}  // namespace app
