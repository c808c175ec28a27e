#include "hart/frame_codec.h"

namespace hart {

size_t BuildRequestFrame(const HartLink& link, uint8_t* frame, size_t capacity) {
    std::lock_guard lock(link.mutex);
    const size_t n = static_cast<size_t>(link.requestDataCount.load() & 0xFF);
    const bool longForm = link.longFrame != 0;
    const size_t length = (longForm ? 14 : 10) + n;
    if (length > capacity || n > static_cast<size_t>(kBufferSize)) return 0;

    size_t pos = 0;
    for (int i = 0; i < kPreambleLength; ++i) frame[pos++] = 0xFF;
    const size_t first = pos;
    frame[pos++] = longForm ? kDelimiterLongRequest : kDelimiterShortRequest;
    if (longForm) {
        // Bit 6 (burst) stays clear; only the master bit is added.
        frame[pos++] = static_cast<uint8_t>(link.longAddress[0] | kPrimaryMasterBit);
        for (int i = 1; i < 5; ++i) frame[pos++] = link.longAddress[i];
    } else {
        frame[pos++] = static_cast<uint8_t>(kPrimaryMasterBit + link.pollingAddress);
    }
    frame[pos++] = link.requestCommand;
    frame[pos++] = static_cast<uint8_t>(n);
    for (size_t i = 0; i < n; ++i) frame[pos++] = link.requestData[i];
    uint8_t check = 0;
    for (size_t i = first; i < pos; ++i) check ^= frame[i];
    frame[pos++] = check;
    return pos;
}

bool IsCommunicationOk(const HartLink& link) {
    std::lock_guard lock(link.mutex);
    return (link.responseRaw[1] & kCommErrorSummary) == 0;
}

bool IsRejectedResponseCode(uint8_t code) {
    switch (code) {
        case 2:
        case 3:
        case 4:
        case 5:
        case 6:
        case 7:
        case 9:
        case 10:
        case 11:
        case 12:
        case 13:
        case 14:
        case 15:
        case 16:
        case 28:
        case 32:
        case 64:
            return true;
        default:
            return false;
    }
}

bool IsResponseCodeAccepted(const HartLink& link) {
    std::lock_guard lock(link.mutex);
    return !IsRejectedResponseCode(link.responseRaw[1]);
}

}  // namespace hart
