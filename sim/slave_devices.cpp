#include "sim/slave_devices.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

constexpr uint8_t kUnitMilliamps = 39;
constexpr uint8_t kUnitPercent = 57;
constexpr uint8_t kUnitVolts = 58;
constexpr uint8_t kUnitNone = 251;
constexpr uint8_t kPvFixedStatus = 0x08;  // field device status: output fixed
constexpr int kChannels = 32;
constexpr float kNoChannel = 32.0f;  // damping value that stands for no channel

DeviceReply Code(uint8_t code) { return DeviceReply{code, 0, {}}; }

DeviceReply IdentityReply(uint8_t manufacturerId, uint8_t deviceType,
                          const std::array<uint8_t, 3>& deviceId, uint8_t universalRevision = 5) {
    DeviceReply r;
    r.data = {254,         manufacturerId, deviceType,
              5,  // preambles required
              universalRevision,
              1,  // device revision
              1,  // software revision
              1,  // hardware revision
              0,  // flags
              deviceId[0], deviceId[1],    deviceId[2]};
    return r;
}

float PercentOfRange(float ma) { return (ma - 4.0f) / 16.0f * 100.0f; }

bool LongAddressMatches(const MasterRequest& request, const std::array<uint8_t, 5>& own) {
    if ((request.address[0] & 0x3F) != own[0]) return false;
    return std::equal(own.begin() + 1, own.end(), request.address.begin() + 1);
}

}  // namespace

void ReplaceReportedCurrent(uint8_t command, DeviceReply& reply, float ma) {
    size_t at = 0;
    if (command == 2) {
        at = 0;
    } else if (command == 33) {
        at = 2;  // after slot 0's code and units
    } else {
        return;
    }
    if (reply.data.size() < at + 4) return;
    std::vector<uint8_t> bytes;
    AppendFloat(bytes, ma);
    std::copy(bytes.begin(), bytes.end(), reply.data.begin() + static_cast<std::ptrdiff_t>(at));
}

// --- calibration table ---

bool CalibrationTable::Load(std::vector<CalibrationPoint> points) {
    if (points.size() < 2) return false;
    std::sort(points.begin(), points.end(),
              [](const auto& a, const auto& b) { return a.measured < b.measured; });
    for (size_t i = 0; i < points.size(); ++i) {
        if (!std::isfinite(points[i].measured) || !std::isfinite(points[i].reference)) return false;
        if (i > 0 && (points[i].measured <= points[i - 1].measured ||
                      points[i].reference <= points[i - 1].reference))
            return false;
    }
    points_ = std::move(points);
    return true;
}

float CalibrationTable::Correct(float raw) const {
    if (points_.empty()) return raw;
    // Segment containing raw; the outer segments extend past the ends.
    size_t upper = 1;
    while (upper + 1 < points_.size() && raw > points_[upper].measured) ++upper;
    const auto& a = points_[upper - 1];
    const auto& b = points_[upper];
    const float t = (raw - a.measured) / (b.measured - a.measured);
    return a.reference + t * (b.reference - a.reference);
}

// --- transmitter ---

TransmitterModel::TransmitterModel(const TransmitterConfig& config)
    : config_(config), currentMa_(config.initialCurrentMa) {}

bool TransmitterModel::Addressed(const MasterRequest& request) const {
    if (!config_.answersHart) return false;
    if (!request.longFrame) return request.PollingAddress() == 0;
    const std::array<uint8_t, 5> own{static_cast<uint8_t>(config_.manufacturerId & 0x3F),
                                     config_.deviceType, config_.deviceId[0], config_.deviceId[1],
                                     config_.deviceId[2]};
    return LongAddressMatches(request, own);
}

std::vector<uint8_t> PackAscii(const std::string& text, size_t count) {
    std::vector<uint8_t> out(count, 0);
    const size_t characters = count / 3 * 4;
    for (size_t i = 0; i < characters; ++i) {
        char c = i < text.size() ? text[i] : ' ';
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c < ' ' || c > '_') c = '?';
        const uint32_t v = static_cast<uint32_t>(c) & 0x3F;
        const size_t bit = i * 6;  // from the first byte's top bit
        for (int b = 5; b >= 0; --b) {
            const size_t at = bit + static_cast<size_t>(5 - b);
            if ((v >> b) & 1) out[at / 8] |= static_cast<uint8_t>(0x80 >> (at % 8));
        }
    }
    return out;
}

float TransmitterModel::Target() const {
    return fixed_ ? fixedMa_ * config_.gain + config_.offsetMa : currentMa_;
}

float TransmitterModel::LoopCurrent(double now) const {
    const float target = Target();
    if (!moving_ || config_.settleMs == 0) return target;
    const double t = (now - changedAt_) / static_cast<double>(config_.settleMs);
    if (t >= 1.0) return target;
    if (t <= 0.0) return from_;
    return from_ + static_cast<float>(t) * (target - from_);
}

