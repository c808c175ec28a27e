// Builds request frames from arbitrary request fields and checks the
// frame's shape and check byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "hart/frame_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 10) return 0;
    hart::HartLink link;
    link.longFrame = data[0] & 1;
    std::memcpy(link.longAddress, data + 1, 5);
    link.pollingAddress = data[6] & 0x0F;
    link.requestCommand = data[7];
    link.requestDataCount = data[8];
    const size_t capacity = data[9];
    const size_t rest = size - 10 < sizeof(link.requestData) ? size - 10 : sizeof(link.requestData);
    std::memcpy(link.requestData, data + 10, rest);

    uint8_t frame[256];
    std::memset(frame, 0xAA, sizeof(frame));
    const size_t n = hart::BuildRequestFrame(link, frame, capacity);
    const size_t expected = (link.longFrame ? 14u : 10u) + data[8];
    if (n != 0 && n != expected) std::abort();
    const bool fits = expected <= capacity && data[8] <= sizeof(link.requestData);
    if ((n != 0) != fits) std::abort();
    for (size_t i = n; i < sizeof(frame); ++i)
        if (frame[i] != 0xAA) std::abort();  // nothing written past the frame
    if (n != 0) {
        uint8_t check = 0;
        for (size_t i = 5; i + 1 < n; ++i) check ^= frame[i];
        if (check != frame[n - 1]) std::abort();
    }
    return 0;
}
