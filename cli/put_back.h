// What a console command changed on the bench and must leave as it found it,
// however the command ends (done, failed, stopped by a signal).
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "hart/transaction.h"

namespace cli {

// The tool's side of the transaction layer. It has no channel readout: a
// command that addresses a transmitter names the channel it is on.
class ConsoleWindow final : public hart::MainWindowServices {
public:
    int GetChannelIndex() override { return channel_.load() - 1; }
    void ShowDeviceNumber(int number) override { deviceNumber_.store(number); }
    // 1-32; 0 for none.
    void SetChannel(int channel) { channel_.store(channel); }
    // The fixture's device number from its latest identification; -1 before.
    int DeviceNumber() const { return deviceNumber_.load(); }

private:
    std::atomic<int> channel_{0};
    std::atomic<int> deviceNumber_{-1};
};

// Filled in by a command as it changes something, emptied as it puts each
// thing back itself; whatever is still held at the end of the run goes
// back with one PutBack().
struct PutBackRecord {
    // The channel (1-32) whose transmitter the command fixed (command 40);
    // 0 for none.
    int fixedTransmitter = 0;
    // The channel active before the command made another one active (1-32,
    // or hart::kNoChannel); empty while it has not.
    std::optional<int> channelBefore;

    bool Empty() const { return fixedTransmitter == 0 && !channelBefore; }
};

// Lets the fixed transmitter go first (command 40 with 0.0, through its
// channel while that is still active), then makes the channel before active
// again (command 34). What went back leaves the record; for what did not,
// one line each: "the channel active before (CH02) is not active again: no
// reply".
std::vector<std::string> PutBack(PutBackRecord& record, ConsoleWindow& console);

}  // namespace cli
