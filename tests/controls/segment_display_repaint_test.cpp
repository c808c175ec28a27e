// When the readout repaints: a changed text or colour repaints
// once, an unchanged one not at all; a worker thread's SetText reaches the
// GUI thread safely.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "controls/segment_display.h"
#include "test_support.h"

namespace controls {
namespace {

using testing::CountingDisplay;
using testing::PumpEvents;

class SegmentDisplayRepaintTest : public ::testing::Test {
protected:
    void SetUp() override {
        display.resize(98, 83);
        display.show();
        PumpEvents();
        display.paints = 0;
    }

    int PaintsAfterPumping() {
        PumpEvents();
        const int count = display.paints;
        display.paints = 0;
        return count;
    }

    CountingDisplay display;
};

TEST_F(SegmentDisplayRepaintTest, ChangedTextRepaintsOnceAndEqualTextNever) {
    display.SetText("07");
    EXPECT_EQ(PaintsAfterPumping(), 1);
    display.SetText("07");
    EXPECT_EQ(PaintsAfterPumping(), 0);
    display.SetText("08");
    display.SetText("09");
    EXPECT_EQ(PaintsAfterPumping(), 1);  // two changes before a paint: one paint
    EXPECT_EQ(display.GetText(), "09");
}

TEST_F(SegmentDisplayRepaintTest, UpperCasedTextMakesTheLowerCaseOneAChange) {
    display.SetText("abc");
    EXPECT_EQ(PaintsAfterPumping(), 1);
    EXPECT_EQ(display.GetText(), "ABC");
    display.SetText("ABC");
    EXPECT_EQ(PaintsAfterPumping(), 0);
    display.SetText("abc");
    EXPECT_EQ(PaintsAfterPumping(), 1);
    EXPECT_EQ(display.GetText(), "ABC");
}

TEST_F(SegmentDisplayRepaintTest, SegmentColoursRepaintWhenEitherChanges) {
    display.SetSegmentColors(0x00003400, 0x0000FF00);  // the defaults
    EXPECT_EQ(PaintsAfterPumping(), 0);
    display.SetSegmentColors(0x00003400, 0x00FF0000);  // on only
    EXPECT_EQ(PaintsAfterPumping(), 1);
    display.SetSegmentColors(0x00C0C0C0, 0x00FF0000);  // off only
    EXPECT_EQ(PaintsAfterPumping(), 1);
    display.SetSegmentColors(0x00C0C0C0, 0x00FF0000);
    EXPECT_EQ(PaintsAfterPumping(), 0);
}

TEST_F(SegmentDisplayRepaintTest, BackgroundColourRepaintsWhenChanged) {
    display.SetBackgroundColor(0x00000000);  // the default
    EXPECT_EQ(PaintsAfterPumping(), 0);
    display.SetBackgroundColor(0x00C0C0C0);
    EXPECT_EQ(PaintsAfterPumping(), 1);
}

TEST_F(SegmentDisplayRepaintTest, ColourChangesKeepTheGlyphs) {
    display.SetText("12");
    PaintsAfterPumping();
    const CSegmentGlyph* first = display.Glyphs().at(0).get();
    display.SetSegmentColors(0x00C0C0C0, 0x00FF0000);
    EXPECT_EQ(PaintsAfterPumping(), 1);
    EXPECT_EQ(display.Glyphs().at(0).get(), first);  // not rebuilt
}

TEST_F(SegmentDisplayRepaintTest, SetTextFromAWorkerRepaintsOnTheGuiThread) {
    std::thread worker([this] { display.SetText("31"); });
    worker.join();
    EXPECT_EQ(display.paints, 0);  // nothing painted on the worker's thread
    EXPECT_EQ(PaintsAfterPumping(), 1);
    EXPECT_EQ(display.GetText(), "31");
    std::thread same([this] { display.SetText("31"); });
    same.join();
    EXPECT_EQ(PaintsAfterPumping(), 0);
}

// Run under ThreadSanitizer: a worker sets and reads the text while the GUI
// thread keeps repainting, rebuilding and upper-casing it in place.
TEST_F(SegmentDisplayRepaintTest, SetTextFromAnotherThreadWhileRepainting) {
    display.resize(327, 120);
    std::atomic<bool> done{false};
    std::thread worker([this, &done] {
        for (int i = 0; i < 1000; ++i) {
            display.SetText(i % 2 == 0 ? "12.500" : "ch 07");
            for (int k = 0; k < 4; ++k) {  // reads while the GUI thread may upper-case
                const std::string text = display.GetText();
                EXPECT_TRUE(text == "12.500" || text == "ch 07" || text == "CH 07") << text;
                std::this_thread::yield();
            }
        }
        done = true;
    });
    int paintsWhileRunning = 0;
    while (!done) {
        display.repaint();
        QCoreApplication::processEvents();
        ++paintsWhileRunning;
    }
    worker.join();
    PumpEvents();
    display.repaint();
    EXPECT_GT(paintsWhileRunning, 0);
    EXPECT_EQ(display.GetText(), "CH 07");
    EXPECT_EQ(display.Glyphs().size(), 5u);
}

}  // namespace
}  // namespace controls
