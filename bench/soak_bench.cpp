// A soak of the whole program: the main window (offscreen) polling the
// simulated fixture for a stretch of simulated time while every fault the
// fixture knows comes at a steady rate, the port vanishes and is chosen
// again, channels are switched from the menu and arrow keys come in bursts.
// Reports polls, failures, faults by kind, hangs (a poll that took longer
// than the timing rules allow), wrong values accepted (a reading the fixture
// never sent), resident memory and CPU. Exits 1 on a hang or a wrong value.
//
//   soak_bench [simulated minutes] [time scale]     (default 30 minutes, 1)
#include <unistd.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "app/main_dlg.h"
#include "app/resource.h"
#include "bench/cpu_time.h"
#include "engine/operation_mode.h"
#include "hart/transaction.h"
#include "platform/clock.h"
#include "serial/port_factory.h"
#include "serial/serial_link.h"
#include "sim/demo_line.h"
#include "sim/simulated_fixture.h"

namespace {

using sim::Fault;

constexpr Fault kFaults[] = {Fault::kNoReply,    Fault::kLateReply, Fault::kBadChecksum,
                             Fault::kNoise,      Fault::kCommError, Fault::kRejectedCode,
                             Fault::kCarrierHeld};
constexpr const char* kFaultNames[] = {"no reply",   "late reply",    "bad checksum", "noise",
                                       "comm error", "rejected code", "carrier held"};
constexpr double kFaultRate = 0.02;  // of the replies, each fault

// The longest a transaction may take by the timing rules: three attempts
// of the longest quiet wait (a carrier that never drops), a long frame
// held, the first-character wait, the settle and the reply wait, for the
// identification and for the command, and the 3 s of line signalling. A
// gap between two polls may hold one other operation too.
constexpr uint32_t kAttemptMs = serial::kMaxQuietWaitMs + 260 + serial::kFirstCharWaitMs +
                                hart::kReplySettleMs + hart::kReplyWaitMs;
constexpr uint32_t kTransactionMs = 2 * hart::kAttempts * kAttemptMs + 3000;
constexpr uint32_t kHangMs = 2 * kTransactionMs + 1000;

long ResidentKb() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The loop current of a command 2 reply as heard on the wire, if it is one.
bool LoopCurrentOf(const std::vector<uint8_t>& b, float& ma) {
    size_t i = 0, preambles = 0;
    for (; i < b.size(); ++i) {
        if (b[i] == 0xFF) {
            ++preambles;
        } else if (preambles >= 2 && (b[i] == 0x86 || b[i] == 0x06)) {
            break;
        } else {
            preambles = 0;
        }
    }
    const size_t command = i + ((i < b.size() && b[i] == 0x86) ? 6 : 2);
    if (command + 7 >= b.size() || b[command] != 2) return false;
    const size_t data = command + 4;  // count, two status bytes
    uint32_t u = 0;
    for (size_t k = 0; k < 4; ++k) u = (u << 8) | b[data + k];
    std::memcpy(&ma, &u, 4);
    return true;
}

// The window with the operator's part played: boxes answered at once.
class SoakWindow : public app::CMainDlg {
public:
    using CMainDlg::CMainDlg;

    void SetCurrentText(const std::string& text) override {
        {
            std::lock_guard lock(m_mutex);
            m_shown.push_back({platform::Tick(), text});
        }
        CMainDlg::SetCurrentText(text);
    }
    int MessageBox(const std::string&, const std::string&, engine::BoxIcon,
                   engine::BoxButtons buttons) override {
        ++m_boxes;
        return buttons == engine::BoxButtons::kYesNo ? engine::IDNO : engine::IDOK;
    }

