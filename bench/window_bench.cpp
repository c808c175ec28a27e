// The whole program in one process, on Qt's offscreen platform, at real
// time: the main window polling the simulated fixture, then the same
// window with no port at all. Reports
//   - time from the window's construction to the first frame on the wire,
//     beyond the port search's own one-second pause;
//   - last reply byte to the loop-current readout repainted;
//   - CPU of the whole process while polling (simulator included), the same
//     with the overview, the trend (30 minutes) and the link diagnostics
//     open, and while idle with no port.
//
//   window_bench [seconds per phase]     (default 60)

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

#include "app/main_dlg.h"
#include "app/tools/trend_dlg.h"
#include "bench/cpu_time.h"
#include "controls/segment_display.h"
#include "platform/clock.h"
#include "serial/port_factory.h"
#include "sim/demo_line.h"
#include "sim/simulated_fixture.h"

namespace {

// Ticks at which the readout painted.
class PaintLog : public QObject {
public:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) {
            std::lock_guard lock(mutex);
            ticks.push_back(platform::Tick());
        }
        return false;
    }
    std::vector<uint32_t> Ticks() {
        std::lock_guard lock(mutex);
        return ticks;
    }

private:
    std::mutex mutex;
    std::vector<uint32_t> ticks;
};

void RunFor(int seconds) {
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 60;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const auto empty = std::filesystem::temp_directory_path() / "tarvok-bench-no-ports";
    std::filesystem::create_directories(empty);
    ::setenv("TARVOK_PORTS_DIR", empty.c_str(), 1);
    int qargc = 1;
    QApplication application(qargc, argv);

    // Phase 1: polling the demo fixture.
    {
        sim::SimulatedFixture fixture(sim::DemoFixtureConfig());
        sim::DemoProcess process(fixture);
        serial::SetPortFactory(serial::SinglePortFactory(1, [&] { return fixture.CreatePort(); }));
        const uint32_t t0 = platform::Tick();
        app::CMainDlg window(nullptr, true);
        PaintLog paints;
        window.OnInitDialog();
        window.CurrentDisplay()->installEventFilter(&paints);
        window.show();
        RunFor(5);  // identification and line signalling
        const double cpu0 = CpuSeconds();
        const uint32_t w0 = platform::Tick();
        RunFor(seconds);
        const double wall = (platform::Tick() - w0) / 1000.0;
        const double cpu = CpuSeconds() - cpu0;

        uint32_t firstFrame = 0;
        std::vector<uint32_t> replyEnds;
        for (const auto& e : fixture.LineLog()) {
            if (e.kind == sim::LineEvent::kMasterFrame && firstFrame == 0) firstFrame = e.tick;
            if (e.kind == sim::LineEvent::kReply) replyEnds.push_back(e.endTick);
        }
        // Each repaint from the end of the reply it shows (the latest one
        // before it); the currents move, so most polls change the text.
        const auto painted = paints.Ticks();
        std::vector<int32_t> latency;
        for (uint32_t p : painted) {
            int32_t best = -1;
            for (uint32_t end : replyEnds) {
                const int32_t d = static_cast<int32_t>(p - end);
                if (d >= 0 && (best < 0 || d < best)) best = d;
            }
            if (best >= 0 && best < 700) latency.push_back(best);
        }
        std::sort(latency.begin(), latency.end());
        std::printf(
            "first frame on the wire: %u ms after start, %d ms beyond the 1 s search pause\n",
            firstFrame - t0, static_cast<int>(firstFrame - t0) - 1000);
        if (!latency.empty())
            std::printf(
                "last reply byte to readout repainted: median %d ms, max %d ms (%zu repaints)\n",
                latency[latency.size() / 2], latency.back(), latency.size());
        std::printf("CPU while polling: %.3f s in %.1f s = %.3f%% of one core\n", cpu, wall,
                    100.0 * cpu / wall);

        // The same with the 工具 windows open: the overview and the trend
        // over 30 minutes, then the link diagnostics too.
        const auto measure = [&](const char* what) {
            RunFor(2);
            const double c0 = CpuSeconds();
            const uint32_t t0 = platform::Tick();
            RunFor(seconds);
            const double w = (platform::Tick() - t0) / 1000.0;
            const double c = CpuSeconds() - c0;
            std::printf("CPU while polling, %s: %.3f s in %.1f s = %.3f%% of one core\n", what, c,
                        w, 100.0 * c / w);
        };
        window.OpenOverview();
        window.OpenTrend()->SetSpan(2);
        measure("overview and trend open");
        window.OpenLinkDiagnostics();
        measure("overview, trend and link diagnostics open");
        window.close();
        RunFor(1);
        serial::SetPortFactory({});
    }

    // Phase 2: no port at all.
    {
        app::CMainDlg window(nullptr, false);
        window.SetAppDirectory(empty.string() + "/");
        window.OnInitDialog();
        window.show();
        RunFor(2);
        const double cpu0 = CpuSeconds();
        const uint32_t w0 = platform::Tick();
        RunFor(seconds);
        const double wall = (platform::Tick() - w0) / 1000.0;
        const double cpu = CpuSeconds() - cpu0;
        std::printf("CPU with no port open: %.3f s in %.1f s = %.3f%% of one core\n", cpu, wall,
                    100.0 * cpu / wall);
        window.close();
        RunFor(1);
    }
    return 0;
}
