// The store on a healthy file: runs, results and points read back exactly,
// a transmitter's history, calibration records and their import, the schema
// version, the folder it makes.
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "store_support.h"

namespace store::test {
namespace {

using StoreRuns = StoreFolder;

TEST_F(StoreRuns, ARunWithItsResultsAndPointsReadsBackExactly) {
    Store store;
    ASSERT_TRUE(store.Open(m_db.string()).ok());
    const TestRun run = SampleRun(Minute(0));
    long long id = 0;
    ASSERT_TRUE(store.WriteRun(run, &id).ok());
    EXPECT_GT(id, 0);

    // Read back through a store of its own, as another program would.
    Store reader;
    ASSERT_TRUE(reader.Open(m_db.string()).ok());
    std::vector<TestRun> runs;
    ASSERT_TRUE(reader.Runs(&runs).ok());
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].id, id);
    ExpectSameRun(runs[0], run);
    EXPECT_TRUE(runs[0].results.empty()) << "the list leaves the results out";

    std::vector<DeviceResult> results;
    ASSERT_TRUE(reader.RunResults(id, &results).ok());
    ASSERT_EQ(results.size(), run.results.size());
    for (size_t i = 0; i < results.size(); ++i) ExpectSameResult(results[i], run.results[i]);

    ASSERT_TRUE(reader.RunResults(id + 1, &results).ok());
    EXPECT_TRUE(results.empty());
}

TEST_F(StoreRuns, UnusualValuesSurviveTheRoundTrip) {
    Store store;
    ASSERT_TRUE(store.Open(m_db.string()).ok());
    TestRun run = SampleRun(At(-1));  // before 1970
    run.deviceNumber = -1;            // never identified: NULL, not -1
    run.pointsMa = {0.1 + 0.2, 3.8, 20.5};
    run.operatorName = std::string("quote ' and \0 inside", 20);
    run.results.resize(1);
    run.results[0].tag = "%_\\";
    run.results[0].points = {{4, std::numeric_limits<double>::infinity(), -0.0, 1e-300, true}};
    long long id = 0;
    ASSERT_TRUE(store.WriteRun(run, &id).ok());

    std::vector<TestRun> runs;
    ASSERT_TRUE(store.Runs(&runs).ok());
    ASSERT_EQ(runs.size(), 1u);
    ExpectSameRun(runs[0], run);
    std::vector<DeviceResult> results;
    ASSERT_TRUE(store.RunResults(id, &results).ok());
    ASSERT_EQ(results.size(), 1u);
    ExpectSameResult(results[0], run.results[0]);
}

TEST_F(StoreRuns, NewestFirstWhateverOrderTheyWereWrittenIn) {
    Store store;
    ASSERT_TRUE(store.Open(m_db.string()).ok());
    for (const int minute : {5, 1, 9, 3}) {
        TestRun run = SampleRun(Minute(minute));
        run.settleMs = minute;
        ASSERT_TRUE(store.WriteRun(run).ok());
    }
    std::vector<TestRun> runs;
    ASSERT_TRUE(store.Runs(&runs).ok());
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0].settleMs, 9);
    EXPECT_EQ(runs[1].settleMs, 5);
    EXPECT_EQ(runs[2].settleMs, 3);
    EXPECT_EQ(runs[3].settleMs, 1);
    ASSERT_TRUE(store.Runs(&runs, 2).ok());
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1].settleMs, 5);
}

using StoreHistory = StoreFolder;

TEST_F(StoreHistory, ATransmitterByIdentityOrTagNewestFirst) {
    Store store;
    ASSERT_TRUE(store.Open(m_db.string()).ok());
    // The transmitter of channel 1 moves to channel 4 and fails in the
    // third run; its tag is reused later by another transmitter.
    std::vector<long long> ids;
    for (int n = 0; n < 3; ++n) {
        TestRun run = SampleRun(Minute(10 * n));
        if (n == 2) {
            run.results[0].channel = 4;
            run.results[0].verdict = Verdict::kFail;
            run.results[0].points[0].pass = false;
        }
        long long id = 0;
        ASSERT_TRUE(store.WriteRun(run, &id).ok());
        ids.push_back(id);
    }
    TestRun later = SampleRun(Minute(100));
    later.results = {later.results[0]};
    later.results[0].identity = "1A-2B-0000FF";
    ASSERT_TRUE(store.WriteRun(later).ok());

    std::vector<HistoryEntry> history;
    ASSERT_TRUE(store.DeviceHistory("1a-2b-00c0de", &history).ok()) << "hex in either case";
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(history[0].run.id, ids[2]);
    EXPECT_EQ(history[1].run.id, ids[1]);
    EXPECT_EQ(history[2].run.id, ids[0]);
    EXPECT_EQ(history[0].result.channel, 4);
    EXPECT_EQ(history[0].result.verdict, Verdict::kFail);
    EXPECT_FALSE(history[0].result.points[0].pass);
    ExpectSameResult(history[1].result, SampleRun(Minute(0)).results[0]);
    ExpectSameRun(history[2].run, SampleRun(Minute(0)));

    // By tag: the reused tag finds both transmitters.
    ASSERT_TRUE(store.DeviceHistory("PT-101", &history).ok());
    ASSERT_EQ(history.size(), 4u);
    EXPECT_EQ(history[0].result.identity, "1A-2B-0000FF");

    ASSERT_TRUE(store.DeviceHistory("PT-10", &history).ok());
    EXPECT_TRUE(history.empty()) << "exact only";
    ASSERT_TRUE(store.DeviceHistory("", &history).ok());
    EXPECT_TRUE(history.empty()) << "the empty channels have no identity to find them by";
}

