// The commands the program sends to the fixture and to the transmitter on its
// active channel, typed: the one place where a command's number, its request
// bytes and the reply fields it is read by are spelled. Each call makes its
// exchange (the fixture's first one identifies it and signals on the lines)
// and returns the value, or why it failed.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "hart/failure.h"
#include "hart/transaction.h"

namespace hart {

inline constexpr int kChannelCount = 32;
// SelectChannel's and ReadActiveChannel's "no channel active".
inline constexpr int kNoChannel = 0;
// ReadActiveChannel's value for a reading that names no channel at all.
inline constexpr int kUnknownChannel = -1;

// Who answered a command 0.
struct DeviceIdentity {
    uint8_t manufacturerId = 0;  // as the reply carries it, not masked
    uint8_t deviceType = 0;
    std::array<uint8_t, 3> deviceId{};
    // The HART revision the device speaks (byte 4 of command 0's reply); 6
    // and later know command 20.
    uint8_t universalRevision = 0;

    // The 24-bit device identification number: the fixture's device number.
    uint32_t DeviceNumber() const;
    // "MM-TT-DDDDDD", upper-case hex.
    std::string Tag() const;
};

// A transmitter's command 13, its packed-ASCII texts unpacked.
struct TransmitterTag {
    std::string tag;          // up to 8 characters
    std::string descriptor;   // up to 16
    std::array<uint8_t, 3> date{};  // day, month, year - 1900

    // "2026-12-11"; empty for a date that names no day (all zero, or out of
    // range).
    std::string DateText() const;
};

// From this universal revision on a transmitter has a long tag (command 20).
inline constexpr uint8_t kLongTagRevision = 6;

// One request of the fixture's calibration command (201): 20 data bytes
// beginning 5A A5 and the step byte. Only the bytes a step names are
// written; the rest of the 20 keep what earlier requests left in the request
// area, as the fixture has always been sent them.
class CalibrationStep {
public:
    static CalibrationStep Step0000();  // 5A A5 00 00 00
    static CalibrationStep Step0206();  // 5A A5 02 06
    // 5A A5 04 i 00 0C <measured> 0C <reference>, floats most significant first.
    static CalibrationStep Step04(uint8_t point, float measured, float reference);
    static CalibrationStep Step0001();  // 5A A5 00 01 00
    static CalibrationStep StepFA();    // 5A A5 FA
    static CalibrationStep StepFF();    // 5A A5 FF

    const RequestData& Data() const { return data_; }

private:
    explicit CalibrationStep(RequestData data) : data_(std::move(data)) {}
    RequestData data_;
};

// The fixture (DTR low). A reply too short for what a command reads from it
// is a failed attempt, "incomplete reply" (hart/reply_lengths.h).
// Command 0.
Result<DeviceIdentity> IdentifyFixture();
// Command 2: the loop current of the active channel, mA. A current that is
// no reading (JudgeCurrentReading) fails the exchange with its reason.
Result<float> ReadLoopCurrent();
// Command 15: the active channel, 1-32, kNoChannel for none, kUnknownChannel
// when the fixture reports a value that names none of them.
Result<int> ReadActiveChannel();
// Command 34: channel 1-32 active, or none for kNoChannel. Another value is
// refused (kBadArgument) without an exchange.
Result<void> SelectChannel(int channel);
// Command 182: the 24-bit device number, shown at the next identification.
Result<void> WriteDeviceNumber(uint32_t number);
// Command 33 for the device variables 4, 0, 1, 2: slot 0 is the fixture's
// own current measurement, mA, judged as ReadLoopCurrent's.
Result<float> ReadMeasuredCurrent();
// Command 201.
Result<void> WriteCalibrationStep(const CalibrationStep& step);

// The transmitter on the fixture's active channel (DTR high).
// Command 40: the transmitter drives ma into the loop. The channel is the
// one the window shows (MainWindowServices::GetChannelIndex); its address
// comes from the cache, learned by command 0 when it is not known.
Result<void> FixTransmitterCurrent(float ma);
// Command 0, short form, polling address 0: whatever transmitter is on the
// active channel, which the caller names (1-32) for the address cache.
Result<DeviceIdentity> IdentifyTransmitter(int channel);

// The same exchanges with the transmitter on the channel named (1-32), which
// the caller has made active; the window's channel plays no part. Another
// channel is refused (kNoChannel) without an exchange.
// Command 40.
Result<void> FixTransmitterCurrentOn(int channel, float ma);
// Command 13: tag, descriptor and date.
Result<TransmitterTag> ReadTransmitterTag(int channel);
// Command 20: the long tag, trailing spaces and NULs dropped; bytes that are
// no printable Latin-1 character become '?', the rest UTF-8.
Result<std::string> ReadLongTag(int channel);

// What a current read from the fixture says: kValueNotAvailable for NaN
// (HART's "not available"), kImplausibleValue for an infinity or anything
// outside kLowestPlausibleMa..kHighestPlausibleMa (inclusive), kNone for a
// reading. Above 30 mA or below -1 mA no loop the fixture measures can be.
inline constexpr float kLowestPlausibleMa = -1.0f;
inline constexpr float kHighestPlausibleMa = 30.0f;
Reason JudgeCurrentReading(float ma);

// The fixture's channel in a damping value (commands 15 and 34): channel n
// is n - 1, none 32. A value read back truncates toward zero; one outside
// 0..32, or not a number, is kUnknownChannel.
int ChannelFromDamping(float damping);
float DampingOfChannel(int channel);

}  // namespace hart
