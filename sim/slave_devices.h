// What the fixture and the transmitters do with a request that reached them.
// No timing and no wire here: the line in simulated_fixture.cpp decides who
// hears a frame and when the answer goes out.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/simulated_fixture.h"
#include "sim/slave_frame.h"

namespace sim {

// HART response codes (first status byte) the simulated devices use.
namespace response {
constexpr uint8_t kSuccess = 0;
constexpr uint8_t kInvalidSelection = 2;
constexpr uint8_t kTooLarge = 3;
constexpr uint8_t kTooSmall = 4;
constexpr uint8_t kTooFewDataBytes = 5;
constexpr uint8_t kSetToNearest = 8;
constexpr uint8_t kLoopCurrentNotActive = 11;  // command 40 in multidrop mode  // a warning: the value was rounded
constexpr uint8_t kAccessRestricted = 16;
constexpr uint8_t kNotImplemented = 64;
}  // namespace response

struct DeviceReply {
    uint8_t code = response::kSuccess;
    uint8_t status = 0;  // second status byte, field device status
    std::vector<uint8_t> data;
};

struct CalibrationPoint {
    float measured = 0.0f;   // what the fixture's converter read
    float reference = 0.0f;  // what really flowed
};

// Piecewise-linear correction through the points, extended beyond the ends
// along the outer segments. Empty: readings pass unchanged.
class CalibrationTable {
public:
    // Takes the points in any order. Refuses (and keeps the old table) unless
    // there are at least two finite points whose measured and reference
    // values both rise strictly: anything else cannot be inverted.
    bool Load(std::vector<CalibrationPoint> points);
    float Correct(float raw) const;
    bool Empty() const { return points_.empty(); }

private:
    std::vector<CalibrationPoint> points_;  // sorted by measured
};

// Replaces the current that a reply to command 2 (loop current) or 33 (slot
// 0) carries with `ma`, as a faulty device would send it. Any other reply,
// or one too short to hold the current, is left as it is.
void ReplaceReportedCurrent(uint8_t command, DeviceReply& reply, float ma);

class TransmitterModel {
public:
    explicit TransmitterModel(const TransmitterConfig& config);

    int Channel() const { return config_.channel; }
    bool Addressed(const MasterRequest& request) const;
    bool AnswersHart() const { return config_.answersHart; }
    // now: the clock time (ms) the request was heard.
    DeviceReply Handle(const MasterRequest& request, double now);
    // The current driven into the loop at `now`: fixed by command 40 (with
    // the transmitter's own output error), or its own; on its way from one
    // to the other for the settle time after a change.
    float LoopCurrent(double now) const;
    void SetCurrent(float ma) { currentMa_ = ma; }

private:
    float Target() const;
    DeviceReply FixCurrent(const std::vector<uint8_t>& data, double now);

    TransmitterConfig config_;
    float currentMa_;
    bool fixed_ = false;
    float fixedMa_ = 0.0f;
    double changedAt_ = 0.0;
    float from_ = 0.0f;
    bool moving_ = false;
};

// Packed ASCII of `text` in `count` bytes: upper-cased, padded with spaces,
// characters outside ' '..'_' sent as '?'.
std::vector<uint8_t> PackAscii(const std::string& text, size_t count);

class FixtureModel {
public:
    explicit FixtureModel(const FixtureConfig& config);

    bool Addressed(const MasterRequest& request) const;
    // loopMa: what the transmitter on the active channel drives (0 for none).
    DeviceReply Handle(const MasterRequest& request, float loopMa);

    int ActiveChannel() const { return activeChannel_; }
    uint32_t DeviceNumber() const { return deviceNumber_; }
    // The converter's reading, with the small gain and offset error that a
    // calibration is there to take out.
    static float RawMeasurement(float trueMa) { return trueMa * 1.002f + 0.013f; }
    float Measured(float trueMa) const { return table_.Correct(RawMeasurement(trueMa)); }

private:
    enum class CalibrationPhase { kIdle, kOpen, kCollecting, kCollected, kVerified };

    DeviceReply Answer(const MasterRequest& request, float loopMa);
    std::array<uint8_t, 5> LongAddress() const;
    DeviceReply Identity() const;
    DeviceReply ReadDeviceVariables(const std::vector<uint8_t>& codes, float loopMa) const;
    DeviceReply SelectChannel(const std::vector<uint8_t>& data);
    DeviceReply WriteDeviceNumber(const std::vector<uint8_t>& data);
    DeviceReply CalibrationStep(const std::vector<uint8_t>& data);

    uint8_t manufacturerId_;
    uint8_t deviceType_;
    uint32_t deviceNumber_;
    int activeChannel_;
    uint8_t deviceStatus_;
    CalibrationTable table_;
    CalibrationPhase phase_ = CalibrationPhase::kIdle;
    std::vector<CalibrationPoint> pending_;
    std::vector<bool> written_;
};

}  // namespace sim
