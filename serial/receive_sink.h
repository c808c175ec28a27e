// The link's view of the reply receiver above it. serial/ knows nothing of
// HART: the HART layer implements this over its link record and installs it,
// so the dependency still points from hart/ down to serial/.
#pragma once

#include <cstddef>
#include <cstdint>

namespace serial {

class ReceiveSink {
public:
    virtual ~ReceiveSink() = default;

    // A chunk of received bytes, in arrival order (receive thread).
    virtual void FeedReceived(const uint8_t* data, size_t length) = 0;
    virtual bool IsReceiveEnabled() const = 0;
    virtual bool IsFrameComplete() const = 0;
    // Bytes heard while transmitting are not a reply.
    virtual void DisableReceive() = 0;
    // Start looking for a new reply frame, then enable reception.
    virtual void RearmReceiver() = 0;

    virtual uint32_t BusQuietTime() const = 0;
    virtual void SetBusQuietTime(uint32_t ms) = 0;
    virtual bool IsRtsKeying() const = 0;

    // Called by OpenPort before the device is opened.
    virtual void ResetLinkState() = 0;
    // While on, the transaction's own waits (the reply wait) end at once:
    // the link is being taken away from it.
    virtual void InterruptWaits(bool /*on*/) {}
};

// Installed once by the layer above; the link runs without one (it then
// discards what it receives).
void SetReceiveSink(ReceiveSink* sink);

}  // namespace serial
