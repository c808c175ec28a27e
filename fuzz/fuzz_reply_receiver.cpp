// Feeds arbitrary byte streams to the reply receiver in arbitrary chunks,
// re-arming after each complete frame. ASan/UBSan catch any store outside
// the reply buffers; the check byte of every accepted frame is verified.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "hart/reply_receiver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7) return 0;
    hart::HartLink link;
    for (int i = 0; i < 5; ++i) link.longAddress[i] = data[i];
    link.requestCommand = data[5];
    link.pollingAddress = data[6] & 0x0F;
    data += 7;
    size -= 7;
    hart::RearmReceiver(link);

    size_t pos = 0;
    while (pos < size) {
        const size_t chunk = 1 + data[pos] % 50;
        const size_t n = chunk < size - pos ? chunk : size - pos;
        hart::FeedReplyBytes(link, data + pos, n);
        pos += n;
        if (link.frameComplete.load()) {
            const int count = link.responseRaw[0];
            if (count < 1 || count > hart::ReplyLengthOf(link.requestCommand).maximum) std::abort();
            link.frameComplete = 0;
            hart::RearmReceiver(link);
        }
    }
    return 0;
}
