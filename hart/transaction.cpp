#include "hart/transaction.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "hart/command_names.h"
#include "hart/frame_codec.h"
#include "hart/link_stats.h"
#include "hart/reply_lengths.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "serial/serial_link.h"

namespace hart {

MainWindowServices* g_pMainDlg = nullptr;
ChannelAddressCache g_channelAddressCache;

namespace {

// The second status byte of the fixture's latest complete reply.
std::atomic<uint8_t> g_lastFixtureStatus{0};

// Request data is valid for one transaction: whatever path a transaction
// takes, it ends with a count of 0.
struct ClearRequestCountOnExit {
    ~ClearRequestCountOnExit() { g_hartLink.requestDataCount.store(0); }
};

Failure FailureOf(Reason reason, uint8_t command) {
    Failure f;
    f.reason = reason;
    f.command = command;
    return f;
}

// An exchange that ends without transmitting again: a port that went away
// or closed, or an abort (port change, shutdown) while the port stays open.
Reason CutShortReason() {
    return serial::IsPortOpen() && serial::AbortRaised() ? Reason::kInterrupted : Reason::kPortGone;
}

// "-- 2 读回路电流 no reply (attempt 1/3)".
void TraceFailure(uint8_t command, const Failure& f, int attempt = 0) {
    if (!platform::TraceEnabled()) return;
    std::string line = "-- " + CommandLabel(command) + " " + f.Describe();
    if (attempt > 0)
        line += " (attempt " + std::to_string(attempt) + "/" + std::to_string(kAttempts) + ")";
    platform::Trace(line);
}

void SetLastFailure(const Failure& f) {
    std::lock_guard lock(g_hartLink.mutex);
    g_hartLink.lastFailure = f;
}

// A request the link refuses before anything is sent: traced and counted as
// a failed request all the same.
Failure Refuse(Reason reason, uint8_t command) {
    const Failure f = FailureOf(reason, command);
    TraceFailure(command, f);
    ExchangeRecord record;
    record.command = command;
    record.outcome = reason;
    LinkStatistics().Record(record);
    SetLastFailure(f);
    return f;
}

void ApplyRequestData(const RequestData* data) {
    if (data == nullptr) return;
    SetRequestDataCount(data->Count());
    for (const auto& [position, value] : data->Writes()) SetRequestByte(position, value);
}

// What the attempts of one transaction came to.
struct AttemptsOutcome {
    Failure failure;  // reason kNone: a complete reply without a communication error
    ExchangeRecord record;
};

AttemptsOutcome RunAttempts() {
    HartLink& link = g_hartLink;
    uint8_t command;
    {
        std::lock_guard lock(link.mutex);
        command = link.requestCommand;
    }
    AttemptsOutcome out;
    out.failure = FailureOf(Reason::kNoReply, command);
    out.record.command = command;
    // The serial layer's transmit line carries the command's name.
    platform::TraceLabel label(platform::TraceEnabled() ? CommandLabel(command) : std::string());
    auto attemptFailed = [&](Failure f, int attempt) {
        out.failure = f;
        auto& r = out.record;
        if (r.failedAttemptCount < static_cast<int>(r.failedAttempts.size()))
            r.failedAttempts[static_cast<size_t>(r.failedAttemptCount++)] = f.reason;
        TraceFailure(command, f, attempt);
    };
    auto cutShort = [&] {
        out.failure = FailureOf(CutShortReason(), command);
        TraceFailure(command, out.failure);
    };

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
    if (length == 0) {
        out.failure = FailureOf(Reason::kBadArgument, command);
        TraceFailure(command, out.failure);
    }
    // Every attempt counts, whatever ends it, so the loop is bounded. A port
    // that has gone, or an abort, ends the attempts at once: nothing more is
    // sent and the line timing learned so far stays as it was.
    for (int attempt = 1; length != 0 && attempt <= kAttempts; ++attempt) {
        if (!serial::CanTransmit()) {
            cutShort();
            break;
        }
        ++out.record.attempts;
        if (serial::WriteRequest(frame, length) == 0) {
            if (serial::AbortRaised()) {
                cutShort();
                break;
            }
            link.busQuietTime.store(kDefaultBusQuietTime);
            if (!serial::CanTransmit()) {
                cutShort();
                break;
            }
            attemptFailed(FailureOf(Reason::kNoReply, command), attempt);
            continue;
        }
        if (!serial::SleepUnlessAborted(kReplySettleMs)) {
            cutShort();
            break;
        }
        if (link.receiveEvent.Wait(kReplyWaitMs)) {
            Failure f = FailureOf(Reason::kIncompleteReply, command);
            if (link.frameComplete.load() != 0) {
                std::lock_guard lock(link.mutex);
                const int count = link.responseRaw[0];
                const uint8_t status = link.responseRaw[1];
                if (!(status & kCommErrorSummary) && count >= kStatusByteCount &&
                    link.targetIsFixture)
                    g_lastFixtureStatus.store(link.responseRaw[2]);
                // A refusal needs no data; anything else must carry every
                // field decoded from it, or it would be decoded from zeros.
                if (!(status & kCommErrorSummary) &&
                    (IsRejectedResponseCode(status) || count >= ReplyLengthOf(command).minimum)) {
                    out.failure = Failure{};
                    out.failure.command = command;
                    out.record.replyMs = static_cast<int32_t>(link.completeTick - link.rearmTick);
                    break;
                }
                if (status & kCommErrorSummary) {
                    f.reason = Reason::kCommError;
                    f.status = status;
                }
            }
            attemptFailed(f, attempt);
            continue;
        }
        if (serial::AbortRaised()) {
            cutShort();
            break;
        }
        bool corrupted;
        {
            std::lock_guard lock(link.mutex);
            corrupted = link.checksumMismatch;
        }
        attemptFailed(
            FailureOf(corrupted ? Reason::kBadChecksum : Reason::kIncompleteReply, command),
            attempt);
        link.busQuietTime.store(kQuietAfterTimeout);
    }
    link.receiveEnabled.store(0);
    link.requestDataCount.store(0);
    out.record.outcome = out.failure.reason;
    return out;
}

// Identification by command 0 carries no request data of the caller's.
Result<HartDeviceData> Identify() {
    SaveRequestData();
    g_hartLink.requestDataCount.store(0);
    Result<HartDeviceData> r = ExecuteExchange(0);
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

// The fixture exchange proper, under the link. `number` receives the
// fixture's device number when this call identified it.
Result<HartDeviceData> FixtureExchangeLocked(uint8_t command, const RequestData* data,
                                             ValueCheck check, int& number) {
    ClearRequestCountOnExit clear;
    HartLink& link = g_hartLink;
    ApplyRequestData(data);
    serial::SetDtr(false);
    serial::SetRts(false);
    link.targetIsFixture = true;
    link.rtsKeying.store(0);

    if (link.fixtureIdentified == 0) {
        const Result<HartDeviceData> r = Identify();
        if (!r) {
            link.rtsKeying.store(1);
            return r;
        }
        const HartDeviceData& d = r.Value();
        link.fixtureIdentified = 1;
        link.fixtureAddress[0] = d.manufacturerId & 0x3F;
        link.fixtureAddress[1] = d.deviceType;
        std::memcpy(link.fixtureAddress + 2, d.deviceId, 3);
        number = (d.deviceId[0] << 16) | (d.deviceId[1] << 8) | d.deviceId[2];
        if (!LineSignal()) {
            // Cut short by a port change: signal again next time.
            link.fixtureIdentified = 0;
            link.rtsKeying.store(1);
            const Failure f = FailureOf(CutShortReason(), 0);
            TraceFailure(0, f);
            return f;
        }
    }
    const uint8_t* a = link.fixtureAddress;
    SetLongAddress(a[0], a[1], a[2], a[3], a[4]);
    Result<HartDeviceData> r = ExecuteExchange(command, check);
    // A value that is no reading came in a good reply: the fixture is there.
    if (!r && !IsValueFailure(r.Error().reason)) link.fixtureIdentified = 0;
    link.rtsKeying.store(1);
    return r;
}

}  // namespace

RequestData& RequestData::Byte(int position, uint8_t value) {
    writes_.emplace_back(position, value);
    return *this;
}

RequestData& RequestData::Float(int position, float value) {
    uint8_t bytes[4];
    WriteBigEndianFloat(bytes, value);
    for (int i = 0; i < 4; ++i) Byte(position + i, bytes[i]);
    return *this;
}

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
        link.checksumMismatch = false;
        link.rearmTick = 0;
        link.completeTick = 0;
        link.lastFailure = Failure{};
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
    link.targetIsFixture = true;
    g_lastFixtureStatus.store(0);
    link.receiveEvent.Reset();
    g_hartData = HartDeviceData{};
    g_channelAddressCache.entries.fill(ChannelAddress{});
    LinkStatistics().Reset();
}

int RunTransaction() {
    std::lock_guard lock(serial::LinkMutex());
    const Failure f = RunAttempts().failure;
    SetLastFailure(f);
    return f.reason == Reason::kNone ? 1 : 0;
}

Result<HartDeviceData> ExecuteExchange(uint8_t command, ValueCheck check) {
    std::lock_guard lock(serial::LinkMutex());
    ClearRequestCountOnExit clear;
    HartLink& link = g_hartLink;
    {
        std::lock_guard linkLock(link.mutex);
        link.longFrame = command == 0 ? 0 : 1;
    }
    AttemptsOutcome o;
    o.failure = FailureOf(Reason::kPortGone, command);
    o.record.command = command;
    o.record.outcome = o.failure.reason;
    if (!serial::IsPortOpen()) {
        TraceFailure(command, o.failure);  // nothing sent
    } else {
        {
            std::lock_guard linkLock(link.mutex);
            link.requestCommand = command;
        }
        o = RunAttempts();
    }
    Result<HartDeviceData> result = o.failure;
    if (o.failure.reason == Reason::kNone) {
        if (!IsResponseCodeAccepted(link)) {
            o.failure.reason = o.record.outcome = Reason::kRejected;
            {
                std::lock_guard linkLock(link.mutex);
                o.failure.responseCode = link.responseRaw[1];
            }
            TraceFailure(command, o.failure);
            result = o.failure;
        } else {
            // Decoded aside: a value the check refuses is stored nowhere.
            HartDeviceData decoded = g_hartData;
            DecodeResponse(link, decoded, command);
            const Reason refused = check != nullptr ? check(decoded) : Reason::kNone;
            if (refused != Reason::kNone) {
                o.failure.reason = o.record.outcome = refused;
                TraceFailure(command, o.failure);
                result = o.failure;
            } else {
                g_hartData = decoded;
                result = g_hartData;
            }
        }
    }
    LinkStatistics().Record(o.record);
    SetLastFailure(o.failure);
    return result;
}

int ExecuteCommand(uint8_t command) { return ExecuteExchange(command) ? 1 : 0; }

Result<HartDeviceData> FixtureExchange(uint8_t command, const RequestData* data, ValueCheck check) {
    int number = -1;
    Result<HartDeviceData> r = Failure{};
    {
        std::lock_guard lock(serial::LinkMutex());
        r = FixtureExchangeLocked(command, data, check, number);
        SetLastFailure(r.Error());
    }
    // After the link is released: the window may wait for a user interface
    // that is itself waiting for the link. The number therefore shows once
    // the whole transaction is over, line signalling included.
    if (number >= 0 && g_pMainDlg != nullptr) g_pMainDlg->ShowDeviceNumber(number);
    return r;
}

int FixtureTransaction(uint8_t command) { return FixtureExchange(command) ? 1 : 0; }

Result<HartDeviceData> ChannelExchange(uint8_t command, const RequestData* data) {
    // Asked before the link is taken: the window answers on its own terms.
    const int ch = g_pMainDlg != nullptr ? g_pMainDlg->GetChannelIndex() : -1;
    return ChannelExchangeOn(ch, command, data);
}

Result<HartDeviceData> ChannelExchangeOn(int ch, uint8_t command, const RequestData* data) {
    ClearRequestCountOnExit clear;
    std::lock_guard lock(serial::LinkMutex());
    ApplyRequestData(data);
    // Nothing sent and the lines untouched.
    if (ch < 0 || ch > 31) return Refuse(Reason::kNoChannel, command);
    serial::SetDtr(true);
    g_hartLink.targetIsFixture = false;
    ChannelAddress& entry = g_channelAddressCache.entries[static_cast<size_t>(ch)];
    if (entry.known == 0) {
        const Result<HartDeviceData> r = Identify();
        if (!r) {
            SetLastFailure(r.Error());
            return r;
        }
        const HartDeviceData& d = r.Value();
        entry.manufacturerId = d.manufacturerId & 0x3F;
        entry.deviceType = d.deviceType;
        std::memcpy(entry.deviceId, d.deviceId, 3);
        entry.known = 1;
    }
    SetLongAddress(entry.manufacturerId, entry.deviceType, entry.deviceId[0], entry.deviceId[1],
                   entry.deviceId[2]);
    Result<HartDeviceData> r = ExecuteExchange(command);
    if (!r) entry.known = 0;
    SetLastFailure(r.Error());
    return r;
}

int ChannelTransaction(uint8_t command) { return ChannelExchange(command) ? 1 : 0; }

Result<HartDeviceData> IdentifyChannelTransmitter(int channelIndex) {
    std::lock_guard lock(serial::LinkMutex());
    if (channelIndex < 0 || channelIndex > 31) return Refuse(Reason::kNoChannel, 0);
    serial::SetDtr(true);
    g_hartLink.targetIsFixture = false;
    const Result<HartDeviceData> r = Identify();
    ChannelAddress& entry = g_channelAddressCache.entries[static_cast<size_t>(channelIndex)];
    entry = ChannelAddress{};
    if (r) {
        const HartDeviceData& d = r.Value();
        entry.manufacturerId = d.manufacturerId & 0x3F;
        entry.deviceType = d.deviceType;
        std::memcpy(entry.deviceId, d.deviceId, 3);
        entry.known = 1;
    }
    SetLastFailure(r.Error());
    return r;
}

Failure LastFailure() {
    std::lock_guard lock(g_hartLink.mutex);
    return g_hartLink.lastFailure;
}

uint8_t LastFixtureDeviceStatus() { return g_lastFixtureStatus.load(); }

}  // namespace hart
