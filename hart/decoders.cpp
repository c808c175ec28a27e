#include "hart/decoders.h"

#include <bit>
#include <cstring>

namespace hart {

HartDeviceData g_hartData;

float ReadBigEndianFloat(const uint8_t* b) {
    const uint32_t bits =
        (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
    return std::bit_cast<float>(bits);
}

void WriteBigEndianFloat(uint8_t* b, float value) {
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    b[0] = static_cast<uint8_t>(bits >> 24);
    b[1] = static_cast<uint8_t>(bits >> 16);
    b[2] = static_cast<uint8_t>(bits >> 8);
    b[3] = static_cast<uint8_t>(bits);
}

std::string UnpackAscii(const uint8_t* bytes, int count) {
    std::string text;
    for (int i = 0; i + 2 < count; i += 3) {
        const uint32_t bits =
            (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | uint32_t{bytes[i + 2]};
        for (int shift = 18; shift >= 0; shift -= 6) {
            const uint32_t v = (bits >> shift) & 0x3F;
            text.push_back(static_cast<char>(v < 32 ? v + 64 : v));
        }
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

void DecodeResponse(HartLink& link, HartDeviceData& d, uint8_t command) {
    std::lock_guard lock(link.mutex);
    // Data byte k of the reply; positions past this reply's count keep what
    // earlier replies left, and are copied as they are.
    const uint8_t* data = link.responsePayload + 3;
    auto f = [data](int k) { return ReadBigEndianFloat(data + k); };

    switch (command) {
        case 0:
            d.manufacturerId = data[1];
            d.deviceType = data[2];
            d.preamblesRequired = data[3];
            d.universalRevision = data[4];
            d.deviceRevision = data[5];
            d.softwareRevision = data[6];
            d.hardwareRevision = data[7];
            d.deviceFlags = data[8];
            std::memcpy(d.deviceId, data + 9, 3);
            if (link.responseRaw[0] >= 3) {
                link.longAddress[0] = d.manufacturerId & 0x3F;
                link.longAddress[1] = d.deviceType;
                std::memcpy(link.longAddress + 2, d.deviceId, 3);
            }
            break;
        case 1:
            d.pvUnits = data[0];
            d.primaryVariable = f(1);
            break;
        case 2:
            d.loopCurrent = f(0);
            d.percentOfRange = f(4);
            break;
        case 6:
            link.pollingAddress = data[0];
            break;
        case 14:
            std::memcpy(d.sensorSerialNumber, data, 3);
            d.sensorLimitsUnits = data[3];
            d.upperSensorLimit = f(4);
            d.lowerSensorLimit = f(8);
            d.minimumSpan = f(12);
            break;
        case 15:
            d.alarmSelection = data[0];
            d.transferFunction = data[1];
            d.rangeUnits = data[2];
            d.upperRangeValue = f(3);
            d.lowerRangeValue = f(7);
            d.dampingValue = f(11);
            d.writeProtect = data[15];
            d.distributorCode = data[16];
            break;
        case 13:
            std::memcpy(d.packedTag, data, 6);
            std::memcpy(d.packedDescriptor, data + 6, 12);
            std::memcpy(d.date, data + 18, 3);
            break;
        case 16:
        case 19:
            std::memcpy(d.finalAssemblyNumber, data, 3);
            break;
        case 18:
            std::memcpy(d.date, data + 18, 3);
            break;
        case 20:
            std::memcpy(d.longTag, data, 32);
            break;
        case 33:
            for (int s = 0; s < 4; ++s) {
                d.deviceVariables[s].code = data[6 * s];
                d.deviceVariables[s].units = data[6 * s + 1];
                d.deviceVariables[s].value = f(6 * s + 2);
            }
            break;
        case 128:
            std::memcpy(d.specific128Bytes, data, 14);
            d.specific128Value1 = f(14);
            d.specific128Value2 = f(18);
            break;
        case 202:
            d.specific202Status = data[0];
            if (data[0] == 0xFF) d.specific202Value = data[1];
            break;
        default:
            break;
    }
}

}  // namespace hart
