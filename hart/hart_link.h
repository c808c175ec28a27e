// The HART master's shared state: request fields, reply buffers, receiver
// state, line timing and the fixture's identity. One record for the whole
// program (g_hartLink); tests build their own.
//
// Threads: the transaction thread prepares requests and reads replies; the
// receive thread runs the reply receiver. `mutex` guards every field that
// both touch (addressing, reply buffers, receiver state); the flags that hand
// a frame over are atomics; the rest belongs to the transaction thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "hart/failure.h"
#include "platform/auto_reset_event.h"

namespace hart {

inline constexpr int kBufferSize = 128;
inline constexpr uint32_t kDefaultBusQuietTime = 380;

struct HartLink {
    mutable std::mutex mutex;

    // Request, under `mutex` (the receiver matches replies against them).
    int32_t longFrame = 0;
    uint8_t longAddress[5] = {};
    uint8_t pollingAddress = 0;
    uint8_t requestCommand = 0;

    // Request data, transaction thread only. A port opening leaves it alone:
    // a caller between setting it and its transaction keeps what it set.
    std::atomic<int32_t> requestDataCount{0};
    uint8_t requestData[kBufferSize] = {};
    uint8_t savedRequestData[kBufferSize] = {};
    uint8_t savedRequestCount = 0;

    // Reply, under `mutex`: position 0 byte count, 1-2 status, 3.. data.
    uint8_t responseRaw[kBufferSize] = {};
    uint8_t responsePayload[kBufferSize] = {};

    // Receiver, under `mutex`.
    int32_t receiverState = 0;
    int32_t preambleCount = 0;
    int addressPosition = 0;
    int dataPosition = 0;
    int expectedCount = 0;
    uint8_t checksum = 0;
    // The reply frame as heard, preambles (at most kTracePreambles) to check
    // byte, for the RX trace.
    uint8_t heardFrame[64] = {};
    int heardLength = 0;
    // A frame reached its check byte and the byte was wrong (cleared by the
    // re-arm): what tells a corrupted reply from one that stopped short.
    bool checksumMismatch = false;
    // Ticks of the last re-arm (end of the request) and of the last complete
    // reply, for the reply time.
    uint32_t rearmTick = 0;
    uint32_t completeTick = 0;
    // The outcome of the latest transaction, reason kNone when it succeeded.
    Failure lastFailure;

    std::atomic<int32_t> receiveEnabled{0};
    std::atomic<int32_t> frameComplete{0};

    std::atomic<uint32_t> busQuietTime{kDefaultBusQuietTime};
    std::atomic<int32_t> rtsKeying{0};

    // Transaction thread only.
    uint8_t fixtureIdentified = 0;
    // Whom the lines route the next request to: the fixture (DTR low) or
    // the transmitter on its active channel. Written under the link lock,
    // read by the transaction under it as well.
    bool targetIsFixture = true;
    uint8_t fixtureAddress[5] = {};

    // A valid reply frame is complete.
    platform::AutoResetEvent receiveEvent;
};

// The program's link. From start-up on, the serial link's receive thread
// feeds it and its writes re-arm it.
extern HartLink g_hartLink;

// Request data for the next transaction only (every transaction ends with a
// count of 0). Positions beyond the buffer are refused (result 0).
void SetRequestDataCount(int n);
int SetRequestByte(int position, uint8_t value);
int SetRequestFloat(int position, float value);
void SetLongAddress(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4);
void SaveRequestData();
void RestoreRequestData();

// Before a port is opened: polling address 0 and five preambles required.
// Request data a caller has prepared stays.
void ResetLinkState();

}  // namespace hart
