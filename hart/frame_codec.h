// Request frames out, reply classification in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hart/hart_link.h"

namespace hart {

inline constexpr int kPreambleLength = 5;
inline constexpr uint8_t kDelimiterShortRequest = 0x02;
inline constexpr uint8_t kDelimiterLongRequest = 0x82;
inline constexpr uint8_t kDelimiterShortReply = 0x06;
inline constexpr uint8_t kDelimiterLongReply = 0x86;
inline constexpr uint8_t kPrimaryMasterBit = 0x80;
// What a transaction's frame buffer holds: 38 data bytes in the long form.
inline constexpr size_t kRequestFrameCapacity = 52;

// Writes the request frame of the link's request fields into frame and
// returns its length: 14 + n bytes long form, 10 + n short. Returns 0 (and
// writes nothing) when the frame would not fit into capacity.
size_t BuildRequestFrame(const HartLink& link, uint8_t* frame, size_t capacity);

// Bit 7 of the first status byte is the communication-error summary.
inline constexpr uint8_t kCommErrorSummary = 0x80;
bool IsCommunicationOk(const HartLink& link);
// False for the response codes that mean the command was not carried out.
bool IsResponseCodeAccepted(const HartLink& link);
bool IsRejectedResponseCode(uint8_t code);

}  // namespace hart