DeviceReply TransmitterModel::FixCurrent(const std::vector<uint8_t>& data, double now) {
    if (config_.fixedCurrentRefusal != 0) return Code(config_.fixedCurrentRefusal);
    if (data.size() < 4) return Code(response::kTooFewDataBytes);
    const float ma = ReadFloat(data.data());
    if (std::isnan(ma)) return Code(response::kInvalidSelection);
    if (ma > 24.0f) return Code(response::kTooLarge);
    if (ma != 0.0f && ma < 3.5f) return Code(response::kTooSmall);
    const float before = LoopCurrent(now);
    fixed_ = ma != 0.0f;  // 0 leaves fixed-current mode
    if (fixed_) fixedMa_ = ma;
    from_ = before;
    changedAt_ = now;
    moving_ = true;
    DeviceReply r;
    AppendFloat(r.data, ma);
    return r;
}

DeviceReply TransmitterModel::Handle(const MasterRequest& request, double now) {
    DeviceReply r;
    switch (request.command) {
        case 0:
            r = IdentityReply(config_.manufacturerId, config_.deviceType, config_.deviceId,
                              config_.universalRevision);
            break;
        case 13: {
            r.data = PackAscii(config_.tag, 6);
            const auto descriptor = PackAscii(config_.descriptor, 12);
            r.data.insert(r.data.end(), descriptor.begin(), descriptor.end());
            r.data.insert(r.data.end(), config_.date.begin(), config_.date.end());
            break;
        }
        case 20:
            if (config_.universalRevision < 6) return Code(response::kNotImplemented);
            r.data.assign(32, ' ');
            std::copy_n(config_.longTag.begin(), std::min<size_t>(config_.longTag.size(), 32),
                        r.data.begin());
            break;
        case 40:
            r = FixCurrent(request.data, now);
            if (r.code != response::kSuccess) return r;
            break;
        default:
            return Code(response::kNotImplemented);
    }
    if (fixed_) r.status |= kPvFixedStatus;
    return r;
}

// --- fixture ---

FixtureModel::FixtureModel(const FixtureConfig& config)
    : manufacturerId_(config.manufacturerId),
      deviceType_(config.deviceType),
      deviceNumber_(config.deviceNumber & 0xFFFFFF),
      activeChannel_(config.activeChannel >= 0 && config.activeChannel < kChannels
                         ? config.activeChannel
                         : -1),
      deviceStatus_(config.deviceStatus) {
    if (config.calibrated)
        table_.Load({{RawMeasurement(0.0f), 0.0f}, {RawMeasurement(24.0f), 24.0f}});
}

std::array<uint8_t, 5> FixtureModel::LongAddress() const {
    return {static_cast<uint8_t>(manufacturerId_ & 0x3F), deviceType_,
            static_cast<uint8_t>(deviceNumber_ >> 16), static_cast<uint8_t>(deviceNumber_ >> 8),
            static_cast<uint8_t>(deviceNumber_)};
}

bool FixtureModel::Addressed(const MasterRequest& request) const {
    if (!request.longFrame) return request.PollingAddress() == 0;
    return LongAddressMatches(request, LongAddress());
}

DeviceReply FixtureModel::Identity() const {
    const auto a = LongAddress();
    return IdentityReply(manufacturerId_, deviceType_, {a[2], a[3], a[4]});
}

DeviceReply FixtureModel::Handle(const MasterRequest& request, float loopMa) {
    DeviceReply r = Answer(request, loopMa);
    r.status |= deviceStatus_;
    return r;
}

DeviceReply FixtureModel::Answer(const MasterRequest& request, float loopMa) {
    switch (request.command) {
        case 0:
            return Identity();
        case 2: {
            const float ma = Measured(loopMa);
            DeviceReply r;
            AppendFloat(r.data, ma);
            AppendFloat(r.data, PercentOfRange(ma));
            return r;
        }
        case 15: {
            DeviceReply r;
            r.data = {0, 0, kUnitMilliamps};  // alarm high, linear, mA
            AppendFloat(r.data, 20.0f);       // upper range value
            AppendFloat(r.data, 4.0f);        // lower range value
            AppendFloat(r.data, activeChannel_ < 0 ? kNoChannel : float(activeChannel_));
            r.data.push_back(0);  // not write protected
            r.data.push_back(manufacturerId_);
            return r;
        }
        case 33:
            return ReadDeviceVariables(request.data, loopMa);
        case 34:
            return SelectChannel(request.data);
        case 182:
            return WriteDeviceNumber(request.data);
        case 201:
            return CalibrationStep(request.data);
        default:
            return Code(response::kNotImplemented);
    }
}

