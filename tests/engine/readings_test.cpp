// What the window keeps of its polls: the readings log's rows, the trend's
// history and statistics, and the NE 43 band of a reading.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "engine/poll_history.h"
#include "engine/readings_log.h"
#include "platform/append_file.h"
#include "platform/wall_clock.h"
#include "tests/engine/log_files.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

constexpr const char* kHeader = "time,channel,loop_current_mA\n";
// Clock milliseconds for the writer to catch up: far beyond what load costs.
constexpr uint32_t kWaitMs = 20000;

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
    log.Append(Sample(kNoon, 1, true, 4.0f));  // not logging: nothing kept
    ASSERT_TRUE(log.Open(path.string(), nullptr, nullptr));
    ASSERT_TRUE(log.WaitUntilWritten(kWaitMs));
    EXPECT_EQ(Read(path), std::string(kHeader)) << "the header before the first poll";
    log.Append(Sample(kNoon, 3, true, 4.0f));
    // On disk at once, not at close.
    ASSERT_TRUE(log.WaitUntilWritten(kWaitMs));
    EXPECT_EQ(Read(path), std::string(kHeader) + "2026-12-10T05:42:00.123+00:00,03,4.000\n");
    log.Close();
    EXPECT_FALSE(log.IsOpen());
    ASSERT_TRUE(log.Open(path.string(), nullptr, nullptr));
    log.Append(Sample(kNoon, 3, false, 0.0f));
    ASSERT_TRUE(log.WaitUntilWritten(kWaitMs));
    EXPECT_EQ(log.Rows(), 1u);
    log.Close();
    EXPECT_EQ(Read(path), std::string(kHeader) +
                              "2026-12-10T05:42:00.123+00:00,03,4.000\n"
                              "2026-12-10T05:42:00.123+00:00,03,\n")
        << "appended, without a second header";
}

// A file whose last row was cut (a full disk, a crash) gets a line end
// before the first new row; one that ends whole gets nothing.
TEST_F(ReadingsLogTest, AFileEndingInACutRowGetsALineEndFirst) {
    const fs::path cut = dir / "cut.csv";
    const fs::path whole = dir / "whole.csv";
    const fs::path empty = dir / "empty.csv";
    const std::string old = std::string(kHeader) + "2026-12-10T05:42:00.123+00:00,01,12.037\n";
    std::ofstream(cut) << old << "2026-12-10T05:42:00.873+00:00,01,12";
    std::ofstream(whole) << old;
    std::ofstream(empty).flush();
    for (const fs::path& p : {cut, whole, empty}) {
        ReadingsLog log;
        ASSERT_TRUE(log.Open(p.string(), nullptr, nullptr)) << p;
        log.Append(Sample(kNoon, 2, true, 8.0f));
        ASSERT_TRUE(log.WaitUntilWritten(kWaitMs));
    }
    const std::string row = "2026-12-10T05:42:00.123+00:00,02,8.000\n";
    EXPECT_EQ(Read(cut), old + "2026-12-10T05:42:00.873+00:00,01,12\n" + row);
    EXPECT_EQ(Read(whole), old + row);
    EXPECT_EQ(Read(empty), std::string(kHeader) + row);
}

