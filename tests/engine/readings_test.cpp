// What the window keeps of its polls: the readings log's rows, the trend's
// history and statistics, and the NE 43 band of a reading.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>

#include "engine/poll_history.h"
#include "engine/readings_log.h"
#include "platform/wall_clock.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

// 2026-12-10 05:42:00.123 UTC.
const Clock::time_point kNoon = Clock::time_point(std::chrono::milliseconds(1796881320123LL));
// Some moment on the monotonic clock.
const std::chrono::steady_clock::time_point kStart =
    std::chrono::steady_clock::time_point(std::chrono::hours(100));

class TimeZone {
public:
    explicit TimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) saved_ = old, had_ = true;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~TimeZone() {
        if (had_)
            ::setenv("TZ", saved_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::string saved_;
    bool had_ = false;
};

std::string Iso(Clock::time_point t) { return platform::FormatIso8601(platform::ToLocalTime(t)); }

PollSample Sample(Clock::time_point t, int channel, bool ok, float ma) {
    PollSample s;
    s.time = t;
    s.channel = channel;
    s.ok = ok;
    s.milliamps = ma;
    return s;
}

TEST(ReadingsCsv, LocalTimeWithMillisecondsAndOffset) {
    {
        TimeZone tz("UTC0");
        EXPECT_EQ(Iso(kNoon), "2026-12-10T05:42:00.123+00:00");
    }
    {
        TimeZone tz("Asia/Shanghai");
        EXPECT_EQ(Iso(kNoon), "2026-12-10T13:42:00.123+08:00");
    }
    {
        TimeZone tz("America/St_Johns");  // half an hour, west of UTC
        EXPECT_EQ(Iso(kNoon), "2026-12-10T02:12:00.123-03:30");
    }
    TimeZone tz("UTC0");
    EXPECT_EQ(Iso(Clock::time_point(std::chrono::milliseconds(-1))),
              "1969-12-31T23:59:59.999+00:00");
    EXPECT_EQ(PollCsvRow(Sample(kNoon, 7, true, 12.0375f)),
              "2026-12-10T05:42:00.123+00:00,07,12.038");
    EXPECT_EQ(PollCsvRow(Sample(kNoon, 0, false, 0.0f)), "2026-12-10T05:42:00.123+00:00,00,");
    EXPECT_EQ(PollCsvRow(Sample(kNoon, 40, true, 4.0f)), "2026-12-10T05:42:00.123+00:00,00,4.000");
    EXPECT_EQ(PollCsvRow(Sample(kNoon, -1, true, 4.0f)), "2026-12-10T05:42:00.123+00:00,,4.000")
        << "the channel unknown";
}

class ReadingsLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("tarvok-log-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    static std::string Read(const fs::path& p) {
        std::ifstream in(p);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    fs::path dir;
    TimeZone tz{"UTC0"};
};

TEST_F(ReadingsLogTest, RowsGoOutAsTheyComeAndANewFileGetsTheHeaderOnce) {
    const fs::path path = dir / "log.csv";
    ReadingsLog log;
    EXPECT_TRUE(log.Append(Sample(kNoon, 1, true, 4.0f))) << "not logging: nothing lost";
    ASSERT_TRUE(log.Open(path.string(), nullptr));
    ASSERT_TRUE(log.Append(Sample(kNoon, 3, true, 4.0f)));
    // On disk at once, not at close.
    EXPECT_EQ(Read(path), "time,channel,loop_current_mA\n2026-12-10T05:42:00.123+00:00,03,4.000\n");
    log.Close();
    ASSERT_TRUE(log.Open(path.string(), nullptr));
    ASSERT_TRUE(log.Append(Sample(kNoon, 3, false, 0.0f)));
    log.Close();
    EXPECT_EQ(Read(path),
              "time,channel,loop_current_mA\n"
              "2026-12-10T05:42:00.123+00:00,03,4.000\n"
              "2026-12-10T05:42:00.123+00:00,03,\n")
        << "appended, without a second header";
}

TEST_F(ReadingsLogTest, AFileThatCannotBeWrittenIsReportedAndClosesTheLog) {
    ReadingsLog log;
    std::string error;
    EXPECT_FALSE(log.Open((dir / "no" / "such" / "folder.csv").string(), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(log.IsOpen());
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    // A full disk: the header already fails.
    EXPECT_FALSE(log.Open("/dev/full", &error));
    EXPECT_FALSE(log.IsOpen());
}

// A sample polled `at` after kStart on the monotonic clock, its wall time
// moving with it unless given.
PollSample At(std::chrono::milliseconds at, int channel, bool ok, float ma,
              std::optional<Clock::time_point> wall = std::nullopt) {
    PollSample s = Sample(wall.value_or(kNoon + at), channel, ok, ma);
    s.steady = kStart + at;
    return s;
}

TEST(PollHistory, KeepsItsSpanAndAnswersFromATime) {
    using std::chrono::seconds;
    PollHistory history(seconds(60));
    for (int i = 0; i < 100; ++i) history.Add(At(seconds(i), 1, true, float(i)));
    const auto all = history.Since(PollHistory::SteadyTime{});
    ASSERT_EQ(all.size(), 61u) << "a minute back from the newest";
    EXPECT_EQ(all.front().milliamps, 39.0f);
    EXPECT_EQ(history.Since(kStart + seconds(90)).size(), 10u);
    const uint64_t v = history.Version();
    history.Add(At(seconds(100), 1, true, 1.0f));
    EXPECT_NE(history.Version(), v);
    // One that comes late still goes where its time puts it.
    history.Add(At(seconds(95) + std::chrono::milliseconds(500), 1, true, 95.5f));
    const auto last = history.Since(kStart + seconds(95));
    ASSERT_EQ(last.size(), 7u);
    EXPECT_EQ(last[1].milliamps, 95.5f);
    for (size_t i = 1; i < last.size(); ++i) EXPECT_LT(last[i - 1].steady, last[i].steady);
}

// Half an hour of polls, then the wall clock is set an hour back (or
// forward) and polling goes on: the last minute is the last minute.
TEST(PollHistory, AStepOfTheWallClockMovesNoSpan) {
    using std::chrono::milliseconds;
    for (const auto step : {-std::chrono::hours(1), std::chrono::hours(1)}) {
        PollHistory history;
        int polls = 0;
        milliseconds t(0);
        for (; t < std::chrono::minutes(30); t += milliseconds(640), ++polls)
            history.Add(At(t, 1, true, 4.0f));
        ASSERT_GE(polls, 2800);
        for (int i = 0; i < 60; ++i, t += milliseconds(1000))
            history.Add(At(t, 2, true, 12.0f, kNoon + t + step));
        const PollHistory::SteadyTime now = kStart + t;

        const auto minute = history.Since(now - std::chrono::minutes(1));
        EXPECT_EQ(minute.size(), 60u) << "step " << step.count() << " h";
        for (const PollSample& s : minute) EXPECT_EQ(s.channel, 2);
        // The half hour kept is measured on the same clock: a step forward
        // throws away nothing, a step back keeps nothing too old.
        const auto all = history.Since(now - std::chrono::minutes(30));
        EXPECT_GE(all.size(), size_t(polls) - 100) << "step " << step.count() << " h";
        EXPECT_LE(all.size(), size_t(polls) + 60);
        EXPECT_EQ(ActiveChannelStats(minute).count, 60u);
    }
}

// The line under the trend: one channel's readings, never a pool of two,
// and nothing that is no current.
TEST(PollHistory, StatisticsOfTheActiveChannelSinceItBecameActive) {
    using std::chrono::seconds;
    const float nan = std::nanf("");
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<PollSample> span{
        At(seconds(0), 8, true, 18.0f), At(seconds(1), 8, true, 18.1f),
        At(seconds(2), 5, true, 4.0f),  At(seconds(3), 5, false, 0.0f),
        At(seconds(4), 5, true, nan),   At(seconds(5), 5, true, 6.0f),
        At(seconds(6), 5, true, inf),   At(seconds(7), 5, true, -inf),
        At(seconds(8), 5, true, 5.0f),
    };
    TrendStats s = ActiveChannelStats(span);
    EXPECT_EQ(s.channel, 5);
    EXPECT_EQ(s.count, 3u);
    EXPECT_FLOAT_EQ(s.min, 4.0f);
    EXPECT_FLOAT_EQ(s.max, 6.0f);
    EXPECT_FLOAT_EQ(s.mean, 5.0f);
    EXPECT_NEAR(s.stddev, std::sqrt(2.0 / 3.0), 1e-5);

    // Back on CH8: only since then, not its readings before CH5.
    span.push_back(At(seconds(9), 8, true, 17.0f));
    span.push_back(At(seconds(10), 8, false, 0.0f));
    s = ActiveChannelStats(span);
    EXPECT_EQ(s.channel, 8);
    EXPECT_EQ(s.count, 1u);
    EXPECT_FLOAT_EQ(s.mean, 17.0f);
    EXPECT_FLOAT_EQ(s.stddev, 0.0f);

    // A channel whose polls all failed has no statistics, but is named.
    span.push_back(At(seconds(11), 0, false, 0.0f));
    s = ActiveChannelStats(span);
    EXPECT_EQ(s.channel, 0);
    EXPECT_EQ(s.count, 0u);
    EXPECT_EQ(ActiveChannelStats({}).channel, -1);
}

TEST(PollHistory, StatisticsOfTheGoodReadingsOnly) {
    const std::vector<PollSample> samples{
        Sample(kNoon, 1, true, 4.0f), Sample(kNoon, 1, false, 0.0f), Sample(kNoon, 2, true, 8.0f),
        Sample(kNoon, 2, true, 12.0f), Sample(kNoon, 2, true, std::nanf(""))};
    const TrendStats s = ComputeStats(samples);
    EXPECT_EQ(s.count, 3u);
    EXPECT_FLOAT_EQ(s.min, 4.0f);
    EXPECT_FLOAT_EQ(s.max, 12.0f);
    EXPECT_FLOAT_EQ(s.mean, 8.0f);
    EXPECT_NEAR(s.stddev, std::sqrt(32.0 / 3.0), 1e-5);
    EXPECT_EQ(ComputeStats({Sample(kNoon, 1, false, 0.0f)}).count, 0u);
}

}  // namespace
}  // namespace engine
