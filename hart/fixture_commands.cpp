#include "hart/fixture_commands.h"

#include <cmath>
#include <cstdio>

namespace hart {
namespace {

constexpr uint8_t kIdentify = 0;
constexpr uint8_t kReadLoopCurrent = 2;
constexpr uint8_t kReadTag = 13;
constexpr uint8_t kReadLongTag = 20;
constexpr uint8_t kReadOutputInformation = 15;
constexpr uint8_t kReadDeviceVariables = 33;
constexpr uint8_t kWriteDamping = 34;
constexpr uint8_t kFixCurrent = 40;
constexpr uint8_t kWriteDeviceNumber = 182;
constexpr uint8_t kCalibrate = 201;

constexpr float kDampingNone = 32.0f;
constexpr int kCalibrationDataCount = 20;
constexpr uint8_t kFloatTag = 0x0C;

DeviceIdentity IdentityOf(const HartDeviceData& d) {
    DeviceIdentity id;
    id.manufacturerId = d.manufacturerId;
    id.deviceType = d.deviceType;
    id.deviceId = {d.deviceId[0], d.deviceId[1], d.deviceId[2]};
    id.universalRevision = d.universalRevision;
    return id;
}

Failure BadArgument(uint8_t command) {
    Failure f;
    f.reason = Reason::kBadArgument;
    f.command = command;
    return f;
}

std::string LatinToUtf8(const uint8_t* bytes, size_t count) {
    while (count > 0 && (bytes[count - 1] == ' ' || bytes[count - 1] == 0)) --count;
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        if (b >= 0x20 && b < 0x7F) {
            text.push_back(static_cast<char>(b));
        } else if (b >= 0xA0) {
            text.push_back(static_cast<char>(0xC0 | (b >> 6)));
            text.push_back(static_cast<char>(0x80 | (b & 0x3F)));
        } else {
            text.push_back('?');  // control characters have no place in a tag
        }
    }
    return text;
}

RequestData CalibrationData(std::initializer_list<uint8_t> head) {
    RequestData data(kCalibrationDataCount);
    data.Byte(0, 0x5A).Byte(1, 0xA5);
    int position = 2;
    for (uint8_t b : head) data.Byte(position++, b);
    return data;
}

}  // namespace

uint32_t DeviceIdentity::DeviceNumber() const {
    return (uint32_t{deviceId[0]} << 16) | (uint32_t{deviceId[1]} << 8) | deviceId[2];
}

std::string DeviceIdentity::Tag() const {
    char text[16];
    std::snprintf(text, sizeof(text), "%02X-%02X-%02X%02X%02X", manufacturerId, deviceType,
                  deviceId[0], deviceId[1], deviceId[2]);
    return text;
}

std::string TransmitterTag::DateText() const {
    const int day = date[0];
    const int month = date[1];
    if (day < 1 || day > 31 || month < 1 || month > 12) return {};
    char text[16];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d", 1900 + date[2], month, day);
    return text;
}

CalibrationStep CalibrationStep::Step0000() { return CalibrationStep(CalibrationData({0, 0, 0})); }
CalibrationStep CalibrationStep::Step0206() { return CalibrationStep(CalibrationData({2, 6})); }
CalibrationStep CalibrationStep::Step0001() { return CalibrationStep(CalibrationData({0, 1, 0})); }
CalibrationStep CalibrationStep::StepFA() { return CalibrationStep(CalibrationData({0xFA})); }
CalibrationStep CalibrationStep::StepFF() { return CalibrationStep(CalibrationData({0xFF})); }

CalibrationStep CalibrationStep::Step04(uint8_t point, float measured, float reference) {
    RequestData data = CalibrationData({4, point, 0, kFloatTag});
    data.Float(6, measured).Byte(10, kFloatTag).Float(11, reference);
    return CalibrationStep(std::move(data));
}

int ChannelFromDamping(float damping) {
    // A conversion of NaN or of a huge value to int is undefined; both name
    // no channel, like any value outside 0..32.
    if (!(damping > -1.0f && damping < 33.0f)) return kUnknownChannel;
    const int d = static_cast<int>(damping);  // toward zero: -0.5 is 0
    if (d < 0 || d > 32) return kUnknownChannel;
    return d == 32 ? kNoChannel : d + 1;
}

