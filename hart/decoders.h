// Reply data decoded into plain values. The rest of the program reads these
// fields and never parses reply bytes itself.
#pragma once

#include <cstdint>
#include <string>

#include "hart/hart_link.h"

namespace hart {

struct DeviceVariable {
    uint8_t code = 0;
    uint8_t units = 0;
    float value = 0.0f;
    bool operator==(const DeviceVariable&) const = default;
};

struct HartDeviceData {
    // 0: unique identifier
    uint8_t manufacturerId = 0;
    uint8_t deviceType = 0;
    uint8_t preamblesRequired = 0;
    uint8_t universalRevision = 0;
    uint8_t deviceRevision = 0;
    uint8_t softwareRevision = 0;
    uint8_t hardwareRevision = 0;
    uint8_t deviceFlags = 0;
    uint8_t deviceId[3] = {};
    // 1: primary variable
    uint8_t pvUnits = 0;
    float primaryVariable = 0.0f;
    // 2: loop current and percent of range
    float loopCurrent = 0.0f;
    float percentOfRange = 0.0f;
    // 14: sensor information
    uint8_t sensorSerialNumber[3] = {};
    uint8_t sensorLimitsUnits = 0;
    float upperSensorLimit = 0.0f;
    float lowerSensorLimit = 0.0f;
    float minimumSpan = 0.0f;
    // 15: output information (the fixture's active channel is the damping)
    uint8_t alarmSelection = 0;
    uint8_t transferFunction = 0;
    uint8_t rangeUnits = 0;
    float upperRangeValue = 0.0f;
    float lowerRangeValue = 0.0f;
    float dampingValue = 0.0f;
    uint8_t writeProtect = 0;
    uint8_t distributorCode = 0;
    // 13: tag (8 characters) and descriptor (16), packed ASCII; the date
    // goes to `date` below, as command 18's does
    uint8_t packedTag[6] = {};
    uint8_t packedDescriptor[12] = {};
    // 16, 19: final assembly number
    uint8_t finalAssemblyNumber[3] = {};
    // 13, 18: date (day, month, year - 1900)
    uint8_t date[3] = {};
    // 20: long tag, ISO Latin-1, padded
    uint8_t longTag[32] = {};
    // 33: device variables
    DeviceVariable deviceVariables[4];
    // 128, 202: device-specific
    uint8_t specific128Bytes[14] = {};
    float specific128Value1 = 0.0f;
    float specific128Value2 = 0.0f;
    uint8_t specific202Status = 0;
    uint8_t specific202Value = 0;

    bool operator==(const HartDeviceData&) const = default;
};

// The program's decoded values; written by the transaction thread.
extern HartDeviceData g_hartData;

// bits = b0<<24 | b1<<16 | b2<<8 | b3, as an IEEE-754 single.
float ReadBigEndianFloat(const uint8_t* bytes);
void WriteBigEndianFloat(uint8_t* bytes, float value);

// Packed ASCII: each three bytes hold four 6-bit characters, '@'..'_' as
// 0..31 and ' '..'?' as 32..63. `count` bytes give count * 4 / 3 characters,
// trailing spaces dropped.
std::string UnpackAscii(const uint8_t* bytes, int count);

// Copies the reply's data bytes of `command` into data. Command 0 also sets
// the link's long address, command 6 its polling address.
void DecodeResponse(HartLink& link, HartDeviceData& data, uint8_t command);

}  // namespace hart
