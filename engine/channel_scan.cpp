#include "engine/channel_scan.h"

#include <algorithm>
#include <cstdio>

#include "engine/ne43.h"
#include "platform/wall_clock.h"

namespace engine {
namespace {

bool Stop(const ScanOptions& o) { return o.stopRequested && o.stopRequested(); }

}  // namespace

ScanResult RunChannelScan(const ScanOptions& options) {
    ScanResult result;
    const int first = std::clamp(options.first, 1, hart::kChannelCount);
    const int last = std::clamp(options.last, first, hart::kChannelCount);
    auto fail = [&](const hart::Failure& f, ScanStep step, int channel) {
        result.failure = f;
        result.failedStep = step;
        result.failedChannel = channel;
    };

    const auto before = hart::ReadActiveChannel();
    if (!before) {
        // Nothing changed yet, so nothing to restore.
        fail(before.Error(), ScanStep::kReadChannel, 0);
        return result;
    }
    result.previousChannel = *before;

    const int total = last - first + 1;
    bool changed = false;
    for (int channel = first; channel <= last && result.Ok(); ++channel) {
        if (Stop(options)) {
            result.stopped = true;
            break;
        }
        ScanRow row;
        row.channel = channel;
        changed = true;
        if (const auto selected = hart::SelectChannel(channel); !selected) {
            row.time = std::chrono::system_clock::now();
            fail(selected.Error(), ScanStep::kSelectChannel, channel);
        } else if (Stop(options)) {
            result.stopped = true;
            break;
        } else if (const auto current = hart::ReadLoopCurrent(); !current) {
            row.time = std::chrono::system_clock::now();
            fail(current.Error(), ScanStep::kReadCurrent, channel);
        } else {
            // The reading's time, not the row's: identifying can take seconds.
            row.time = std::chrono::system_clock::now();
            row.loopCurrentMa = *current;
            // An empty loop holds no transmitter: asking would only wait out
            // three silent attempts.
            if (*current >= kLoopPresentMa && !Stop(options)) {
                if (const auto id = hart::IdentifyTransmitter(channel)) row.transmitter = *id;
            }
        }
        result.rows.push_back(row);
        if (options.onRow) options.onRow(row);
        if (options.onProgress) options.onProgress(channel - first + 1, total);
    }
    if (!changed) {
        result.restored = true;  // never changed
        return result;
    }

    const int restore =
        result.previousChannel == hart::kUnknownChannel ? hart::kNoChannel : result.previousChannel;
    const auto restored = hart::SelectChannel(restore);
    result.restored = restored.Ok();
    if (!restored) {
        if (result.Ok())
            fail(restored.Error(), ScanStep::kRestoreChannel, 0);
        else
            result.restoreFailure = restored.Error();
    }
    return result;
}

std::string DescribeScanStep(ScanStep step, int channel) {
    char text[64];
    switch (step) {
        case ScanStep::kReadChannel:
            return "reading the active channel";
        case ScanStep::kSelectChannel:
            std::snprintf(text, sizeof(text), "making CH%02d active", channel);
            return text;
        case ScanStep::kReadCurrent:
            std::snprintf(text, sizeof(text), "reading the loop current of CH%02d", channel);
            return text;
        case ScanStep::kRestoreChannel:
            return "making the channel active before active again";
        case ScanStep::kNone:
            break;
    }
    return "scanning";
}

bool IsEmptySlot(const ScanRow& row) {
    // The scan asks for a transmitter from kLoopPresentMa on, so below it
    // none has answered. Not a number is no empty loop but a fault.
    return row.loopCurrentMa && *row.loopCurrentMa < kLoopPresentMa && !row.transmitter;
}

std::string ScanBandText(const ScanRow& row) {
    if (!row.loopCurrentMa) return {};
    if (IsEmptySlot(row)) return "empty";
    return Ne43BandText(Ne43BandOf(*row.loopCurrentMa));
}

std::string ScanCsvHeader() { return "channel,transmitter,loop_current_mA,band,time"; }

std::string ScanCsvRow(const ScanRow& row) {
    std::string line = std::to_string(row.channel) + ",";
    if (row.transmitter) line += row.transmitter->Tag();
    line += ",";
    if (row.loopCurrentMa) line += FormatReadingMa(*row.loopCurrentMa);
    line += ",";
    line += ScanBandText(row);
    line += ",";
    line += platform::FormatIso8601(platform::ToLocalTime(row.time));
    return line;
}

std::string ScanCsvText(const std::vector<ScanRow>& rows) {
    std::string text = ScanCsvHeader() + "\n";
    for (const ScanRow& row : rows) text += ScanCsvRow(row) + "\n";
    return text;
}

std::string FormatReadingMa(float ma) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.3f", static_cast<double>(ma));
    return text;
}

}  // namespace engine
