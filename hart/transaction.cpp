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

// False when an abort cut it short; the lines end low either way.
bool LineSignal() {
    for (int i = 0; i < kLineSignalCount; ++i) {
        const bool slept = serial::SleepUnlessAborted(kLineSignalStepMs);
        if (slept) {
            serial::SetDtr(true);
            serial::SetRts(true);
        }
        const bool held = slept && serial::SleepUnlessAborted(kLineSignalStepMs);
        serial::SetDtr(false);
        serial::SetRts(false);
        if (!held) return false;
    }
    return true;
}

// The fixture transaction proper, under the link. `number` receives the
// fixture's device number when this call identified it.
int FixtureTransactionLocked(uint8_t command, int& number) {
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
        number = (d.deviceId[0] << 16) | (d.deviceId[1] << 8) | d.deviceId[2];
        if (!LineSignal()) {
            // Cut short by a port change: signal again next time.
            link.fixtureIdentified = 0;
            link.rtsKeying.store(1);
            return 0;
        }
    }
    const uint8_t* a = link.fixtureAddress;
    SetLongAddress(a[0], a[1], a[2], a[3], a[4]);
    const int r = ExecuteCommand(command);
    if (r == 0) link.fixtureIdentified = 0;
    link.rtsKeying.store(1);
    return r;
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

void ResetHartState() {
    std::lock_guard lock(serial::LinkMutex());
    HartLink& link = g_hartLink;
    {
        std::lock_guard linkLock(link.mutex);
        link.longFrame = 0;
        std::memset(link.longAddress, 0, sizeof(link.longAddress));
        link.pollingAddress = 0;
        link.requestCommand = 0;
        std::memset(link.responseRaw, 0, sizeof(link.responseRaw));
        std::memset(link.responsePayload, 0, sizeof(link.responsePayload));
        link.receiverState = 0;
        link.preambleCount = 0;
        link.heardLength = 0;
    }
    link.requestDataCount.store(0);
    std::memset(link.requestData, 0, sizeof(link.requestData));
    std::memset(link.savedRequestData, 0, sizeof(link.savedRequestData));
    link.savedRequestCount = 0;
    link.receiveEnabled.store(0);
    link.frameComplete.store(0);
    link.busQuietTime.store(kDefaultBusQuietTime);
    link.rtsKeying.store(0);
    link.fixtureIdentified = 0;
    std::memset(link.fixtureAddress, 0, sizeof(link.fixtureAddress));
    link.receiveEvent.Reset();
    g_hartData = HartDeviceData{};
    g_channelAddressCache.entries.fill(ChannelAddress{});
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
    // Every attempt counts, whatever ends it, so the loop is bounded. A port
    // that has gone, or an abort, ends the attempts at once: nothing more is
    // sent and the line timing learned so far stays as it was.
    for (int attempt = 0; length != 0 && attempt < kAttempts; ++attempt) {
        if (!serial::CanTransmit()) break;
        if (serial::WriteRequest(frame, length) == 0) {
            if (serial::AbortRaised()) break;
            link.busQuietTime.store(kDefaultBusQuietTime);
            continue;
        }
        if (!serial::SleepUnlessAborted(kReplySettleMs)) break;
        if (link.receiveEvent.Wait(kReplyWaitMs)) {
            if (link.frameComplete.load() != 0 && IsCommunicationOk(link)) {
                ok = true;
                break;
            }
            continue;
        }
        if (serial::AbortRaised()) break;
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
    int number = -1;
    int r;
    {
        std::lock_guard lock(serial::LinkMutex());
        r = FixtureTransactionLocked(command, number);
    }
    // After the link is released: the window may wait for a user interface
    // that is itself waiting for the link. The number therefore shows once
    // the whole transaction is over, line signalling included.
    if (number >= 0 && g_pMainDlg != nullptr) g_pMainDlg->ShowDeviceNumber(number);
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
