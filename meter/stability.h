// When the meter's reading has settled enough to be taken as a calibration
// reference, and a driver that reads a Meter until then.
//
// A reading is taken once the last `window` readings span no more than the
// limit, their least-squares slope is under the same limit per second, and
// at least settleMs have passed since the start (when the fixed current was
// set). The value taken is their mean. After giveUpMs without that, the
// caller is told, so that the operator may type the value instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>

#include "meter/meter.h"

namespace meter {

struct StabilityOptions {
    double limitMa = 0.004;  // a quarter of 0.1 % of the 16 mA span
    size_t window = 5;
    uint32_t settleMs = 2000;
    uint32_t giveUpMs = 30000;
};

// A quarter of the tolerance, given in % of the 16 mA span.
double StabilityLimitMa(double tolerancePercentOfSpan);

struct StableReading {
    double meanMa = 0.0;
    double stddevMa = 0.0;  // sample standard deviation of the readings taken
    size_t count = 0;       // how many readings the mean is of
};

enum class Stability { kWaiting, kStable, kGaveUp };

// Pure logic: the caller passes each reading with its time (clock ticks,
// compared as wrapping 32-bit differences). Once stable or given up it
// stays so and ignores further readings.
class StabilityDetector {
public:
    StabilityDetector(const StabilityOptions& options, uint32_t startTick);

    Stability Add(uint32_t tick, double ma);
    Stability State() const { return state_; }
    // Valid once State() is kStable.
    const StableReading& Reading() const { return reading_; }

    // Of the last readings (up to `window`), for telling the operator why
    // it is not stable: their span and slope, the latest value.
    double SpanMa() const;
    double SlopeMaPerSecond() const;
    double LastMa() const { return samples_.empty() ? 0.0 : samples_.back().ma; }
    size_t ReadingCount() const { return count_; }

private:
    struct Sample {
        uint32_t tick;
        double ma;
    };

    StabilityOptions options_;
    uint32_t start_;
    std::deque<Sample> samples_;
    size_t count_ = 0;
    Stability state_ = Stability::kWaiting;
    StableReading reading_;
};

enum class StableOutcome {
    kStable,     // reading holds the value
    kNotStable,  // giveUpMs passed: let the operator type
    kFailed,     // the meter failed: failure says why
    kCancelled,  // Meter::Cancel() was called
};

struct StableReadResult {
    StableOutcome outcome = StableOutcome::kFailed;
    StableReading reading;
    MeterFailure failure;  // kFailed, kCancelled
    // As the detector last saw them, for kNotStable's message.
    double lastMa = 0.0;
    double spanMa = 0.0;
    size_t readings = 0;
};

struct StableReadOptions {
    StabilityOptions stability;
    uint32_t intervalMs = 300;  // from one READ? to the next, at least
};

// Reads `meter` (connected) until stable, given up, failed or cancelled.
// startTick is when the fixed current was set; onReading, if set, sees each
// reading in mA as it comes (for a live display).
StableReadResult ReadUntilStable(Meter& meter, uint32_t startTick,
                                 const StableReadOptions& options = {},
                                 const std::function<void(double ma)>& onReading = {});

}  // namespace meter
