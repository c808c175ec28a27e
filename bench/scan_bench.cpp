// Time of a channel scan against the wire-timing model of its exchanges, on
// the simulated fixture at real time: 32 channels, transmitters on 2.
//
//   scan_bench
//
// The model is what the line itself needs: for each request the quiet time
// before it (380 ms, 310 ms after a transmitter's reply, whose carrier the
// master sees) and its characters, for each reply the slave's turn-around
// and its characters, at 11 bits a character and 1200 baud; plus the 3 s of
// line signal after the fixture's identification. The scan runs twice: as
// the console tool runs it (the fixture not yet identified) and as a window
// would (identified already).

#include <cstdint>
#include <cstdio>
#include <vector>

#include "engine/channel_scan.h"
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

struct Measured {
    double ms = 0.0;
    double modelMs = 0.0;
    int requests = 0;
    int replies = 0;
    int transmitters = 0;
    bool ok = false;
};

Measured Scan(sim::SimulatedFixture& fixture, bool identified) {
    if (!identified) hart::ForgetFixture();
    fixture.ClearLineLog();
    Measured m;
    const uint32_t t0 = platform::Tick();
    const engine::ScanResult r = engine::RunChannelScan({});
    m.ms = static_cast<double>(platform::Tick() - t0);
    m.ok = r.Ok() && r.rows.size() == 32;
    for (const auto& row : r.rows) m.transmitters += row.transmitter.has_value();

    bool carrier = false;  // the last reply was a transmitter's
    for (const auto& e : fixture.LineLog()) {
        if (e.kind == sim::LineEvent::kMasterFrame) {
            ++m.requests;
            m.modelMs += (carrier ? kQuietAfterCarrierMs : kQuietMs) +
                         static_cast<double>(e.bytes.size()) * kCharMs;
        } else if (e.kind == sim::LineEvent::kReply) {
            ++m.replies;
            carrier = e.dtr;
            m.modelMs += static_cast<double>(e.bytes.size()) * kCharMs;
        }
    }
    // The turn-around of each reply, as the fixture keeps it.
    m.modelMs += m.replies * static_cast<double>(kTurnaroundMs);
    if (!identified) m.modelMs += kLineSignalMs;
    return m;
}

void Print(const char* what, const Measured& m) {
    std::printf("%s: %.1f s for %d requests and %d replies, %d transmitters found%s\n", what,
                m.ms / 1000.0, m.requests, m.replies, m.transmitters, m.ok ? "" : " (FAILED)");
    std::printf("  model %.1f s, ratio %.3f\n", m.modelMs / 1000.0, m.ms / m.modelMs);
}

}  // namespace

int main() {
    sim::FixtureConfig config;
    config.activeChannel = 4;
    config.turnaroundMs = kTurnaroundMs;
    for (int ch : {2, 16}) {
        sim::TransmitterConfig t;
        t.channel = ch;
        t.deviceId = {0x00, 0x20, static_cast<uint8_t>(ch + 1)};
        t.initialCurrentMa = 12.0f;
        config.transmitters.push_back(t);
    }
    sim::SimulatedFixture fixture(config);
    serial::SetPortFactory(serial::SinglePortFactory(1, [&] { return fixture.CreatePort(); }));
    if (serial::OpenPort(1) != 1) return 2;

    const Measured cold = Scan(fixture, false);
    Print("scan, fixture not yet identified (as the console tool)", cold);
    const Measured warm = Scan(fixture, true);
    Print("scan, fixture identified (as a window's worker)", warm);
    serial::ClosePort();
    const bool ok = cold.ok && warm.ok && cold.transmitters == 2 && warm.transmitters == 2 &&
                    cold.ms <= 1.1 * cold.modelMs && warm.ms <= 1.1 * warm.modelMs;
    return ok ? 0 : 1;
}
