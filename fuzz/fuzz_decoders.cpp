// Decodes arbitrary reply buffers for every command number.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "hart/decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    hart::HartLink link;
    hart::HartDeviceData d;
    link.responseRaw[0] = data[1];
    const size_t n =
        size - 2 < sizeof(link.responsePayload) ? size - 2 : sizeof(link.responsePayload);
    std::memcpy(link.responsePayload, data + 2, n);
    hart::DecodeResponse(link, d, data[0]);
    return 0;
}
