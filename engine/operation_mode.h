// The main worker's operation codes and the five ways a fixture channel is
// written down. Every conversion between them lives here.
#pragma once

#include <cstdint>
#include <string>

namespace engine {

enum OperationMode : int32_t {
    ModePollCurrent = 1,
    ModeCalibrate = 2,
    ModeSwitchChannel = 3,
    ModeWriteDeviceNumber = 4,
    ModeReadChannel = 5,
    ModeStepChannel = 6,
    // Beyond the old tool: the channel scan of the overview, channels arg1
    // to arg2.
    ModeScanChannels = 8,
    ModeVerifyCalibration = 7,
};

// Mode 3's argument for none.
inline constexpr int kSwitchToNone = 255;
// CheckChannelItem's value that leaves every item unchecked.
inline constexpr int kUncheckAll = 255;
// Arrow-key steps are applied once the keys have been quiet this long.
inline constexpr int32_t kStepQuietMs = 500;

// The channel readout's text: "01".."32", or "00" for anything else.
std::string ChannelReadoutText(int n);
// The readout text back to n, as atoi reads it: 0 for "00".
int ChannelFromReadout(const std::string& text);

// The step rule: the channel that `steps` net arrow-key steps lead to from
// channel c (0 for none). 0 when the net count is a multiple of 33; none is
// passed over otherwise.
int StepTargetOf(int c, int steps);

// " %.03f" below 10 mA, "%.03f" from 10 mA.
std::string FormatLoopCurrent(float ma);

// "设备%d #".
std::string DeviceNumberText(int number);

}  // namespace engine
