#include "meter/stability.h"

#include <algorithm>
#include <cmath>

#include "platform/clock.h"

namespace meter {
namespace {

// Readings are decimal texts: a span that is the limit on the meter's
// display must not fail by the last bit of a double.
constexpr double kRoundingMa = 1e-9;

int64_t SignedMs(uint32_t later, uint32_t earlier) { return static_cast<int32_t>(later - earlier); }

}  // namespace

double StabilityLimitMa(double tolerancePercentOfSpan) {
    return tolerancePercentOfSpan / 100.0 * 16.0 / 4.0;
}

StabilityDetector::StabilityDetector(const StabilityOptions& options, uint32_t startTick)
    : options_(options), start_(startTick) {
    options_.window = std::max<size_t>(options_.window, 2);
}

double StabilityDetector::SpanMa() const {
    if (samples_.empty()) return 0.0;
    const auto [lo, hi] =
        std::minmax_element(samples_.begin(), samples_.end(),
                            [](const Sample& a, const Sample& b) { return a.ma < b.ma; });
    return hi->ma - lo->ma;
}

double StabilityDetector::SlopeMaPerSecond() const {
    const size_t n = samples_.size();
    if (n < 2) return 0.0;
    // Times from the first of the window, so that the sums stay small.
    double meanT = 0.0, meanY = 0.0;
    for (const Sample& s : samples_) {
        meanT += static_cast<double>(SignedMs(s.tick, samples_.front().tick)) / 1000.0;
        meanY += s.ma;
    }
    meanT /= static_cast<double>(n);
    meanY /= static_cast<double>(n);
    double stt = 0.0, sty = 0.0;
    for (const Sample& s : samples_) {
        const double t =
            static_cast<double>(SignedMs(s.tick, samples_.front().tick)) / 1000.0 - meanT;
        stt += t * t;
        sty += t * (s.ma - meanY);
    }
    // Readings all at one instant tell nothing of a drift.
    if (stt == 0.0) return HUGE_VAL;
    return sty / stt;
}

Stability StabilityDetector::Add(uint32_t tick, double ma) {
    if (state_ != Stability::kWaiting) return state_;
    ++count_;
    samples_.push_back({tick, ma});
    if (samples_.size() > options_.window) samples_.pop_front();

    const int64_t elapsed = SignedMs(tick, start_);
    if (samples_.size() == options_.window && elapsed >= options_.settleMs &&
        SpanMa() <= options_.limitMa + kRoundingMa &&
        std::fabs(SlopeMaPerSecond()) < options_.limitMa) {
        double mean = 0.0;
        for (const Sample& s : samples_) mean += s.ma;
        mean /= static_cast<double>(samples_.size());
        double squares = 0.0;
        for (const Sample& s : samples_) squares += (s.ma - mean) * (s.ma - mean);
        reading_.meanMa = mean;
        reading_.stddevMa = std::sqrt(squares / static_cast<double>(samples_.size() - 1));
        reading_.count = samples_.size();
        state_ = Stability::kStable;
    } else if (elapsed >= options_.giveUpMs) {
        state_ = Stability::kGaveUp;
    }
    return state_;
}

StableReadResult ReadUntilStable(Meter& meter, uint32_t startTick, const StableReadOptions& options,
                                 const std::function<void(double ma)>& onReading) {
    StabilityDetector detector(options.stability, startTick);
    StableReadResult result;
    auto finish = [&](StableOutcome outcome) {
        result.outcome = outcome;
        result.reading = detector.Reading();
        result.lastMa = detector.LastMa();
        result.spanMa = detector.SpanMa();
        result.readings = detector.ReadingCount();
        return result;
    };
    bool first = true;
    uint32_t lastStart = 0;
    for (;;) {
        if (!first) {
            const uint32_t since = platform::Tick() - lastStart;
            if (since < options.intervalMs && !meter.Pause(options.intervalMs - since)) {
                result.failure.error = MeterError::kCancelled;
                return finish(StableOutcome::kCancelled);
            }
        }
        first = false;
        lastStart = platform::Tick();
        const auto reading = meter.ReadMilliamps();
        if (!reading) {
            result.failure = reading.Error();
            return finish(reading.Error().error == MeterError::kCancelled
                              ? StableOutcome::kCancelled
                              : StableOutcome::kFailed);
        }
        if (onReading) onReading(*reading);
        switch (detector.Add(platform::Tick(), *reading)) {
            case Stability::kStable:
                return finish(StableOutcome::kStable);
            case Stability::kGaveUp:
                return finish(StableOutcome::kNotStable);
            case Stability::kWaiting:
                break;
        }
    }
}

}  // namespace meter
