#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>

namespace platform {
namespace {

// Restores real time whatever a test did.
struct ScaleGuard {
    ~ScaleGuard() { SetTimeScale(1.0); }
};

TEST(Clock, SleepAtRealTimeTakesAboutAsLongAsAsked) {
    const auto before = std::chrono::steady_clock::now();
    const uint32_t t0 = Tick();
    Sleep(50);
    const uint32_t ticks = Tick() - t0;
    const auto real = std::chrono::steady_clock::now() - before;
    EXPECT_GE(ticks, 50u);
    EXPECT_LT(ticks, 150u);
    EXPECT_GE(real, std::chrono::milliseconds(50));
}

TEST(Clock, TimeScaleSpeedsTicksAndSleepsAlike) {
    ScaleGuard guard;
    SetTimeScale(20.0);
    const auto before = std::chrono::steady_clock::now();
    const uint32_t t0 = Tick();
    Sleep(400);
    const uint32_t ticks = Tick() - t0;
    const auto real = std::chrono::steady_clock::now() - before;
    EXPECT_GE(ticks, 400u);
    EXPECT_LT(real, std::chrono::milliseconds(200));
    EXPECT_EQ(RealDuration(400),
              std::chrono::microseconds(static_cast<int64_t>(400000.0 / TimeScale())));
}

TEST(Clock, AScaledSleepShorterThanARealMillisecondStillSleeps) {
    ScaleGuard guard;
    SetTimeScale(20.0);
    for (uint32_t ms : {1u, 5u, 30u}) {
        const uint32_t t0 = Tick();
        Sleep(ms);
        EXPECT_GE(Tick() - t0, ms) << ms << " clock ms";
    }
}

TEST(Clock, TickIsContinuousAcrossAScaleChange) {
    ScaleGuard guard;
    const uint32_t before = Tick();
    SetTimeScale(50.0);
    const uint32_t after = Tick();
    SetTimeScale(1.0);
    const uint32_t back = Tick();
    EXPECT_LT(after - before, 50u);
    EXPECT_LT(back - after, 50u);
    SetTimeScale(0.0);  // ignored
    SetTimeScale(-3.0);
    EXPECT_EQ(TimeScale(), 1.0);
}

}  // namespace
}  // namespace platform
