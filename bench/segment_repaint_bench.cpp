// Repaint time of the main window's loop-current readout: six glyphs
// (" 0.000" style), 327 x 120 pixels, blue on grey, on Qt's offscreen
// platform. One repaint is a whole paint event: the off-screen picture, the
// 42 segments and the copy to the widget's backing store.
#include <benchmark/benchmark.h>

#include <QApplication>

#include "controls/segment_display.h"

namespace {

void ShowCurrentReadout(controls::CSegmentDisplay& display) {
    display.SetBackgroundColor(0xC0C0C0);
    display.SetSegmentColors(0xC0C0C0, 0xFF0000);
    display.SetText(" 4.000");
    display.resize(327, 120);
    display.show();
    QCoreApplication::processEvents();
}

// The same text on every paint (the glyphs are kept).
void BM_RepaintSameText(benchmark::State& state) {
    controls::CSegmentDisplay display;
    ShowCurrentReadout(display);
    for (auto _ : state) {
        display.repaint();
    }
}
BENCHMARK(BM_RepaintSameText);

// A new reading before every paint, as while polling: the glyphs are
// rebuilt too.
void BM_RepaintNewReading(benchmark::State& state) {
    controls::CSegmentDisplay display;
    ShowCurrentReadout(display);
    bool flip = false;
    for (auto _ : state) {
        display.SetText(flip ? " 4.000" : "12.500");
        flip = !flip;
        display.repaint();
    }
}
BENCHMARK(BM_RepaintNewReading);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
