#include "hart/hart_link.h"

#include <cstring>

#include "hart/decoders.h"
#include "hart/reply_receiver.h"

namespace hart {

HartLink g_hartLink;

namespace {

// The serial link feeds the program's link from its first open on.
struct SinkRegistration {
    LinkSink sink{g_hartLink};
    SinkRegistration() { serial::SetReceiveSink(&sink); }
    ~SinkRegistration() { serial::SetReceiveSink(nullptr); }
};
SinkRegistration g_registration;

}  // namespace

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
    g_hartLink.requestDataCount.store(0);
    g_hartData.preamblesRequired = 5;
}

void LinkSink::FeedReceived(const uint8_t* data, size_t length) {
    FeedReplyBytes(link_, data, length);
}
bool LinkSink::IsReceiveEnabled() const { return link_.receiveEnabled.load() != 0; }
bool LinkSink::IsFrameComplete() const { return link_.frameComplete.load() != 0; }
void LinkSink::DisableReceive() { link_.receiveEnabled.store(0); }
void LinkSink::RearmReceiver() { hart::RearmReceiver(link_); }
uint32_t LinkSink::BusQuietTime() const { return link_.busQuietTime.load(); }
void LinkSink::SetBusQuietTime(uint32_t ms) { link_.busQuietTime.store(ms); }
bool LinkSink::IsRtsKeying() const { return link_.rtsKeying.load() != 0; }

void LinkSink::ResetLinkState() {
    // Only the program's own link has the decoded-data record beside it.
    if (&link_ == &g_hartLink) {
        hart::ResetLinkState();
        return;
    }
    std::lock_guard lock(link_.mutex);
    link_.pollingAddress = 0;
    link_.requestDataCount.store(0);
}

}  // namespace hart