    struct Shown {
        uint32_t tick;
        std::string text;
    };
    std::vector<Shown> TakeShown() {
        std::lock_guard lock(m_mutex);
        std::vector<Shown> out;
        out.swap(m_shown);
        return out;
    }
    int Boxes() const { return m_boxes.load(); }

private:
    std::mutex m_mutex;
    std::vector<Shown> m_shown;
    std::atomic<int> m_boxes{0};
};

}  // namespace

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 30.0;
    const double scale = argc > 2 ? std::max(1.0, std::atof(argv[2])) : 1.0;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int qargc = 1;
    QApplication application(qargc, argv);
    platform::SetTimeScale(scale);

    sim::SimulatedFixture fixture(sim::DemoFixtureConfig());
    sim::DemoProcess process(fixture);
    uint32_t seed = 7;
    for (Fault f : kFaults) fixture.SetFaultRate(f, kFaultRate, seed++);
    serial::SetPortFactory(serial::SinglePortFactory(1, [&] { return fixture.CreatePort(); }));

    SoakWindow window(nullptr, true);
    window.OnInitDialog();
    window.show();

    const long rss0 = ResidentKb();
    const double cpu0 = CpuSeconds();
    const uint32_t t0 = platform::Tick();
    const uint32_t length = static_cast<uint32_t>(minutes * 60000.0);

    std::mt19937 rng(2026);
    std::set<std::string> sent;  // every loop current the fixture put on the wire
    std::vector<SoakWindow::Shown> shown;
    std::vector<std::pair<uint32_t, uint32_t>> portDown;  // ticks: vanished, chosen again
    uint32_t nextSwitch = t0 + 20000, nextKeys = t0 + 30000, nextVanish = t0 + 300000;
    uint32_t restoreAt = 0;
    int switches = 0, keyBursts = 0, vanishes = 0;
    long rssWarm = 0;  // after the first tenth: start-up allocations done

    auto drainLine = [&] {
        for (const auto& e : fixture.LineLog()) {
            float ma;
            if (e.kind == sim::LineEvent::kReply && LoopCurrentOf(e.bytes, ma))
                sent.insert(engine::FormatLoopCurrent(ma));
        }
        fixture.ClearLineLog();
        auto more = window.TakeShown();
        shown.insert(shown.end(), more.begin(), more.end());
    };
    auto due = [](uint32_t now, uint32_t at) { return at != 0 && int32_t(now - at) >= 0; };

    QTimer pace;
    QObject::connect(&pace, &QTimer::timeout, [&] {
        const uint32_t now = platform::Tick();
        drainLine();
        // The port-lost box: the operator reads it and closes it.
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) box->close();
        if (due(now, nextSwitch)) {
            window.Worker().SelectChannel(static_cast<int>(rng() % 33));
            ++switches;
            nextSwitch = now + 15000 + rng() % 10000;
        }
        if (due(now, nextKeys)) {
            const int n = 1 + static_cast<int>(rng() % 4);
            for (int i = 0; i < n; ++i) {
                const int key = rng() % 2 ? Qt::Key_Up : Qt::Key_Down;
                QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
                QApplication::sendEvent(&window, &release);
            }
            ++keyBursts;
            nextKeys = now + 25000 + rng() % 10000;
        }
        if (due(now, nextVanish)) {
            fixture.VanishPorts();
            ++vanishes;
            portDown.push_back({now, 0});
            restoreAt = now + 10000;
            nextVanish = now + 300000;
        }
        if (due(now, restoreAt)) {
            fixture.RestorePorts();
            window.SelectPort(app::ID_PORT_FIRST + 1);
            portDown.back().second = platform::Tick();
            restoreAt = 0;
        }
        if (rssWarm == 0 && due(now, t0 + length / 10)) rssWarm = ResidentKb();
        if (due(now, t0 + length)) QApplication::quit();
    });
    pace.start(static_cast<int>(std::max(5.0, 1000.0 / scale)));
    QApplication::exec();

    window.close();
    QApplication::processEvents();
    const double cpu = CpuSeconds() - cpu0;
    const double wall = (platform::Tick() - t0) / 1000.0 / scale;
    drainLine();
    const long rss1 = ResidentKb();

    // Polls, failures, gaps and values.
    long polls = 0, failed = 0, wrong = 0, hangs = 0;
    uint32_t longest = 0;
    for (size_t i = 0; i < shown.size(); ++i) {
        ++polls;
        if (shown[i].text == " 0.000") {
            ++failed;
        } else if (!sent.count(shown[i].text)) {
            ++wrong;
            std::printf("wrong value accepted: '%s'\n", shown[i].text.c_str());
        }
        if (i == 0) continue;
        const uint32_t a = shown[i - 1].tick, b = shown[i].tick;
        bool portWasDown = false;
        for (const auto& [down, up] : portDown)
            if (int32_t(b - down) >= 0 && (up == 0 || int32_t(up - a) >= 0)) portWasDown = true;
        if (portWasDown) continue;
        longest = std::max(longest, b - a);
        if (b - a > kHangMs) ++hangs;
    }
    const auto counts = fixture.FaultCounts();

    std::printf("simulated %.1f min at time scale %.0f (%.1f s real)\n", minutes, scale, wall);
    std::printf("polls: %ld shown, %ld failed (\" 0.000\"), %d boxes answered\n", polls, failed,
                window.Boxes());
    std::printf("faults given to replies:");
    for (size_t f = 0; f < std::size(kFaults); ++f)
        std::printf(" %s %llu%s", kFaultNames[f],
                    static_cast<unsigned long long>(counts[static_cast<size_t>(kFaults[f])]),
                    f + 1 < std::size(kFaults) ? "," : "\n");
    std::printf("operator: %d channel switches, %d arrow-key bursts, %d port losses chosen again\n",
                switches, keyBursts, vanishes);
    std::printf("longest gap between polls (port losses aside): %u ms, hang limit %u ms\n", longest,
                kHangMs);
    std::printf("hangs: %ld, wrong values accepted: %ld\n", hangs, wrong);
    std::printf("resident memory: %ld kB at start, %ld kB after a tenth, %ld kB at end\n", rss0,
                rssWarm, rss1);
    std::printf("CPU: %.2f s in %.1f s real = %.2f%% of one core\n", cpu, wall, 100.0 * cpu / wall);
    serial::SetPortFactory({});
    return hangs == 0 && wrong == 0 && polls > 0 ? 0 : 1;
}
