#include "hart/hart_link.h"

#include <cstring>

#include "hart/decoders.h"
#include "hart/reply_receiver.h"
#include "serial/receive_sink.h"

namespace hart {

HartLink g_hartLink;

void SetRequestDataCount(int n) { g_hartLink.requestDataCount.store(n & 0xFF); }

int SetRequestByte(int position, uint8_t value) {
    if (position < 0 || position >= kBufferSize) return 0;
    g_hartLink.requestData[position] = value;
    return 1;
}

int SetRequestFloat(int position, float value) {
    if (position < 0 || position > kBufferSize - 4) return 0;
    WriteBigEndianFloat(&g_hartLink.requestData[position], value);
    return 1;
}

void SetLongAddress(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4) {
    std::lock_guard lock(g_hartLink.mutex);
    const uint8_t bytes[5] = {b0, b1, b2, b3, b4};
    std::memcpy(g_hartLink.longAddress, bytes, sizeof(bytes));
}

void SaveRequestData() {
    std::memcpy(g_hartLink.savedRequestData, g_hartLink.requestData, kBufferSize);
    g_hartLink.savedRequestCount = static_cast<uint8_t>(g_hartLink.requestDataCount.load());
}

void RestoreRequestData() {
    std::memcpy(g_hartLink.requestData, g_hartLink.savedRequestData, kBufferSize);
    g_hartLink.requestDataCount.store(g_hartLink.savedRequestCount);
}

void ResetLinkState() {
    {
        std::lock_guard lock(g_hartLink.mutex);
        g_hartLink.pollingAddress = 0;
    }
    g_hartData.preamblesRequired = 5;
}

namespace {

// The program's link as the serial layer sees it.
class LinkSink final : public serial::ReceiveSink {
public:
    void FeedReceived(const uint8_t* data, size_t length) override {
        FeedReplyBytes(g_hartLink, data, length);
    }
    bool IsReceiveEnabled() const override { return g_hartLink.receiveEnabled.load() != 0; }
    bool IsFrameComplete() const override { return g_hartLink.frameComplete.load() != 0; }
    void DisableReceive() override { hart::DisableReceive(g_hartLink); }
    void RearmReceiver() override { hart::RearmReceiver(g_hartLink); }
    uint32_t BusQuietTime() const override { return g_hartLink.busQuietTime.load(); }
    void SetBusQuietTime(uint32_t ms) override { g_hartLink.busQuietTime.store(ms); }
    bool IsRtsKeying() const override { return g_hartLink.rtsKeying.load() != 0; }
    void ResetLinkState() override { hart::ResetLinkState(); }
    void InterruptWaits(bool on) override { g_hartLink.receiveEvent.SetInterrupted(on); }
};

struct SinkRegistration {
    LinkSink sink;
    SinkRegistration() { serial::SetReceiveSink(&sink); }
    ~SinkRegistration() { serial::SetReceiveSink(nullptr); }
};
SinkRegistration g_registration;

}  // namespace

}  // namespace hart