TEST_F(StoreHistory, PartOfATagFindsItsTransmittersAndWildcardsAreText) {
    Store store;
    ASSERT_TRUE(store.Open(m_db.string()).ok());
    TestRun run = SampleRun(Minute(0));
    run.results[2].tag = "FT_200";
    run.results[3].tag = "FT2000";
    ASSERT_TRUE(store.WriteRun(run).ok());

    std::vector<HistoryEntry> history;
    ASSERT_TRUE(store.TagHistory("pt-1", &history).ok());
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].result.tag, "PT-101");
    ASSERT_EQ(history[0].result.points.size(), 3u);

    ASSERT_TRUE(store.TagHistory("T", &history).ok());
    EXPECT_EQ(history.size(), 4u);
    ASSERT_TRUE(store.TagHistory("T_2", &history).ok());
    ASSERT_EQ(history.size(), 1u) << "_ is no wildcard";
    EXPECT_EQ(history[0].result.tag, "FT_200");
    ASSERT_TRUE(store.TagHistory("%", &history).ok());
    EXPECT_TRUE(history.empty()) << "% is no wildcard";
    ASSERT_TRUE(store.TagHistory("", &history).ok());
    EXPECT_TRUE(history.empty());
}

using StoreCalibrations = StoreFolder;

TEST_F(StoreCalibrations, NewestFirstAndTheLastWrittenCalibrationOfAFixture) {
    Store store;
    ASSERT_TRUE(store.Open(m_db.string()).ok());
    CalibrationEntry written = SampleCalibration("20260504-093012-3", Minute(0), 3);
    written.certificateNumber = "K-2026-0017";
    written.dueDate = "2027-05-04";
    const CalibrationEntry entries[] = {
        written,
        SampleCalibration("20260504-093112-3", Minute(1), 3, "calibration", "failed"),
        SampleCalibration("20260504-093212-3", Minute(2), 3, "verification", "pass"),
        SampleCalibration("20260504-093312-5", Minute(3), 5),
        SampleCalibration("20260504-093412-unknown", Minute(4), -1),
    };
    for (const CalibrationEntry& e : entries) ASSERT_TRUE(store.AddCalibration(e).ok()) << e.stem;

    std::vector<CalibrationEntry> listed;
    ASSERT_TRUE(store.Calibrations(&listed).ok());
    ASSERT_EQ(listed.size(), 5u);
    for (size_t i = 0; i < listed.size(); ++i) ExpectSameCalibration(listed[i], entries[4 - i]);
    ASSERT_TRUE(store.Calibrations(&listed, 1).ok());
    ASSERT_EQ(listed.size(), 1u);

    // Neither the later failed calibration nor the verification counts.
    std::optional<CalibrationEntry> last;
    ASSERT_TRUE(store.LastWrittenCalibration(3, &last).ok());
    ASSERT_TRUE(last.has_value());
    ExpectSameCalibration(*last, written);
    ASSERT_TRUE(store.LastWrittenCalibration(5, &last).ok());
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->stem, "20260504-093312-5");
    ASSERT_TRUE(store.LastWrittenCalibration(4, &last).ok());
    EXPECT_FALSE(last.has_value());
    ASSERT_TRUE(store.LastWrittenCalibration(-1, &last).ok());
    EXPECT_FALSE(last.has_value()) << "an unknown fixture has no due date";

    CalibrationEntry again = SampleCalibration("20260504-093012-3", Minute(9), 3);
    const Status exists = store.AddCalibration(again);
    EXPECT_EQ(exists.code, ErrorCode::kExists);
    EXPECT_NE(exists.reason.find("20260504-093012-3"), std::string::npos) << exists.reason;
    ASSERT_TRUE(store.LastWrittenCalibration(3, &last).ok());
    EXPECT_EQ(last->time, Minute(0)) << "the stored one is kept";
}