DeviceReply FixtureModel::ReadDeviceVariables(const std::vector<uint8_t>& codes,
                                              float loopMa) const {
    if (codes.empty()) return Code(response::kTooFewDataBytes);
    DeviceReply r;
    const size_t slots = std::min<size_t>(codes.size(), 4);
    for (size_t s = 0; s < slots; ++s) {
        uint8_t units = 0;
        float value = 0.0f;
        switch (codes[s]) {
            case 0:  // loop current, calibrated
                units = kUnitMilliamps;
                value = Measured(loopMa);
                break;
            case 1:
                units = kUnitPercent;
                value = PercentOfRange(Measured(loopMa));
                break;
            case 2:
                units = kUnitNone;
                value = activeChannel_ < 0 ? kNoChannel : float(activeChannel_);
                break;
            case 3:  // loop supply
                units = kUnitVolts;
                value = 24.0f;
                break;
            case 4:  // the converter's own reading, what calibration points are made of
                units = kUnitMilliamps;
                value = RawMeasurement(loopMa);
                break;
            default:
                return Code(response::kInvalidSelection);
        }
        r.data.push_back(codes[s]);
        r.data.push_back(units);
        AppendFloat(r.data, value);
    }
    return r;
}

DeviceReply FixtureModel::SelectChannel(const std::vector<uint8_t>& data) {
    if (data.size() < 4) return Code(response::kTooFewDataBytes);
    const float v = ReadFloat(data.data());
    if (std::isnan(v)) return Code(response::kInvalidSelection);
    if (v > kNoChannel) return Code(response::kTooLarge);
    if (v < 0.0f) return Code(response::kTooSmall);
    // In range but between two channels: take the nearest and say so.
    const float channel = std::round(v);
    activeChannel_ = channel == kNoChannel ? -1 : static_cast<int>(channel);
    DeviceReply r;
    if (channel != v) r.code = response::kSetToNearest;
    AppendFloat(r.data, channel);
    return r;
}

DeviceReply FixtureModel::WriteDeviceNumber(const std::vector<uint8_t>& data) {
    if (data.size() < 3) return Code(response::kTooFewDataBytes);
    deviceNumber_ = (uint32_t{data[0]} << 16) | (uint32_t{data[1]} << 8) | data[2];
    DeviceReply r;
    r.data.assign(data.begin(), data.begin() + 3);
    return r;
}

// The calibration dialogue: 00-00 opens a session, 02-nn announces nn
// points, 04-i carries point i (each float tagged 0x0C), 00-01 closes the
// list, FA checks the table and FF commits it. A step out of turn is refused
// and changes nothing; the table in use changes only at FF.
DeviceReply FixtureModel::CalibrationStep(const std::vector<uint8_t>& data) {
    constexpr size_t kRequestLength = 20;
    constexpr size_t kMaxPoints = 8;
    constexpr uint8_t kFloatTag = 0x0C;
    if (data.size() < kRequestLength) return Code(response::kTooFewDataBytes);
    if (data[0] != 0x5A || data[1] != 0xA5) return Code(response::kInvalidSelection);

    const uint8_t step = data[2];
    const uint8_t arg = data[3];
    using P = CalibrationPhase;
    if (step == 0x00 && arg == 0x00) {
        phase_ = P::kOpen;
        pending_.clear();
        written_.clear();
    } else if (step == 0x02) {
        if (phase_ != P::kOpen && phase_ != P::kCollecting)
            return Code(response::kAccessRestricted);
        if (arg < 2 || arg > kMaxPoints) return Code(response::kInvalidSelection);
        pending_.assign(arg, CalibrationPoint{});
        written_.assign(arg, false);
        phase_ = P::kCollecting;
    } else if (step == 0x04) {
        if (phase_ != P::kCollecting) return Code(response::kAccessRestricted);
        if (arg >= pending_.size()) return Code(response::kInvalidSelection);
        if (data[5] != kFloatTag || data[10] != kFloatTag) return Code(response::kInvalidSelection);
        const CalibrationPoint p{ReadFloat(&data[6]), ReadFloat(&data[11])};
        if (!std::isfinite(p.measured) || !std::isfinite(p.reference))
            return Code(response::kInvalidSelection);
        pending_[arg] = p;
        written_[arg] = true;
    } else if (step == 0x00 && arg == 0x01) {
        if (phase_ != P::kCollecting) return Code(response::kAccessRestricted);
        if (std::find(written_.begin(), written_.end(), false) != written_.end())
            return Code(response::kAccessRestricted);
        phase_ = P::kCollected;
    } else if (step == 0xFA) {
        if (phase_ != P::kCollected) return Code(response::kAccessRestricted);
        CalibrationTable check;
        if (!check.Load(pending_)) return Code(response::kInvalidSelection);
        phase_ = P::kVerified;
    } else if (step == 0xFF) {
        if (phase_ != P::kVerified) return Code(response::kAccessRestricted);
        table_.Load(pending_);
        phase_ = P::kIdle;
    } else {
        return Code(response::kInvalidSelection);
    }
    DeviceReply r;
    r.data.assign(data.begin(), data.begin() + kRequestLength);
    return r;
}

}  // namespace sim
