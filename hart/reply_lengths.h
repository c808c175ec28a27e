// How long a reply to each command may be, in byte count terms (the two
// status bytes included): at least what the fields decoded from it need, so
// that no field is read past the reply's end, and at most what the receiver
// takes, so that a frame too long for any reply to the command is dropped.
#pragma once

#include <cstdint>

namespace hart {

struct ReplyLength {
    int minimum;  // a shorter reply is a failed attempt, "incomplete reply"
    int maximum;  // the receiver drops a frame with a larger count
};

inline constexpr int kStatusByteCount = 2;
// Largest byte count a reply may carry, unless the table says otherwise.
inline constexpr int kMaxReplyByteCount = 27;

// Commands missing from the table decode nothing: the status bytes, at most
// kMaxReplyByteCount.
ReplyLength ReplyLengthOf(uint8_t command);

}  // namespace hart