TEST_F(StoreCalibrations, RecordsOnlyInFilesAreImportedOnceWhenTheDatabaseIsMade) {
    const std::vector<CalibrationEntry> files = {
        SampleCalibration("20260101-080000-3", Minute(-10), 3),
        SampleCalibration("20260101-090000-3", Minute(-5), 3, "verification", "fail"),
        SampleCalibration("", Minute(-1), 3),
    };
    {
        Store store;
        ASSERT_TRUE(store.Open(m_db.string()).ok());
        EXPECT_TRUE(store.CreatedNow());
        int imported = -1;
        ASSERT_TRUE(store.ImportCalibrations(files, &imported).ok());
        EXPECT_EQ(imported, 2) << "a record without a stem stays out";
        // A record written since, then the folder listed again.
        ASSERT_TRUE(
            store.AddCalibration(SampleCalibration("20260101-100000-3", Minute(0), 3)).ok());
        std::vector<CalibrationEntry> again = files;
        again.push_back(
            SampleCalibration("20260101-100000-3", Minute(0), 3, "calibration", "failed"));
        again.push_back(SampleCalibration("20260101-110000-3", Minute(1), 3));
        ASSERT_TRUE(store.ImportCalibrations(again, &imported).ok());
        EXPECT_EQ(imported, 1) << "only the stem not stored yet";
    }
    Store store;
    ASSERT_TRUE(store.Open(m_db.string()).ok());
    EXPECT_FALSE(store.CreatedNow()) << "the second open imports nothing";
    std::vector<CalibrationEntry> listed;
    ASSERT_TRUE(store.Calibrations(&listed).ok());
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_EQ(listed[1].result, "written") << "an import never replaces a stored record";
    ExpectSameCalibration(listed[3], files[0]);
}

using StoreSchema = StoreFolder;

TEST_F(StoreSchema, VersionOneInWalAndANewerVersionIsRefusedUntouched) {
    {
        Store store;
        ASSERT_TRUE(store.Open(m_db.string()).ok());
        ASSERT_TRUE(store.WriteRun(SampleRun(Minute(0))).ok());
    }
    {
        RawDb raw(m_db);
        EXPECT_EQ(raw.Value("PRAGMA user_version"), "1");
        EXPECT_EQ(raw.Value("PRAGMA journal_mode"), "wal");
        ASSERT_EQ(raw.Exec("PRAGMA user_version = 2"), SQLITE_OK);
    }
    Store store;
    const Status refused = store.Open(m_db.string());
    EXPECT_EQ(refused.code, ErrorCode::kNewerSchema);
    EXPECT_NE(refused.reason.find("version 2"), std::string::npos) << refused.reason;
    std::vector<TestRun> runs;
    EXPECT_EQ(store.Runs(&runs).code, ErrorCode::kNewerSchema) << "the refusal is kept";
    EXPECT_EQ(store.WriteRun(SampleRun(Minute(1))).code, ErrorCode::kNewerSchema);
    EXPECT_FALSE(store.CreatedNow());

    RawDb raw(m_db);
    EXPECT_EQ(raw.Value("PRAGMA user_version"), "2");
    EXPECT_EQ(raw.Value("SELECT count(*) FROM test_run"), "1");
}

TEST_F(StoreSchema, AnotherProgramsDatabaseIsLeftAlone) {
    {
        RawDb raw(m_db);
        ASSERT_EQ(raw.Exec("CREATE TABLE notes (text TEXT)"), SQLITE_OK);
    }
    Store store;
    EXPECT_EQ(store.Open(m_db.string()).code, ErrorCode::kForeign);
    RawDb raw(m_db);
    EXPECT_EQ(raw.Value("SELECT count(*) FROM sqlite_master"), "1");
    EXPECT_EQ(raw.Value("PRAGMA journal_mode"), "delete");
}

TEST_F(StoreSchema, AnEmptyFileIsMadeADatabase) {
    { std::ofstream(m_db, std::ios::binary); }
    Store store;
    ASSERT_TRUE(store.Open(m_db.string()).ok());
    EXPECT_TRUE(store.CreatedNow());
    EXPECT_TRUE(store.WriteRun(SampleRun(Minute(0))).ok());
}

TEST_F(StoreSchema, MadeInThePrivateDataFolder) {
    const fs::path data = m_dir / "data";
    ASSERT_EQ(::setenv("XDG_DATA_HOME", data.c_str(), 1), 0);
    const std::string path = Store::DefaultPath();
    EXPECT_EQ(path, (data / "tarvok" / "tarvok.db").string());
    Store store;
    ASSERT_TRUE(store.Open().ok());
    EXPECT_EQ(store.Path(), path);
    EXPECT_TRUE(fs::is_regular_file(path));
    for (const fs::path& made : {data, data / "tarvok"}) {
        struct stat st {};
        ASSERT_EQ(::stat(made.c_str(), &st), 0) << made;
        EXPECT_EQ(st.st_mode & 07777, 0700u) << made;
    }
    ::unsetenv("XDG_DATA_HOME");
}

TEST(StoreStatus, EachKindOfFailureIsToldOnce) {
    ErrorOnce told;
    EXPECT_FALSE(told.First({}));
    EXPECT_TRUE(told.First({ErrorCode::kReadOnly, "database is read-only"}));
    EXPECT_FALSE(told.First({ErrorCode::kReadOnly, "database is read-only (Permission denied)"}));
    EXPECT_TRUE(told.First({ErrorCode::kLocked, "database is locked"}));
    EXPECT_FALSE(told.First({ErrorCode::kLocked, "database is locked"}));

    Store never;
    std::vector<TestRun> runs;
    EXPECT_EQ(never.Runs(&runs).code, ErrorCode::kCannotOpen) << "not opened";
}

}  // namespace
}  // namespace store::test
