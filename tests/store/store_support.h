// What the store's tests share: a folder of the test's own, a run and a
// calibration entry to store, exact comparisons, and a connection of the
// test's own on the same file.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <string>

#include "store/store.h"

namespace store::test {

namespace fs = std::filesystem;

inline Time At(long long ms) { return Time(std::chrono::milliseconds(ms)); }

// 2026-05-04 09:30:12.345 UTC, and minutes after it.
inline Time Minute(int n) { return At(1777887012345LL + 60000LL * n); }

inline TestRun SampleRun(Time time) {
    TestRun run;
    run.time = time;
    run.deviceNumber = 7;
    run.port = "COM3";
    run.operatorName = "张工";
    run.softwareVersion = "3.0";
    run.pointsMa = {4, 12, 20};
    run.settleMs = 1500;
    run.tolerancePercentOfSpan = 0.1;
    DeviceResult pass;
    pass.channel = 1;
    pass.identity = "1A-2B-00C0DE";
    pass.tag = "PT-101";
    pass.descriptor = "INLET PRESSURE";
    pass.date = "2026-03-01";
    pass.longTag = "Inlet pressure, line 2";
    pass.verdict = Verdict::kPass;
    pass.points = {{4, 4.0031, 0.0031, 0.019375, true},
                   {12, 12.0 + 1e-9, 1e-9, 6.25e-9, true},
                   {20, 19.9987, -0.0013, -0.008125, true}};
    DeviceResult fail = pass;
    fail.channel = 2;
    fail.identity = "1A-2B-00BEEF";
    fail.tag = "TT-7";
    fail.verdict = Verdict::kFail;
    // The 20 mA point was never read.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    fail.points = {
        {4, 4.1, 0.1, 0.625, false}, {12, 12.0, 0.0, 0.0, true}, {20, nan, nan, nan, false}};
    DeviceResult error;
    error.channel = 5;
    error.identity = "1A-2B-000005";
    error.verdict = Verdict::kError;
    error.reason = "no reply to command 40";
    DeviceResult empty;
    empty.channel = 9;
    empty.verdict = Verdict::kEmpty;
    run.results = {pass, fail, error, empty};
    return run;
}

inline CalibrationEntry SampleCalibration(const std::string& stem, Time time, int deviceNumber,
                                          const std::string& kind = "calibration",
                                          const std::string& result = "written") {
    CalibrationEntry e;
    e.stem = stem;
    e.kind = kind;
    e.time = time;
    e.deviceNumber = deviceNumber;
    e.result = result;
    e.json = R"({"kind":")" + kind + R"(","operator":"张工","result":")" + result + R"("})";
    return e;
}

inline bool SameFigure(double a, double b) { return std::isnan(a) ? std::isnan(b) : a == b; }

inline void ExpectSameResult(const DeviceResult& got, const DeviceResult& want) {
    SCOPED_TRACE("channel " + std::to_string(want.channel));
    EXPECT_EQ(got.channel, want.channel);
    EXPECT_EQ(got.identity, want.identity);
    EXPECT_EQ(got.tag, want.tag);
    EXPECT_EQ(got.descriptor, want.descriptor);
    EXPECT_EQ(got.date, want.date);
    EXPECT_EQ(got.longTag, want.longTag);
    EXPECT_EQ(got.verdict, want.verdict);
    EXPECT_EQ(got.reason, want.reason);
    ASSERT_EQ(got.points.size(), want.points.size());
    for (size_t i = 0; i < want.points.size(); ++i) {
        const PointResult& g = got.points[i];
        const PointResult& w = want.points[i];
        EXPECT_EQ(g.nominalMa, w.nominalMa) << "point " << i;
        EXPECT_TRUE(SameFigure(g.readingMa, w.readingMa)) << "point " << i << ": " << g.readingMa;
        EXPECT_TRUE(SameFigure(g.errorMa, w.errorMa)) << "point " << i << ": " << g.errorMa;
        EXPECT_TRUE(SameFigure(g.errorPercentOfSpan, w.errorPercentOfSpan)) << "point " << i;
        EXPECT_EQ(g.pass, w.pass) << "point " << i;
    }
}

// The run's own columns; results are compared on their own.
inline void ExpectSameRun(const TestRun& got, const TestRun& want) {
    EXPECT_EQ(got.time, want.time);
    EXPECT_EQ(got.deviceNumber, want.deviceNumber);
    EXPECT_EQ(got.port, want.port);
    EXPECT_EQ(got.operatorName, want.operatorName);
    EXPECT_EQ(got.softwareVersion, want.softwareVersion);
    EXPECT_EQ(got.pointsMa, want.pointsMa);
    EXPECT_EQ(got.settleMs, want.settleMs);
    EXPECT_EQ(got.tolerancePercentOfSpan, want.tolerancePercentOfSpan);
}

inline void ExpectSameCalibration(const CalibrationEntry& got, const CalibrationEntry& want) {
    EXPECT_EQ(got.stem, want.stem);
    EXPECT_EQ(got.kind, want.kind);
    EXPECT_EQ(got.time, want.time);
    EXPECT_EQ(got.deviceNumber, want.deviceNumber);
    EXPECT_EQ(got.result, want.result);
    EXPECT_EQ(got.certificateNumber, want.certificateNumber);
    EXPECT_EQ(got.dueDate, want.dueDate);
    EXPECT_EQ(got.json, want.json);
}

// A connection of the test's own, closed with it.
class RawDb {
public:
    explicit RawDb(const fs::path& path) {
        EXPECT_EQ(sqlite3_open(path.string().c_str(), &m_db), SQLITE_OK);
    }
    ~RawDb() { sqlite3_close_v2(m_db); }
    RawDb(const RawDb&) = delete;
    RawDb& operator=(const RawDb&) = delete;

    int Exec(const std::string& sql) {
        return sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr);
    }
    // The first column of the first row as text; empty when none.
    std::string Value(const std::string& sql) {
        sqlite3_stmt* s = nullptr;
        std::string value;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW && sqlite3_column_text(s, 0) != nullptr)
            value = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        sqlite3_finalize(s);
        return value;
    }

private:
    sqlite3* m_db = nullptr;
};

class StoreFolder : public ::testing::Test {
protected:
    StoreFolder() { fs::create_directories(m_dir); }
    ~StoreFolder() override {
        std::error_code ec;
        fs::permissions(m_dir, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(m_dir, ec);
    }

    static fs::path FreshDir() {
        static std::atomic<int> counter{0};
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        return fs::temp_directory_path() /
               ("tarvok-store-test-" + std::to_string(now) + "-" + std::to_string(++counter));
    }

    const fs::path m_dir = FreshDir();
    const fs::path m_db = m_dir / "tarvok.db";
};

}  // namespace store::test
