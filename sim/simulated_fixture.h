// The simulated test fixture and the transmitters on its channels, seen from
// the slave side of the wire. It stands in for the hardware in tests, in the
// benchmark and in the demo mode. Written with its own frame parser so that a
// fault in the master's codec is caught, not mirrored.
//
// Thread-safe: the master's threads use the ports while a test inspects the
// state or injects faults.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "serial/com_port.h"

namespace sim {

struct TransmitterConfig {
    int channel = 0;  // channel index 0..31 (CH1 is 0)
    uint8_t manufacturerId = 0x26;
    uint8_t deviceType = 0x05;
    std::array<uint8_t, 3> deviceId{0x00, 0x00, 0x01};
    float initialCurrentMa = 4.0f;  // loop current while not fixed by command 40
    uint8_t universalRevision = 5;  // 6 and later answer command 20
    // A fixed current comes out as gain * ma + offset.
    float gain = 1.0f;
    float offsetMa = 0.0f;
    // The output moves to a new fixed current (and back to its own) along a
    // straight line over this time; 0 jumps.
    uint32_t settleMs = 0;
    // False: a current source without HART, whose loop answers nothing.
    bool answersHart = true;
    // Not 0: every command 40 is refused with this response code.
    uint8_t fixedCurrentRefusal = 0;
    // Command 13 (upper-case packed ASCII, up to 8 and 16 characters; the
    // date day, month, year - 1900) and command 20 (up to 32 bytes).
    std::string tag = "PT-101";
    std::string descriptor = "PRESSURE";
    std::array<uint8_t, 3> date{11, 12, 126};
    std::string longTag = "PRESSURE TRANSMITTER 101";
};

struct FixtureConfig {
    uint8_t manufacturerId = 0x3E;  // low six bits are the address byte
    uint8_t deviceType = 0xB6;
    uint32_t deviceNumber = 1;  // 24-bit device id reported by command 0
    uint8_t deviceStatus = 0;   // field device status (second status byte) of its replies
    int activeChannel = -1;     // -1 none, 0..31
    // True: the converter starts calibrated (its own error taken out by a
    // table), as a fixture that has been through the calibration wizard.
    bool calibrated = false;
    std::vector<TransmitterConfig> transmitters;
    uint32_t turnaroundMs = 20;  // slave turn-around before each reply
    int replyPreambles = 5;
    bool echo = false;              // master's bytes come back as they are sent
    uint8_t rejectedCode = 64;      // response code of Fault::kRejectedCode
    uint32_t lateReplyMs = 600;     // Fault::kLateReply: frame end to first reply byte
    uint32_t carrierHoldMs = 1000;  // Fault::kCarrierHeld: carrier on after the reply
};

// What the wire saw, in clock ticks (platform::Tick()).
struct LineEvent {
    enum Kind { kDtr, kRts, kMasterFrame, kReply };
    Kind kind;
    uint32_t tick;               // line change time; for frames the first byte's start
    uint32_t endTick;            // frames: end of the last byte's stop bit
    bool level;                  // kDtr / kRts
    bool dtr;                    // frames: DTR while the frame was on the wire
    bool rtsThroughout;          // master frames: RTS high from first to last byte
    std::vector<uint8_t> bytes;  // frames: every byte as sent, preambles too
    bool collided = false;       // master frames: a slave talked over it, nobody heard it
};

enum class Fault {
    kNoReply,       // the addressed device stays silent
    kLateReply,     // reply starts after the master's 380 ms first-character wait
    kBadChecksum,   // reply with a wrong check byte
    kNoise,         // garbage bytes before the reply's preambles
    kCommError,     // first status byte with bit 7 set (0x88: longitudinal parity error)
    kRejectedCode,  // FixtureConfig::rejectedCode, 64 (command not implemented) by default
    kCarrierHeld,   // carrier detect stays on for a while after the reply
    kEmptyReply,    // the status bytes alone (byte count 2), whatever the command
    // The current a reply to command 2 or 33 carries (slot 0 for 33) is
    // replaced. Only such replies draw these faults: an injected one waits
    // for the next of them.
    kNotANumber,  // NaN, HART's "not available"
    kInfinity,    // +infinity
    kHugeValue,   // 1e30 mA
};

enum class Target { kFixture, kTransmitter, kAny };

class SimulatedFixture {
public:
    explicit SimulatedFixture(FixtureConfig config = {});
    ~SimulatedFixture();
    SimulatedFixture(const SimulatedFixture&) = delete;
    SimulatedFixture& operator=(const SimulatedFixture&) = delete;

    // A new port end wired to this fixture. Open() accepts any device name;
    // while one port is open a second Open() fails, as an exclusive device.
    std::unique_ptr<serial::ComPort> CreatePort();

    // Fault injection: the next `count` replies of `target` get the fault.
    void InjectFault(Fault fault, int count = 1, Target target = Target::kAny);
    // Or by rate: each reply gets the fault with probability `rate` (seeded).
    void SetFaultRate(Fault fault, double rate, uint32_t seed = 1);
    void ClearFaults();
    // Every open port of this fixture fails from now on (unplugged adapter),
    // and opening a port fails until RestorePorts().
    void VanishPorts();
    // The adapter is plugged in again: new Open() calls succeed. Ports that
    // vanished stay dead; close them and open again.
    void RestorePorts();

    // Fixture state.
    int ActiveChannel() const;  // -1 none
    uint32_t DeviceNumber() const;
    float TransmitterCurrent(int channel) const;  // what the loop carries, 0 without one
    // The transmitter's own current while it is not fixed by command 40 (the
    // process moving); no effect on a channel without a transmitter.
    void SetTransmitterCurrent(int channel, float ma);
    // In time order. Line events are changes of level only (a call that
    // leaves a line as it was is not seen on the wire). A reply is logged as
    // soon as its device has heard the frame, before its bytes are out. The
    // newest 20000 events are kept.
    std::vector<LineEvent> LineLog() const;
    void ClearLineLog();
    // How many replies each fault was given to, indexed by Fault, since the
    // fixture was made.
    std::vector<uint64_t> FaultCounts() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
