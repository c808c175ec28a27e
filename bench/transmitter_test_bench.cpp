// Time and CPU of a transmitter test against the wire-timing model of its
// exchanges and waits, on the simulated fixture at real time: 32 channels,
// transmitters on 8 (half of them with a long tag), default settings.
//
//   transmitter_test_bench
//
// The model is scan_bench's (each request's quiet time and characters, each
// reply's turn-around and characters, at 11 bits a character and 1200 baud,
// the 3 s line signal after the fixture's identification) plus the settle
// waits: the reading after a fixed current waits the settle time, counted
// from the reply, and then its quiet time, counted from the request.

#include <cstdint>
#include <cstdio>
#include <vector>

#include "cpu_time.h"
#include "engine/transmitter_test.h"
#include "hart/transaction.h"
#include "platform/clock.h"
#include "serial/port_factory.h"
#include "serial/serial_link.h"
#include "sim/simulated_fixture.h"

namespace {

constexpr double kCharMs = 11.0 * 1000.0 / 1200.0;
constexpr double kQuietMs = 380.0;
constexpr double kQuietAfterCarrierMs = 310.0;
constexpr double kLineSignalMs = 10 * 300.0;
constexpr uint32_t kTurnaroundMs = 20;

// The command byte of a frame as the line log holds it, -1 when it has none.
int CommandOf(const std::vector<uint8_t>& b) {
    size_t d = 0;
    while (d < b.size() && b[d] == 0xFF) ++d;
    if (d >= b.size()) return -1;
    const size_t at = d + ((b[d] & 0x80) ? 6 : 2);
    return at < b.size() ? b[at] : -1;
}

// A command 40 that fixes a current (not 0.0, which lets it go).
bool Fixes(const std::vector<uint8_t>& b) {
    size_t d = 0;
    while (d < b.size() && b[d] == 0xFF) ++d;
    const size_t data = d + ((d < b.size() && (b[d] & 0x80)) ? 8 : 4);
    if (CommandOf(b) != 40 || data + 4 > b.size()) return false;
    return b[data] != 0 || b[data + 1] != 0 || b[data + 2] != 0 || b[data + 3] != 0;
}

}  // namespace

int main() {
    sim::FixtureConfig config;
    config.activeChannel = 0;
    config.turnaroundMs = kTurnaroundMs;
    config.calibrated = true;
    for (int i = 0; i < 8; ++i) {
        sim::TransmitterConfig t;
        t.channel = 4 * i;
        t.deviceId = {0x00, 0x30, static_cast<uint8_t>(t.channel + 1)};
        t.initialCurrentMa = 12.0f;
        t.universalRevision = i % 2 == 0 ? 7 : 5;
        t.settleMs = 200;
        config.transmitters.push_back(t);
    }
    sim::SimulatedFixture fixture(config);
    serial::SetPortFactory(serial::SinglePortFactory(1, [&] { return fixture.CreatePort(); }));
    if (serial::OpenPort(1) != 1) return 2;

    engine::TestOptions options;  // 1-32, 4, 12 and 20 mA, 1000 ms, 0.1 %
    const double cpu0 = CpuSeconds();
    const uint32_t t0 = platform::Tick();
    const engine::TestRunResult r = engine::RunTransmitterTest(options);
    const double ms = static_cast<double>(platform::Tick() - t0);
    const double cpu = CpuSeconds() - cpu0;
    serial::ClosePort();

    int passed = 0;
    for (const auto& result : r.results) passed += result.verdict == engine::TestVerdict::kPass;

    double model = kLineSignalMs;
    int requests = 0, replies = 0, settles = 0;
    bool carrier = false;  // the last reply was a transmitter's
    bool settle = false;   // the last request fixed a current
    for (const auto& e : fixture.LineLog()) {
        if (e.kind == sim::LineEvent::kMasterFrame) {
            ++requests;
            const double quiet = carrier ? kQuietAfterCarrierMs : kQuietMs;
            model += (settle ? static_cast<double>(options.settings.settleMs) : 0.0) + quiet +
                     static_cast<double>(e.bytes.size()) * kCharMs;
            settle = Fixes(e.bytes);
            settles += settle;
        } else if (e.kind == sim::LineEvent::kReply) {
            ++replies;
            carrier = e.dtr;
            model += static_cast<double>(e.bytes.size()) * kCharMs + kTurnaroundMs;
        }
    }

    const double corePercent = 100.0 * cpu / (ms / 1000.0);
    std::printf(
        "transmitter test, 32 channels, 8 transmitters: %.1f s for %d requests, %d replies and "
        "%d settle waits; %d passed%s\n",
        ms / 1000.0, requests, replies, settles, passed, r.Ok() ? "" : " (FAILED)");
    std::printf("  model %.1f s, ratio %.3f; CPU %.2f s, %.2f %% of a core\n", model / 1000.0,
                ms / model, cpu, corePercent);
    const bool ok = r.Ok() && r.results.size() == 32 && passed == 8 && ms <= 1.1 * model &&
                    corePercent < 1.0;
    return ok ? 0 : 1;
}
