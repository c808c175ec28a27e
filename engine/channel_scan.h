// The channel scan: which of the fixture's channels carry a loop current and
// which transmitter answers on each. One operation on the thread that runs
// it (the console tool's, or a worker's), row by row; no user interface.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hart/failure.h"
#include "hart/fixture_commands.h"

namespace engine {

// Below this a loop holds no transmitter, and none is asked for.
inline constexpr float kLoopPresentMa = 1.0f;

struct ScanRow {
    int channel = 0;  // 1-32
    std::optional<hart::DeviceIdentity> transmitter;
    std::optional<float> loopCurrentMa;  // none when the reading failed
    // When the loop current was read, or its exchange failed.
    std::chrono::system_clock::time_point time;
};

// A slot with nothing in it: its loop carries no current and no transmitter
// answers. Its reading is no failure signal, whatever NE 43 makes of it.
bool IsEmptySlot(const ScanRow& row);

// The row's band as the CSV names it: "empty" for an empty slot, else the
// NE 43 band of the reading ("ok", "under", "over", "fault"); empty without
// a reading.
std::string ScanBandText(const ScanRow& row);

// What the scan was doing when an exchange with the fixture failed.
enum class ScanStep { kNone, kReadChannel, kSelectChannel, kReadCurrent, kRestoreChannel };

struct ScanOptions {
    int first = 1;  // channels first..last, within 1-32
    int last = hart::kChannelCount;
    // Each channel's row, as soon as it is complete.
    std::function<void(const ScanRow&)> onRow;
    // After each channel: channels done, of how many.
    std::function<void(int done, int total)> onProgress;
    // Asked between exchanges; true ends the scan early (the channel active
    // before is still made active again).
    std::function<bool()> stopRequested;
};

struct ScanResult {
    std::vector<ScanRow> rows;
    // The channel active before the scan (1-32, hart::kNoChannel, or
    // hart::kUnknownChannel when the reading named none), and whether it is
    // active again.
    int previousChannel = hart::kUnknownChannel;
    bool restored = false;
    bool stopped = false;
    // The exchange with the fixture that failed, reason kNone when none did.
    // A transmitter that does not answer is no failure: its loop may carry a
    // current source without HART.
    hart::Failure failure;
    ScanStep failedStep = ScanStep::kNone;
    int failedChannel = 0;  // the channel of a failed select or reading
    // A failed restore after an earlier failure, reason kNone otherwise.
    hart::Failure restoreFailure;

    bool Ok() const { return failure.reason == hart::Reason::kNone; }
};

// Reads the active channel (command 15); for each channel first..last makes
// it active (34), reads its loop current (2) and, from kLoopPresentMa on,
// identifies its transmitter (0, DTR high); then makes the channel active
// before active again (34; none when the reading named no channel). The
// first failed exchange with the fixture ends the channels; the channel is
// restored all the same. Options out of range are clamped to 1-32.
ScanResult RunChannelScan(const ScanOptions& options);

// "what failed" for a message: "reading the loop current of CH05".
std::string DescribeScanStep(ScanStep step, int channel);

// The scan's CSV, as the console tool writes it and an export should:
// "channel,transmitter,loop_current_mA,band,time" and rows such as
// "5,26-05-102030,12.037,ok,2026-12-10T05:42:00.123+01:00",
// "6,,0.013,empty,..." or "7,,,,...". The time is local, ISO 8601 with
// milliseconds and the offset from UTC, as `poll --csv` writes it.
std::string ScanCsvHeader();
std::string ScanCsvRow(const ScanRow& row);
// The header and the rows, each line ended by "\n".
std::string ScanCsvText(const std::vector<ScanRow>& rows);

// "12.037": a loop current as every readout and file shows it.
std::string FormatReadingMa(float ma);

}  // namespace engine