Reason JudgeCurrentReading(float ma) {
    if (std::isnan(ma)) return Reason::kValueNotAvailable;
    if (!(ma >= kLowestPlausibleMa && ma <= kHighestPlausibleMa)) return Reason::kImplausibleValue;
    return Reason::kNone;
}

float DampingOfChannel(int channel) {
    return channel >= 1 && channel <= kChannelCount ? static_cast<float>(channel - 1)
                                                    : kDampingNone;
}

Result<DeviceIdentity> IdentifyFixture() {
    const auto r = FixtureExchange(kIdentify);
    if (!r) return r.Error();
    return IdentityOf(r.Value());
}

Result<float> ReadLoopCurrent() {
    const auto r = FixtureExchange(kReadLoopCurrent, nullptr, [](const HartDeviceData& d) {
        return JudgeCurrentReading(d.loopCurrent);
    });
    if (!r) return r.Error();
    return r->loopCurrent;
}

Result<int> ReadActiveChannel() {
    const auto r = FixtureExchange(kReadOutputInformation);
    if (!r) return r.Error();
    return ChannelFromDamping(r->dampingValue);
}

Result<void> SelectChannel(int channel) {
    if (channel != kNoChannel && (channel < 1 || channel > kChannelCount))
        return BadArgument(kWriteDamping);
    RequestData data(4);
    data.Float(0, DampingOfChannel(channel));
    return FixtureExchange(kWriteDamping, &data).Error();
}

Result<void> WriteDeviceNumber(uint32_t number) {
    if (number > 0xFFFFFF) return BadArgument(kWriteDeviceNumber);
    RequestData data(3);
    data.Byte(0, static_cast<uint8_t>(number >> 16))
        .Byte(1, static_cast<uint8_t>(number >> 8))
        .Byte(2, static_cast<uint8_t>(number));
    return FixtureExchange(kWriteDeviceNumber, &data).Error();
}

Result<float> ReadMeasuredCurrent() {
    RequestData data(4);
    data.Byte(0, 4).Byte(1, 0).Byte(2, 1).Byte(3, 2);
    const auto r = FixtureExchange(kReadDeviceVariables, &data, [](const HartDeviceData& d) {
        return JudgeCurrentReading(d.deviceVariables[0].value);
    });
    if (!r) return r.Error();
    return r->deviceVariables[0].value;
}

Result<void> WriteCalibrationStep(const CalibrationStep& step) {
    return FixtureExchange(kCalibrate, &step.Data()).Error();
}

Result<void> FixTransmitterCurrent(float ma) {
    if (!std::isfinite(ma)) return BadArgument(kFixCurrent);
    RequestData data(4);
    data.Float(0, ma);
    return ChannelExchange(kFixCurrent, &data).Error();
}

Result<void> FixTransmitterCurrentOn(int channel, float ma) {
    if (!std::isfinite(ma)) return BadArgument(kFixCurrent);
    RequestData data(4);
    data.Float(0, ma);
    return ChannelExchangeOn(channel - 1, kFixCurrent, &data).Error();
}

Result<TransmitterTag> ReadTransmitterTag(int channel) {
    const auto r = ChannelExchangeOn(channel - 1, kReadTag);
    if (!r) return r.Error();
    TransmitterTag t;
    t.tag = UnpackAscii(r->packedTag, 6);
    t.descriptor = UnpackAscii(r->packedDescriptor, 12);
    t.date = {r->date[0], r->date[1], r->date[2]};
    return t;
}

Result<std::string> ReadLongTag(int channel) {
    const auto r = ChannelExchangeOn(channel - 1, kReadLongTag);
    if (!r) return r.Error();
    return LatinToUtf8(r->longTag, sizeof(r->longTag));
}

Result<DeviceIdentity> IdentifyTransmitter(int channel) {
    const auto r = IdentifyChannelTransmitter(channel - 1);
    if (!r) return r.Error();
    return IdentityOf(r.Value());
}

}  // namespace hart
