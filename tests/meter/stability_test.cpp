// The stability rule on recorded sequences: a reading every 300 ms unless
// said otherwise, times in clock ticks.
#include "meter/stability.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace meter {
namespace {

struct Step {
    uint32_t ms;  // since the start
    double ma;
};

// Feeds the sequence; returns the index of the reading that ended the wait
// (stable or given up), or -1.
int Feed(StabilityDetector& d, uint32_t start, const std::vector<Step>& steps) {
    for (size_t i = 0; i < steps.size(); ++i)
        if (d.Add(start + steps[i].ms, steps[i].ma) != Stability::kWaiting)
            return static_cast<int>(i);
    return -1;
}

std::vector<Step> Every300(const std::vector<double>& values, uint32_t firstMs = 0) {
    std::vector<Step> steps;
    for (size_t i = 0; i < values.size(); ++i)
        steps.push_back({firstMs + static_cast<uint32_t>(300 * i), values[i]});
    return steps;
}

TEST(StabilityTest, LimitIsAQuarterOfTheToleranceOfTheSpan) {
    EXPECT_DOUBLE_EQ(StabilityLimitMa(0.1), 0.004);
    EXPECT_DOUBLE_EQ(StabilityLimitMa(0.25), 0.01);
    EXPECT_DOUBLE_EQ(StabilityOptions{}.limitMa, StabilityLimitMa(0.1));
}

// A transmitter stepping from 4.05 toward 4.0213 mA (200 ms lag at the
// meter, a reading every 300 ms, as the simulated meter reads it), with
// noise of a few tenths of a microampere.
TEST(StabilityTest, SettlingIsTakenOnceTheLastFiveAgreeAndNotBefore) {
    const double noise[] = {0.0002, -0.0003, 0.0001, 0.0, -0.0002, 0.0003, -0.0001, 0.0002};
    std::vector<double> values;
    for (int i = 0; i < 30; ++i)
        values.push_back(4.0213 + 0.0287 * std::exp(-0.3 * (i + 1) / 0.2) + noise[i % 8]);
    StabilityDetector d({}, 1000);
    const int at = Feed(d, 1000, Every300(values));
    ASSERT_EQ(d.State(), Stability::kStable);
    // Readings 0 to 2 are still 6.4, 1.4 and 0.3 uA off the end; reading 6,
    // at 1800 ms, would do but for the 2 s.
    EXPECT_EQ(at, 7);
    EXPECT_EQ(d.Reading().count, 5u);
    EXPECT_NEAR(d.Reading().meanMa, 4.0213, 0.0003);
    EXPECT_GT(d.Reading().stddevMa, 0.0);
    EXPECT_LT(d.Reading().stddevMa, 0.0005);
    EXPECT_EQ(d.ReadingCount(), 8u);
}

TEST(StabilityTest, NothingIsTakenBeforeTwoSecondsEvenWhenFlat) {
    StabilityDetector d({}, 0);
    // Readings 100 ms apart: the window is full at 400 ms.
    for (uint32_t ms = 0; ms < 2000; ms += 100)
        EXPECT_EQ(d.Add(ms, 12.0), Stability::kWaiting) << ms;
    EXPECT_EQ(d.Add(2000, 12.0), Stability::kStable);
    EXPECT_DOUBLE_EQ(d.Reading().meanMa, 12.0);
    EXPECT_DOUBLE_EQ(d.Reading().stddevMa, 0.0);
}

TEST(StabilityTest, TimesAcrossTheTickWrapCountAsElapsed) {
    const uint32_t start = 0xFFFFF000u;  // 4096 ms before the wrap
    StabilityDetector d({}, start);
    const int at = Feed(d, start, Every300({8.0, 8.001, 8.0, 8.001, 8.0, 8.001, 8.0, 8.001}));
    EXPECT_EQ(at, 7);  // 1800 ms is too early, 2100 ms is not
    // A reading stamped before the start is no later than the start.
    StabilityDetector early({}, 5000);
    EXPECT_EQ(Feed(early, 0, Every300({8, 8, 8, 8, 8, 8, 8, 8})), -1);
}

TEST(StabilityTest, TheSpanLimitHoldsToTheLastDigit) {
    // Symmetric: no slope. Spans exactly 4 uA, then 4.1 uA.
    StabilityDetector at({}, 0);
    EXPECT_EQ(Feed(at, 0, Every300({4.000, 4.004, 4.002, 4.004, 4.000}, 2000)), 4);
    EXPECT_NEAR(at.Reading().meanMa, 4.002, 1e-9);
    EXPECT_NEAR(at.Reading().stddevMa, 0.002, 1e-9);  // sample deviation, n - 1

    StabilityDetector over({}, 0);
    EXPECT_EQ(Feed(over, 0, Every300({4.000, 4.0041, 4.002, 4.0041, 4.000}, 2000)), -1);
    EXPECT_NEAR(over.SpanMa(), 0.0041, 1e-9);
}

// Readings 100 ms apart climbing 8 uA/s: five of them span 3.2 uA, within
// the limit, but the slope is twice it.
TEST(StabilityTest, ADriftWithinTheSpanIsRefusedByItsSlope) {
    StabilityDetector d({}, 0);
    std::vector<Step> steps;
    for (uint32_t i = 0; i < 20; ++i) steps.push_back({2000 + 100 * i, 16.0 + 0.008 * 0.1 * i});
    EXPECT_EQ(Feed(d, 0, steps), -1);
    EXPECT_NEAR(d.SlopeMaPerSecond(), 0.008, 1e-9);
    EXPECT_LE(d.SpanMa(), 0.004);

    // At 3 uA/s the same readings are stable.
    StabilityDetector slow({}, 0);
    steps.clear();
    for (uint32_t i = 0; i < 5; ++i) steps.push_back({2000 + 100 * i, 16.0 + 0.003 * 0.1 * i});
    EXPECT_EQ(Feed(slow, 0, steps), 4);
}

TEST(StabilityTest, OneSpikeWaitsUntilItLeavesTheWindow) {
    std::vector<double> values(12, 20.0);
    values[5] = 20.01;  // at 1500 ms
    StabilityDetector d({}, 0);
    EXPECT_EQ(Feed(d, 0, Every300(values)), 10);  // the first window without it
    EXPECT_DOUBLE_EQ(d.Reading().meanMa, 20.0);
}

TEST(StabilityTest, ThirtySecondsWithoutStabilityGiveUpAndStaySo) {
    StabilityDetector d({}, 0);
    std::vector<double> values;
    for (int i = 0; i < 120; ++i) values.push_back(4.0 + 0.006 * (i % 2));  // 6 uA of noise
    const int at = Feed(d, 0, Every300(values));
    EXPECT_EQ(at, 100);  // the reading at 30 000 ms
    EXPECT_EQ(d.State(), Stability::kGaveUp);
    // Readings that would now be stable change nothing.
    for (int i = 0; i < 10; ++i) EXPECT_EQ(d.Add(31000 + 300 * i, 4.0), Stability::kGaveUp);
    EXPECT_EQ(d.ReadingCount(), 101u);

    // Stable on the very reading at 30 s: taken.
    StabilityDetector last({}, 0);
    std::vector<Step> steps;
    for (int i = 0; i < 4; ++i) steps.push_back({28800u + 300u * i, 4.0});
    steps.push_back({30000, 4.0});
    EXPECT_EQ(Feed(last, 0, steps), 4);
    EXPECT_EQ(last.State(), Stability::kStable);
}

TEST(StabilityTest, OptionsChangeTheRule) {
    StabilityOptions o;
    o.limitMa = 0.01;
    o.window = 3;
    o.settleMs = 0;
    o.giveUpMs = 1000;
    StabilityDetector d(o, 0);
    EXPECT_EQ(Feed(d, 0, Every300({4.0, 4.008, 4.0})), 2);
    EXPECT_EQ(d.Reading().count, 3u);

    StabilityDetector gives(o, 0);
    EXPECT_EQ(Feed(gives, 0, Every300({4.0, 4.02, 4.0, 4.02, 4.0})), 4);  // 1200 ms
    EXPECT_EQ(gives.State(), Stability::kGaveUp);
}

}  // namespace
}  // namespace meter
