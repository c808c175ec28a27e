#include "hart/reply_lengths.h"

namespace hart {
namespace {

struct Entry {
    uint8_t command;
    ReplyLength length;
};

constexpr int kData = kStatusByteCount;  // data byte k sits at byte count kData + k + 1

// The minimums follow the decoders (hart/decoders.cpp): the last data byte
// any field of the command is read from.
constexpr Entry kTable[] = {
    {0, {kData + 12, kMaxReplyByteCount}},   // identity through the device id
    {1, {kData + 5, kMaxReplyByteCount}},    // units, primary variable
    {2, {kData + 8, kMaxReplyByteCount}},    // loop current, percent of range
    {6, {kData + 1, kMaxReplyByteCount}},    // polling address
    {13, {kData + 21, kMaxReplyByteCount}},  // tag, descriptor, date
    {14, {kData + 16, kMaxReplyByteCount}},  // sensor limits and span
    {15, {kData + 17, kMaxReplyByteCount}},  // output information, damping = channel
    {16, {kData + 3, kMaxReplyByteCount}},   // final assembly number
    {18, {kData + 21, kMaxReplyByteCount}},  // tag, descriptor, date
    {19, {kData + 3, kMaxReplyByteCount}},   // final assembly number
    {20, {kData + 32, kData + 32}},          // long tag, 32 characters
    {33, {kData + 24, kMaxReplyByteCount}},  // the four device variables asked for
    {128, {kData + 22, kMaxReplyByteCount}},
    {202, {kData + 2, kMaxReplyByteCount}},
};

}  // namespace

ReplyLength ReplyLengthOf(uint8_t command) {
    for (const Entry& e : kTable)
        if (e.command == command) return e.length;
    return {kData, kMaxReplyByteCount};
}

}  // namespace hart
