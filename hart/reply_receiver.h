// The reply-frame receiver: fed by the receive thread chunk by chunk, it
// accepts only an acknowledge frame from the addressed device, answering the
// command sent, with a byte count the buffers hold and a correct check byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hart/hart_link.h"
#include "hart/reply_lengths.h"

namespace hart {

// Receiver states.
enum : int32_t {
    kStateIdle = 0,  // before the first transmission: every byte dropped
    kStatePreamble = 1,
    kStateDelimiter = 2,
    kStateAddress = 4,
    kStateCommand = 8,
    kStateByteCount = 16,
    kStateData = 32,
    kStateChecksum = 64,
};

// Runs the state machine over one chunk; stops at a complete frame and
// drops the rest of the chunk. A frame's byte count may be as large as
// ReplyLengthOf(the command sent).maximum. Once a frame's count is taken,
// the reply buffers hold nothing of an earlier reply: what lies past the
// count reads as zero.
void FeedReplyBytes(HartLink& link, const uint8_t* data, size_t length);

// After a transmission: look for a new frame, then enable reception.
// Before a transmission: nothing heard from now until the re-arm is a
// reply, and no frame completed earlier stands for one.
void DisableReceive(HartLink& link);
void RearmReceiver(HartLink& link);

}  // namespace hart
