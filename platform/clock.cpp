#include "platform/clock.h"

#include <cstdlib>
#include <mutex>
#include <thread>

namespace platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct ClockState {
    std::mutex mutex;
    SteadyClock::time_point epoch = SteadyClock::now();
    double baseMs = 0.0;  // clock milliseconds at epoch
    double scale = 1.0;
};

ClockState& State() {
    static ClockState state;
    return state;
}

double ElapsedMs(const ClockState& s, SteadyClock::time_point now) {
    const auto real = std::chrono::duration<double, std::milli>(now - s.epoch).count();
    return s.baseMs + real * s.scale;
}

}  // namespace

uint32_t Tick() {
    auto& s = State();
    std::lock_guard lock(s.mutex);
    const double ms = ElapsedMs(s, SteadyClock::now());
    return static_cast<uint32_t>(static_cast<uint64_t>(ms));
}

void Sleep(uint32_t ms) {
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
#ifdef _WIN32
    // The Windows runtime sleeps whole milliseconds and drops the rest, so a
    // scaled sleep under a millisecond would not sleep at all: round up, a
    // sleep is never shorter than asked.
    std::this_thread::sleep_for(std::chrono::ceil<std::chrono::milliseconds>(RealDuration(ms)));
#else
    std::this_thread::sleep_for(RealDuration(ms));
#endif
}

void SetTimeScale(double scale) {
    if (!(scale > 0.0)) return;
    // Sanitizer builds run several times slower: their test runs cap the
    // speed-up so that a character time stays longer than a thread's stall.
    if (const char* cap = std::getenv("TARVOK_MAX_TIME_SCALE")) {
        const double max = std::atof(cap);
        if (max >= 1.0 && scale > max) scale = max;
    }
    auto& s = State();
    std::lock_guard lock(s.mutex);
    const auto now = SteadyClock::now();
    s.baseMs = ElapsedMs(s, now);
    s.epoch = now;
    s.scale = scale;
}

void SetTick(uint32_t now) {
    auto& s = State();
    std::lock_guard lock(s.mutex);
    s.epoch = SteadyClock::now();
    s.baseMs = static_cast<double>(now);
}

double TimeScale() {
    auto& s = State();
    std::lock_guard lock(s.mutex);
    return s.scale;
}

std::chrono::microseconds RealDuration(uint32_t ms) {
    const double us = static_cast<double>(ms) * 1000.0 / TimeScale();
    return std::chrono::microseconds(static_cast<int64_t>(us));
}

}  // namespace platform
