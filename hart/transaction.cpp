#include "hart/transaction.h"

#include <cstring>
#include <mutex>

#include "hart/frame_codec.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "serial/serial_link.h"

namespace hart {

MainWindowServices* g_pMainDlg = nullptr;
ChannelAddressCache g_channelAddressCache;

namespace {

// Request data is valid for one transaction: whatever path a transaction
// takes, it ends with a count of 0.
struct ClearRequestCountOnExit {
    ~ClearRequestCountOnExit() { g_hartLink.requestDataCount.store(0); }
};

// Identification by command 0 carries no request data of the caller's.
int Identify() {
    SaveRequestData();
    g_hartLink.requestDataCount.store(0);
    const int r = ExecuteCommand(0);
    RestoreRequestData();
    return r;
}

void LineSignal() {
    for (int i = 0; i < kLineSignalCount; ++i) {
        platform::Sleep(kLineSignalStepMs);
        serial::SetDtr(true);
        serial::SetRts(true);
        platform::Sleep(kLineSignalStepMs);
        serial::SetDtr(false);
        serial::SetRts(false);
    }
}

}  // namespace

void ChannelAddressCache::Clear() {
    std::lock_guard lock(serial::LinkMutex());
    entries.fill(ChannelAddress{});
}

void ForgetFixture() {
    std::lock_guard lock(serial::LinkMutex());
    g_hartLink.fixtureIdentified = 0;
}

int RunTransaction() {
    HartLink& link = g_hartLink;
    link.frameComplete.store(0);
    {
        std::lock_guard lock(link.mutex);
        std::memset(link.responseRaw, 0, sizeof(link.responseRaw));
    }
    // A frame that completed after an earlier transaction gave up must not
    // pass for this one's reply.
    link.receiveEvent.Reset();

    uint8_t frame[kRequestFrameCapacity];
    const size_t length = BuildRequestFrame(link, frame, sizeof(frame));
    bool ok = false;
    // Every attempt counts, whatever ends it, so the loop is bounded.
    for (int attempt = 0; length != 0 && attempt < kAttempts; ++attempt) {
        if (serial::WriteRequest(frame, length) == 0) {
            link.busQuietTime.store(kDefaultBusQuietTime);
            continue;
        }
        platform::Sleep(kReplySettleMs);
        if (link.receiveEvent.Wait(kReplyWaitMs)) {
            if (link.frameComplete.load() != 0 && IsCommunicationOk(link)) {
                ok = true;
                break;
            }
            continue;
        }
        platform::Trace("end timeout\n");
        link.busQuietTime.store(kQuietAfterTimeout);
    }
    link.receiveEnabled.store(0);
    link.requestDataCount.store(0);
    return ok ? 1 : 0;
}

int ExecuteCommand(uint8_t command) {
    std::lock_guard lock(serial::LinkMutex());
    ClearRequestCountOnExit clear;
    {
        std::lock_guard linkLock(g_hartLink.mutex);
        g_hartLink.longFrame = command == 0 ? 0 : 1;
    }
    if (!serial::IsPortOpen()) return 0;
    {
        std::lock_guard linkLock(g_hartLink.mutex);
        g_hartLink.requestCommand = command;
    }
    if (RunTransaction() == 0) return 0;
    if (!IsResponseCodeAccepted(g_hartLink)) return 0;
    DecodeResponse(g_hartLink, g_hartData, command);
    return 1;
}

int FixtureTransaction(uint8_t command) {
    std::lock_guard lock(serial::LinkMutex());
    ClearRequestCountOnExit clear;
    HartLink& link = g_hartLink;
    serial::SetDtr(false);
    serial::SetRts(false);
    link.rtsKeying.store(0);

    if (link.fixtureIdentified == 0) {
        const int r = Identify();
        if (r != 1) {
            link.rtsKeying.store(1);
            return r;
        }
        const HartDeviceData& d = g_hartData;
        link.fixtureIdentified = 1;
        link.fixtureAddress[0] = d.manufacturerId & 0x3F;
        link.fixtureAddress[1] = d.deviceType;
        std::memcpy(link.fixtureAddress + 2, d.deviceId, 3);
        const int number = (d.deviceId[0] << 16) | (d.deviceId[1] << 8) | d.deviceId[2];
        if (g_pMainDlg != nullptr) g_pMainDlg->ShowDeviceNumber(number);
        LineSignal();
    }
    const uint8_t* a = link.fixtureAddress;
    SetLongAddress(a[0], a[1], a[2], a[3], a[4]);
    const int r = ExecuteCommand(command);
    if (r == 0) link.fixtureIdentified = 0;
    link.rtsKeying.store(1);
    return r;
}

int ChannelTransaction(uint8_t command) {
    ClearRequestCountOnExit clear;
    const int ch = g_pMainDlg != nullptr ? g_pMainDlg->GetChannelIndex() : -1;
    if (ch < 0 || ch > 31) return 0;

    std::lock_guard lock(serial::LinkMutex());
    serial::SetDtr(true);
    ChannelAddress& entry = g_channelAddressCache.entries[static_cast<size_t>(ch)];
    if (entry.known == 0) {
        const int r = Identify();
        if (r == 1) {
            const HartDeviceData& d = g_hartData;
            entry.manufacturerId = d.manufacturerId & 0x3F;
            entry.deviceType = d.deviceType;
            std::memcpy(entry.deviceId, d.deviceId, 3);
            entry.known = 1;
        }
        if (r != 1) return r;
    }
    SetLongAddress(entry.manufacturerId, entry.deviceType, entry.deviceId[0], entry.deviceId[1],
                   entry.deviceId[2]);
    const int r = ExecuteCommand(command);
    if (r == 0) entry.known = 0;
    return r;
}

}  // namespace hart
