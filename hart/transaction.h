// One HART command from request to decoded reply, and the two ways the
// program addresses a device: the fixture itself (DTR low) and the
// transmitter on the fixture's active channel (DTR high). The transactions
// return 1 for success and 0 for failure; the exchanges beside them return
// the decoded reply or the reason of the failure. Callers above hart/ use
// the typed commands of hart/fixture_commands.h.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "hart/decoders.h"
#include "hart/failure.h"
#include "hart/hart_link.h"

namespace hart {

// The two services of the main window that transactions call back, on the
// transaction thread and never with the link locked. GetChannelIndex must
// answer without waiting for the user interface.
class MainWindowServices {
public:
    virtual ~MainWindowServices() = default;
    // 0..31 for CH1..CH32, anything else for none.
    virtual int GetChannelIndex() = 0;
    // The fixture's 24-bit device id, after each identification.
    virtual void ShowDeviceNumber(int number) = 0;
};

// Set once before any transaction thread starts.
extern MainWindowServices* g_pMainDlg;

struct ChannelAddress {
    uint8_t known = 0;
    uint8_t manufacturerId = 0;  // already masked with 0x3F
    uint8_t deviceType = 0;
    uint8_t deviceId[3] = {};
};

struct ChannelAddressCache {
    std::array<ChannelAddress, 32> entries{};
    // Every entry unknown.
    void Clear();
};

extern ChannelAddressCache g_channelAddressCache;

// Attempts of one transaction and its waits, in clock milliseconds.
inline constexpr int kAttempts = 3;
inline constexpr uint32_t kReplySettleMs = 100;
inline constexpr uint32_t kReplyWaitMs = 800;
inline constexpr uint32_t kQuietAfterTimeout = 75;
inline constexpr uint32_t kLineSignalStepMs = 300;
inline constexpr int kLineSignalCount = 5;

// Request data that an exchange writes into the link's request area, under
// the link, just before it runs: the count, then the bytes at the positions
// named. Positions not named keep what earlier requests left there.
class RequestData {
public:
    explicit RequestData(int count) : count_(count) {}
    RequestData& Byte(int position, uint8_t value);
    // Four bytes, IEEE-754 single, most significant first.
    RequestData& Float(int position, float value);

    int Count() const { return count_; }
    const std::vector<std::pair<int, uint8_t>>& Writes() const { return writes_; }

private:
    int count_;
    std::vector<std::pair<int, uint8_t>> writes_;
};

// Judges the value a reply carries, once the reply itself was good: kNone
// to take it, or the reason (IsValueFailure) it is no reading.
using ValueCheck = Reason (*)(const HartDeviceData& decoded);

// The exchanges. On success the value is the decoded reply data as this
// exchange left it (read under the link: another thread's transaction may
// change g_hartData right after). `data`, when given, replaces the request
// data the caller would otherwise have set with SetRequestDataCount and
// SetRequestByte before the call. A reply shorter than the fields decoded
// from it (hart/reply_lengths.h) is a failed attempt, "incomplete reply".
// `check`, when given, ends an exchange whose value it refuses with its
// reason, without another attempt and without storing the value; the
// fixture stays identified.
Result<HartDeviceData> ExecuteExchange(uint8_t command, ValueCheck check = nullptr);
Result<HartDeviceData> FixtureExchange(uint8_t command, const RequestData* data = nullptr,
                                       ValueCheck check = nullptr);
Result<HartDeviceData> ChannelExchange(uint8_t command, const RequestData* data = nullptr);
// ChannelExchange to the transmitter on the channel the caller names
// (channelIndex 0..31), which must be the fixture's active one, whatever
// the window shows.
Result<HartDeviceData> ChannelExchangeOn(int channelIndex, uint8_t command,
                                         const RequestData* data = nullptr);
// Command 0 in the short form to polling address 0, DTR high, to whatever
// transmitter is on the fixture's active channel, which the caller names
// (channelIndex 0..31): its address cache entry is filled from the reply, or
// forgotten when none comes. Always one exchange, whatever the cache knew.
Result<HartDeviceData> IdentifyChannelTransmitter(int channelIndex);

// The 1/0 transactions over the exchanges above.
int RunTransaction();
int ExecuteCommand(uint8_t command);
int FixtureTransaction(uint8_t command);
int ChannelTransaction(uint8_t command);

// The outcome of the latest transaction or exchange, of whichever thread:
// reason kNone when it succeeded.
Failure LastFailure();

// The field device status (second status byte) of the fixture's latest
// complete reply that carried one, whichever thread's exchange it was; 0
// before any. Any thread.
uint8_t LastFixtureDeviceStatus();
inline constexpr uint8_t kDeviceMalfunction = 0x80;

// Forgets the fixture's identity (tests, and a new fixture on the line).
void ForgetFixture();

// Everything the transactions share back to its state at program start: the
// link record, the decoded data, the fixture's identity and the channel
// address cache. For tests, which share one process.
void ResetHartState();

}  // namespace hart
