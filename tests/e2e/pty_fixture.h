// The test fixture on a pseudo-terminal: a program under test opens the
// slave side as its serial port (through a ports directory entry COMn or a
// Wine prefix's dosdevices/comn) and talks HART to it as to the real thing.
// Requests are parsed and answered by the simulator's slave-side code
// (sim/slave_frame.h, sim/slave_devices.h), never by the master's codec.
//
// A pseudo-terminal has no baud rate and no modem lines. Bytes arrive at
// once, so the fixture keeps the wire's timing itself: a reply leaves one
// turn-around after the request would have left a 1200 baud line. It cannot
// see DTR, so every request goes to the fixture unless the transmitter hook
// claims it. Linux only; no Qt.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/simulated_fixture.h"
#include "sim/slave_frame.h"

namespace e2e {

// What the fixture does with a request addressed to it.
enum class Behaviour {
    kAnswer,       // the proper reply after the turn-around
    kSilent,       // nothing
    kLate,         // the proper reply, lateMs after the request
    kBadChecksum,  // the reply with a wrong check byte
    kNoise,        // garbage bytes, then the reply
    kTruncated,    // the first half of the reply, then nothing
    kCommError,    // a reply whose first status byte reports a communication error
    kEmpty,        // the status bytes alone, byte count 2
    // The proper reply, its current (command 2, or slot 0 of command 33)
    // replaced; any other command's reply is the proper one.
    kNan,   // NaN
    kInf,   // +infinity
    kHuge,  // 1e30
};

std::string_view BehaviourName(Behaviour behaviour);
std::optional<Behaviour> ParseBehaviour(std::string_view name);
// "answer,3*silent,late": one behaviour per request, in order.
std::optional<std::vector<Behaviour>> ParseScript(std::string_view script);

// Time on the steady clock (CLOCK_MONOTONIC), in milliseconds.
double NowMs();

// One line of the fixture's log.
struct FrameRecord {
    enum Kind { kHeard, kSent };
    Kind kind = kHeard;
    double ms = 0.0;  // heard: first byte read; sent: the write
    // Heard: time since the line was last busy, i.e. since the fixture's last
    // reply ended or the previous request would have left a 1200 baud line,
    // whichever is later; negative for the first request.
    double gapMs = -1.0;
    bool request = false;                      // heard: a well-formed request
    Behaviour behaviour = Behaviour::kAnswer;  // sent: how the fixture answered
    std::vector<uint8_t> bytes;
};

// "<ms> heard gap=<ms> <hex>" or "<ms> sent <behaviour> <hex>", ms counted
// from originMs, one line without the newline.
std::string FormatRecord(const FrameRecord& record, double originMs);

struct PtyFixtureOptions {
    sim::FixtureConfig fixture;
    std::vector<Behaviour> script;  // one per addressed request, then `otherwise`
    Behaviour otherwise = Behaviour::kAnswer;
    uint32_t turnaroundMs = 50;
    uint32_t lateMs = 600;  // after the request, past the master's 380 ms wait
    // Hook for a transmitter on the loop: requests it claims are answered by
    // it, whatever their address (DTR, which routes them on the real
    // fixture, is not there to see).
    std::optional<sim::TransmitterConfig> transmitter;
    std::function<bool(const sim::MasterRequest&)> routeToTransmitter;
    // Called on the fixture's thread for every record, in order.
    std::function<void(const FrameRecord&)> onRecord;
};

class PtyFixture {
public:
    explicit PtyFixture(PtyFixtureOptions options);
    ~PtyFixture();
    PtyFixture(const PtyFixture&) = delete;
    PtyFixture& operator=(const PtyFixture&) = delete;

    // Creates the pseudo-terminal, links linkPath to its slave and starts
    // answering on a thread of its own.
    bool Start(const std::string& linkPath, std::string* error);
    // Stops answering, hangs up and removes the link. Idempotent.
    void Stop();
    // Hangs up: the port vanishes for whoever has it open.
    void Hangup();

    std::string SlavePath() const;
    std::vector<FrameRecord> Records() const;
    void SetScript(std::vector<Behaviour> script, Behaviour otherwise);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace e2e
