// One HART command from request to decoded reply, and the two ways the
// program addresses a device: the fixture itself (DTR low) and the
// transmitter on the fixture's active channel (DTR high). Results are 1 for
// success and 0 for failure.
#pragma once

#include <array>
#include <cstdint>

#include "hart/decoders.h"
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

int RunTransaction();
int ExecuteCommand(uint8_t command);
int FixtureTransaction(uint8_t command);
int ChannelTransaction(uint8_t command);

// Forgets the fixture's identity (tests, and a new fixture on the line).
void ForgetFixture();

// Everything the transactions share back to its state at program start: the
// link record, the decoded data, the fixture's identity and the channel
// address cache. For tests, which share one process.
void ResetHartState();

}  // namespace hart
