#include "hart/reply_receiver.h"

#include <algorithm>
#include <cstring>

#include "hart/command_names.h"
#include "hart/frame_codec.h"
#include "platform/clock.h"
#include "platform/trace.h"

namespace hart {
namespace {

// Preambles shown in the RX trace: a long run of 0xFF is noise, not news.
constexpr int kTracePreambles = 20;

void Reset(HartLink& link) {
    link.receiverState = kStatePreamble;
    link.preambleCount = 0;
    link.heardLength = 0;
}

void Heard(HartLink& link, uint8_t byte) {
    if (link.heardLength < static_cast<int>(sizeof(link.heardFrame)))
        link.heardFrame[link.heardLength++] = byte;
}

// One byte; returns true when the frame is complete.
bool Step(HartLink& link, uint8_t byte) {
    for (;;) {
        switch (link.receiverState) {
            case kStatePreamble:
                if (byte == 0xFF) {
                    ++link.preambleCount;
                    return false;
                }
                if (link.preambleCount < 2) return false;  // count kept
                link.receiverState = kStateDelimiter;
                continue;  // the same byte is the delimiter

            case kStateDelimiter:
                if (byte == kDelimiterLongReply || byte == kDelimiterShortReply) {
                    link.heardLength = 0;
                    for (int i = 0; i < link.preambleCount && i < kTracePreambles; ++i)
                        Heard(link, 0xFF);
                    Heard(link, byte);
                    link.longFrame = byte == kDelimiterLongReply ? 1 : 0;
                    link.checksum = byte;
                    link.addressPosition = 0;
                    link.receiverState = kStateAddress;
                } else {
                    Reset(link);  // a master frame (our echo) or a burst
                }
                return false;

            case kStateAddress:
                if (link.longFrame) {
                    const int p = link.addressPosition;
                    const uint8_t got = p == 0 ? (byte & 0x3F) : byte;
                    if (got != link.longAddress[p]) {
                        Reset(link);
                        return false;
                    }
                    Heard(link, byte);
                    link.checksum ^= byte;
                    if (++link.addressPosition == 5) link.receiverState = kStateCommand;
                } else {
                    if (((byte ^ link.pollingAddress) & 0x0F) != 0) {
                        Reset(link);
                        return false;
                    }
                    Heard(link, byte);
                    link.checksum ^= byte;
                    link.receiverState = kStateCommand;
                }
                return false;

            case kStateCommand:
                if (byte != link.requestCommand) {
                    Reset(link);
                    return false;
                }
                Heard(link, byte);
                link.checksum ^= byte;
                link.dataPosition = 0;
                link.receiverState = kStateByteCount;
                return false;

            case kStateByteCount: {
                // A count of 0 cannot hold the status byte and would never
                // leave the data state: refused like a count too large.
                const int most =
                    std::min(ReplyLengthOf(link.requestCommand).maximum, kBufferSize - 1);
                if (byte == 0 || byte > most) {
                    Reset(link);
                    return false;
                }
                // A decoder reads fixed positions: bytes of an earlier, longer
                // reply must not pass for this one's.
                std::memset(link.responseRaw, 0, sizeof(link.responseRaw));
                std::memset(link.responsePayload, 0, sizeof(link.responsePayload));
                Heard(link, byte);
                link.responseRaw[0] = byte;
                link.expectedCount = byte;
                link.checksum ^= byte;
                link.dataPosition = 1;
                link.receiverState = kStateData;
                return false;
            }

            case kStateData: {
                const int p = link.dataPosition;
                link.responseRaw[p] = byte;
                if (p >= 3) link.responsePayload[p] = byte;
                Heard(link, byte);
                link.checksum ^= byte;
                if (++link.dataPosition == link.expectedCount + 1)
                    link.receiverState = kStateChecksum;
                return false;
            }

            case kStateChecksum:
                // A wrong check byte is dropped; a later byte may still match.
                if (byte != link.checksum) {
                    link.checksumMismatch = true;
                    return false;
                }
                Heard(link, byte);
                return true;

            default:
                return false;
        }
    }
}

}  // namespace

void FeedReplyBytes(HartLink& link, const uint8_t* data, size_t length) {
    std::lock_guard lock(link.mutex);
    // Checked under the lock: once a transmission has disabled reception,
    // no frame of before can complete for it.
    if (link.receiveEnabled.load() == 0) return;
    size_t i = 0;
    while (i < length && !Step(link, data[i])) ++i;
    if (i == length) return;
    // Complete: whatever follows in the chunk is dropped.
    link.completeTick = platform::Tick();
    link.frameComplete.store(1);
    link.receiveEnabled.store(0);
    if (platform::TraceEnabled())
        platform::TraceHex("RX", CommandLabel(link.requestCommand), link.heardFrame,
                           static_cast<size_t>(link.heardLength));
    link.receiveEvent.Set();
}

void DisableReceive(HartLink& link) {
    std::lock_guard lock(link.mutex);
    link.receiveEnabled.store(0);
    // A reply that completed after its attempt gave up (a late one) must
    // not pass for the reply to the frame about to go out.
    link.frameComplete.store(0);
    link.receiveEvent.Reset();
}

void RearmReceiver(HartLink& link) {
    {
        std::lock_guard lock(link.mutex);
        Reset(link);
        link.checksumMismatch = false;
        link.rearmTick = platform::Tick();
    }
    link.receiveEnabled.store(1);
}

}  // namespace hart
