#include "platform/auto_reset_event.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/clock.h"

namespace platform {
namespace {

TEST(AutoResetEvent, ASignalIsConsumedByOneWait) {
    AutoResetEvent event;
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    event.Set();  // not counted twice
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

TEST(AutoResetEvent, WakesAWaiterOnAnotherThreadAndTimesOut) {
    AutoResetEvent event;
    std::thread setter([&] {
        Sleep(20);
        event.Set();
    });
    const uint32_t t0 = Tick();
    EXPECT_TRUE(event.Wait(2000));
    EXPECT_LT(Tick() - t0, 1000u);
    setter.join();

    const uint32_t t1 = Tick();
    EXPECT_FALSE(event.Wait(60));
    EXPECT_GE(Tick() - t1, 59u);
}

}  // namespace
}  // namespace platform