// Only a regular file is logged to. A FIFO nobody reads would hold the
// open, and one somebody reads each write once it is full; a device or a
// folder is no log. Refused at once, with the reason.
TEST_F(ReadingsLogTest, OnlyARegularFileIsTaken) {
    const fs::path fifo = dir / "fifo.csv";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Should the open wait on the FIFO after all, a reader comes to end
    // the wait, so that the test fails rather than hangs.
    std::atomic<bool> done{false};
    std::thread rescue([&] {
        for (int i = 0; i < 1000 && !done.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (done.load()) return;
        const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        while (!done.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::close(fd);
    });
    struct Case {
        std::string path;
        std::string reason;
    };
    const std::vector<Case> cases{{fifo.string(), "这是一个命名管道(FIFO), 不是普通文件"},
                                  {dir.string(), "这是一个文件夹, 不是普通文件"},
                                  {"/dev/null", "这是一个设备, 不是普通文件"},
                                  {(dir / "no" / "such.csv").string(), std::strerror(ENOENT)}};
    for (const Case& c : cases) {
        ReadingsLog log;
        std::string error;
        EXPECT_FALSE(log.Open(c.path, nullptr, &error)) << c.path;
        EXPECT_EQ(error, c.reason) << c.path;
        EXPECT_FALSE(log.IsOpen());
    }
    done.store(true);
    rescue.join();
}

TEST_F(ReadingsLogTest, AWriterStuckInTheFileHoldsNothingElseAndDropsAreToldOnce) {
    auto gate = std::make_shared<test::StuckFile::Gate>();
    std::mutex mutex;
    std::vector<LogReport> reports;
    {
        ReadingsLog log(4);
        log.Open(std::make_unique<test::StuckFile>(gate), "stuck.csv", [&](const LogReport& r) {
            std::lock_guard lock(mutex);
            reports.push_back(r);
        });
        ASSERT_TRUE(gate->WaitFor([&] { return gate->appends == 1; })) << "the header, stuck";
        // The worker's rows: queued up to the bound, then dropped; none waits.
        for (int i = 0; i < 10; ++i) log.Append(Sample(kNoon, 1, true, 4.0f));
        EXPECT_EQ(log.Dropped(), 6u);
        EXPECT_TRUE(log.IsOpen());
        EXPECT_EQ(log.Path(), "stuck.csv");
        EXPECT_FALSE(log.WaitUntilWritten(50));
        {
            std::lock_guard lock(mutex);
            ASSERT_EQ(reports.size(), 1u);
            EXPECT_EQ(reports[0].kind, LogReport::kDropping);
            EXPECT_EQ(reports[0].dropped, 1u) << "told as the first row goes";
        }
        log.Close();  // returns with the write still stuck
        EXPECT_FALSE(log.IsOpen());
        log.Append(Sample(kNoon, 1, true, 4.0f));
        EXPECT_EQ(log.Dropped(), 6u) << "closed: not logging, nothing dropped";
    }  // the log's end waits a bounded time, then leaves the writer behind
    {
        std::lock_guard lock(gate->mutex);
        EXPECT_FALSE(gate->destroyed) << "still in its write";
    }
    gate->Release();
    // Once its write returns, the writer writes the rows it had queued and
    // ends on its own, closing the file.
    ASSERT_TRUE(gate->WaitFor([&] { return gate->destroyed; }));
    EXPECT_EQ(gate->appends, 2) << "the header, then the four queued rows at once";
    std::lock_guard lock(mutex);
    EXPECT_EQ(reports.size(), 1u) << "nothing told once closed";
}

// The file is cut back to the last whole row of a write cut short, unless
// somebody else appended since.
TEST_F(ReadingsLogTest, AWriteCutShortIsCutBackToItsLastWholeRow) {
    const std::string row = "2026-12-10T05:42:00.123+00:00,01,4.000\n";
    for (const bool intruder : {false, true}) {
        SCOPED_TRACE(intruder ? "another writer appended meanwhile" : "alone");
        std::string data = "x";  // a cut row from before: a line end first
        const std::string appended = "other\n";
        // Room for the line end, two rows and a half.
        const size_t room = 2 + 2 * row.size() + row.size() / 2;
        std::string reason;
        {
            ReadingsLog log;
            log.Open(std::make_unique<test::FillingFile>(&data, room, intruder ? appended : ""),
                     "f", [&](const LogReport& r) { reason = r.reason; });
            ASSERT_TRUE(log.WaitUntilWritten(kWaitMs));
            // All five in one write or in several: the cut comes after two.
            for (int i = 0; i < 5; ++i) log.Append(Sample(kNoon, 1, true, 4.0f));
            ASSERT_TRUE(log.WaitUntilWritten(kWaitMs));
            EXPECT_EQ(log.Rows(), 2u);
            EXPECT_FALSE(log.IsOpen());
        }
        EXPECT_EQ(reason, "No space left on device");
        if (intruder)
            EXPECT_EQ(data, "x\n" + row + row + row.substr(0, row.size() / 2) + appended);
        else
            EXPECT_EQ(data, "x\n" + row + row);
    }
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
