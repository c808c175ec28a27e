// The calibration record on its own: errors and verdicts, its JSON and CSV,
// the records folder, files written whole, and the listing.
#include "engine/calibration_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "line_support.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

CalibrationRecord Sample() {
    CalibrationRecord r;
    r.time = std::chrono::system_clock::now();
    r.deviceNumber = 3;
    r.port = "COM7";
    r.settings = {"张工", "参考表 A-17, 有效期至 2027-03-01", 0.1};
    r.points = {{0, 0, 0.013}, {4, 4.0, 4.016}, {8, 8.01, 7.9939}, {12, 12, 12.0161}};
    return r;
}

class TempFolder : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(root); }
    const fs::path root = test::FreshTempPath("tarvok-record-test");
};

TEST(RecordFigures, ErrorsInMilliampsAndPercentOfSpanAgainstTheTolerance) {
    const RecordPoint atTolerance{4, 4.0, 4.016};
    EXPECT_EQ(ErrorMa(atTolerance), 0.016);
    EXPECT_EQ(ErrorPercentOfSpan(atTolerance), 0.1);
    EXPECT_TRUE(PointPasses(atTolerance, 0.1)) << "exactly at the tolerance passes";
    const RecordPoint low{8, 8.01, 7.9939};
    EXPECT_EQ(ErrorMa(low), -0.0161);
    EXPECT_EQ(ErrorPercentOfSpan(low), -0.100625);
    EXPECT_FALSE(PointPasses(low, 0.1)) << "the magnitude counts";
    EXPECT_TRUE(PointPasses(low, 0.2));

    CalibrationRecord r = Sample();
    EXPECT_EQ(ResultText(r), "written");
    r.outcome = RecordOutcome::kFailed;
    EXPECT_EQ(ResultText(r), "failed");
    r.outcome = RecordOutcome::kCancelled;
    EXPECT_EQ(ResultText(r), "cancelled");
    r.kind = RecordKind::kVerification;
    EXPECT_EQ(ResultText(r), "cancelled");
    r.outcome = RecordOutcome::kCompleted;
    EXPECT_EQ(ResultText(r), "fail");
    r.settings.tolerancePercentOfSpan = 0.11;
    EXPECT_EQ(ResultText(r), "pass");
}

TEST(RecordFigures, ToleranceIsAPlainDecimalAboveZeroUpToTen) {
    double v = 0;
    for (const char* good : {"0.1", " 0.25 ", "10", "1.", "0.001"}) {
        EXPECT_TRUE(ParseTolerance(good, &v)) << good;
    }
    ASSERT_TRUE(ParseTolerance("0.05", &v));
    EXPECT_EQ(v, 0.05);
    EXPECT_EQ(FormatTolerance(v), "0.05");
    for (const char* bad : {"", "0", "0.0", "-0.1", "10.01", "1e-1", "0,1", "abc", ".", "inf"}) {
        EXPECT_FALSE(ParseTolerance(bad, &v)) << bad;
    }
}

TEST(RecordText, TheJsonCarriesEveryFieldInOrder) {
    const CalibrationRecord r = Sample();
    const std::string text = RecordJson(r);
    const Json j = Json::parse(text);
    std::vector<std::string> keys;
    for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
    // nlohmann::json sorts its keys; the order in the text is checked below.
    EXPECT_LT(text.find("\"kind\""), text.find("\"time\""));
    EXPECT_LT(text.find("\"time\""), text.find("\"fixture_device_number\""));
    EXPECT_LT(text.find("\"points\""), text.find("\"result\""));
    EXPECT_EQ(j["kind"], "calibration");
    EXPECT_TRUE(std::regex_match(j["time"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")))
        << j["time"];
    EXPECT_EQ(j["fixture_device_number"], 3);
    EXPECT_EQ(j["port"], "COM7");
    EXPECT_EQ(j["operator"], "张工");
    EXPECT_EQ(j["reference_meter"], "参考表 A-17, 有效期至 2027-03-01");
    EXPECT_EQ(j["tolerance_percent_of_span"], 0.1);
    EXPECT_EQ(j["result"], "written");
    EXPECT_FALSE(j.contains("failed_step"));
    ASSERT_EQ(j["points"].size(), 4u);
    const Json& p = j["points"][2];
    EXPECT_EQ(p["nominal_mA"], 8.0);
    EXPECT_EQ(p["reference_mA"], 8.01);
    EXPECT_EQ(p["reading_mA"], 7.9939);
    EXPECT_EQ(p["error_mA"], -0.0161);
    EXPECT_EQ(p["error_percent_of_span"], -0.100625);
    EXPECT_EQ(p["pass"], false);
    // Figures as decimals, not as binary fractions.
    EXPECT_NE(text.find("\"reference_mA\": 8.01,"), std::string::npos) << text;
    EXPECT_EQ(j["channel"], nullptr) << "unknown";
    EXPECT_EQ(j["transmitter"], "");
    EXPECT_FALSE(j.contains("as_left")) << "no check was made";
    EXPECT_EQ(keys.size(), 20u);
}

// A calibration checked right after it was written: both tables, and the
// check's verdict is the record's.
TEST(RecordText, AnAsLeftCheckIsTheCalibrationsVerdict) {
    CalibrationRecord r = Sample();
    r.channel = 5;
    r.transmitter = "26-0A-001005";
    for (int i = 1; i <= 5; ++i) r.asLeft.push_back({4.0 * i, 4.0 * i, 4.0 * i + 0.001});
    Json j = Json::parse(RecordJson(r));
    EXPECT_EQ(j["channel"], 5);
    EXPECT_EQ(j["transmitter"], "26-0A-001005");
    ASSERT_EQ(j["as_left"].size(), 5u);
    EXPECT_EQ(j["as_left"][4]["nominal_mA"], 20.0);
    EXPECT_EQ(j["as_left"][4]["error_mA"], 0.001);
    EXPECT_EQ(j["points"].size(), 4u) << "the as-found points as they were";
    EXPECT_EQ(j["result"], "pass") << "though as found a point was out";
    r.asLeft[2].readingMa = 12.02;
    EXPECT_EQ(ResultText(r), "fail");
    r.asLeft.clear();
    r.asLeftDeclined = true;
    EXPECT_EQ(ResultText(r), "written");
}

TEST(RecordText, UnknownFixtureFailedStepAndStrayBytes) {
    CalibrationRecord r = Sample();
    r.deviceNumber = -1;
    r.outcome = RecordOutcome::kFailed;
    r.failedStep = "201 #2 (00-00)";
    r.settings.operatorName = "bad \xFF byte";
    const Json j = Json::parse(RecordJson(r));
    EXPECT_TRUE(j["fixture_device_number"].is_null());
    EXPECT_EQ(j["result"], "failed");
    EXPECT_EQ(j["failed_step"], "201 #2 (00-00)");
    EXPECT_EQ(j["operator"], "bad \xEF\xBF\xBD byte") << "replaced, the record kept";
    EXPECT_EQ(RecordStem(r).substr(15), "-unknown");
}

TEST(RecordText, StemAndTimeAreOneLocalSecond) {
    const CalibrationRecord r = Sample();
    const std::string t = RecordTimeText(r);
    const std::string stem = RecordStem(r);
    ASSERT_EQ(stem.size(), 17u) << stem;
    EXPECT_EQ(stem, t.substr(0, 4) + t.substr(5, 2) + t.substr(8, 2) + "-" + t.substr(11, 2) +
                        t.substr(14, 2) + t.substr(17, 2) + "-3");
}

TEST(RecordText, TheCsvHasAHeaderAndARowPerPoint) {
    CalibrationRecord r = Sample();
    r.points.resize(3);
    EXPECT_EQ(RecordCsv(r),
              "nominal_mA,reference_mA,reading_mA,error_mA,error_percent_of_span,pass\n"
              "0,0,0.013,0.013,0.08125,true\n"
              "4,4,4.016,0.016,0.1,true\n"
              "8,8.01,7.9939,-0.0161,-0.100625,false\n");
}

TEST_F(TempFolder, SaveWritesTheThreeFilesWholeInAPrivateFolder) {
    const fs::path folder = root / "data" / "tarvok" / "records";
    const CalibrationRecord r = Sample();
    std::string stem, error;
    ASSERT_TRUE(SaveRecord(folder.string(), r, "%PDF-1.4 certificate", &stem, &error)) << error;
    EXPECT_EQ(stem, RecordStem(r));
    EXPECT_EQ(ReadFile(folder / (stem + ".json")), RecordJson(r));
    EXPECT_EQ(ReadFile(folder / (stem + ".csv")), RecordCsv(r));
    EXPECT_EQ(ReadFile(folder / (stem + ".pdf")), "%PDF-1.4 certificate");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 3) << "no temporary file left";
#ifndef _WIN32
    for (const fs::path& made : {root / "data", root / "data" / "tarvok", folder}) {
        struct stat st {};
        ASSERT_EQ(::stat(made.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u) << made;
    }
#endif

    // The same second and fixture again: a record of its own.
    std::string second;
    ASSERT_TRUE(SaveRecord(folder.string(), r, "%PDF", &second, &error)) << error;
    EXPECT_EQ(second, stem + "-2");
    EXPECT_EQ(ReadFile(folder / (stem + ".pdf")), "%PDF-1.4 certificate") << "not replaced";
}

TEST_F(TempFolder, AFolderThatCannotBeMadeIsAReasonNotACrash) {
    fs::create_directories(root);
    std::ofstream(root / "file") << "x";
    std::string stem = "unchanged", error;
    // Under a plain file: no folder, whoever runs the test.
    EXPECT_FALSE(SaveRecord((root / "file" / "records").string(), Sample(), "", &stem, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(stem, "unchanged");
    EXPECT_FALSE(SaveRecord("", Sample(), "", &stem, &error));
    EXPECT_EQ(error, "no home folder");
}

#ifndef _WIN32
TEST(RecordsFolder, XdgDataHomeThenHome) {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const std::string oldXdg = xdg != nullptr ? xdg : "";
    const std::string oldHome = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    ::setenv("XDG_DATA_HOME", "/tmp/xdg-data/", 1);
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(RecordsFolder(), "/tmp/xdg-data/tarvok/records");
    ::setenv("XDG_DATA_HOME", "relative/data", 1);
    EXPECT_EQ(RecordsFolder(), "/home/someone/.local/share/tarvok/records") << "ignored";
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(RecordsFolder(), "/home/someone/.local/share/tarvok/records");
    ::setenv("HOME", oldHome.c_str(), 1);
    if (xdg != nullptr) ::setenv("XDG_DATA_HOME", oldXdg.c_str(), 1);
}
#endif

TEST_F(TempFolder, TheListingIsNewestFirstAndSkipsWhatIsNoRecord) {
    EXPECT_TRUE(ListRecords((root / "missing").string()).empty());
    fs::create_directories(root);
    const auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(root / name, std::ios::binary) << text;
    };
    // 10:00 at +08:00 is 02:00 UTC, before 03:00 UTC although its stem
    // sorts later.
    write("20260504-100000-2.json", R"({"kind":"calibration","time":"2026-05-04T10:00:00+08:00",)"
                                    R"("fixture_device_number":2,"result":"written","points":[]})");
    write("20260504-030000-1.json", R"({"kind":"verification","time":"2026-05-04T03:00:00+00:00",)"
                                    R"("fixture_device_number":1,"result":"pass","points":[]})");
    write("20260503-120000-unknown.json",
          R"({"kind":"calibration","time":"2026-05-03T12:00:00-04:00",)"
          R"("fixture_device_number":null,"result":"failed","points":[]})");
    write("broken.json", "{\"kind\":");
    write("other.json", R"({"kind":"something","time":"2026-05-04T03:00:00Z","result":"x"})");
    write("badtime.json", R"({"kind":"calibration","time":"yesterday","result":"written"})");
    write("notes.txt", "not json");
    std::vector<std::string> problems;
    const auto list = ListRecords(root.string(), &problems);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].stem, "20260504-030000-1");
    EXPECT_EQ(list[0].kind, "verification");
    EXPECT_EQ(list[0].result, "pass");
    EXPECT_EQ(list[0].deviceNumber, 1);
    EXPECT_EQ(list[1].stem, "20260504-100000-2");
    EXPECT_EQ(list[2].stem, "20260503-120000-unknown") << "16:00 UTC the day before";
    EXPECT_EQ(list[2].deviceNumber, -1);
    EXPECT_EQ(Json::parse(list[1].json)["fixture_device_number"], 2);
    EXPECT_EQ(problems.size(), 3u) << "broken, other, badtime";
}

// What a record that lists looks like, with `extra` as one more member.
std::string RecordText(const std::string& kind, const std::string& result,
                       const std::string& extra = "") {
    return R"({"kind":")" + kind + R"(","time":"2026-05-04T10:00:00+08:00",)" +
           R"("fixture_device_number":2,"result":")" + result + "\"" +
           (extra.empty() ? "" : "," + extra) + "}";
}

// `depth` arrays one inside another, the record itself one level more.
std::string Nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

class Listing : public TempFolder {
protected:
    void Write(const std::string& name, const std::string& text) {
        fs::create_directories(root);
        std::ofstream(root / name, std::ios::binary) << text;
    }
    // The stems that list; the names of the files that do not.
    std::vector<std::string> Listed() {
        problems.clear();
        std::vector<std::string> stems;
        for (const RecordSummary& r : ListRecords(root.string(), &problems))
            stems.push_back(r.stem);
        std::sort(stems.begin(), stems.end());
        for (std::string& p : problems) p = fs::path(p).filename().string();
        std::sort(problems.begin(), problems.end());
        return stems;
    }
    std::vector<std::string> problems;
};

TEST_F(Listing, ARecordNestedTooDeepIsUnreadableAndNeverCrashesTheReader) {
    Write("deep.json", RecordText("calibration", "written", "\"x\":" + Nested(80000)));
    Write("good.json", RecordText("calibration", "written"));
    // 32 levels: the record and 31 arrays in it; one more is too deep.
    Write("at-limit.json", RecordText("calibration", "written", "\"x\":" + Nested(31)));
    Write("past-limit.json", RecordText("calibration", "written", "\"x\":" + Nested(32)));
    // Brackets in a text are no nesting, escaped quotes included.
    Write("brackets-in-text.json",
          RecordText("verification", "pass", R"("operator":"\"[{)" + std::string(100, '[') + "\""));
    // Not JSON at all, but deep: refused by the count, as the parser would.
    Write("open-brackets.json", std::string(200000, '['));
    EXPECT_EQ(Listed(), (std::vector<std::string>{"at-limit", "brackets-in-text", "good"}));
    EXPECT_EQ(problems,
              (std::vector<std::string>{"deep.json", "open-brackets.json", "past-limit.json"}));
}

TEST_F(Listing, OnlyAResultOfItsOwnKindMakesARecord) {
    for (const char* result : {"written", "failed", "cancelled"})
        Write(std::string("c-") + result + ".json", RecordText("calibration", result));
    for (const char* result : {"pass", "fail", "cancelled"})
        Write(std::string("v-") + result + ".json", RecordText("verification", result));
    // A calibration checked as left passes or fails.
    Write("c-pass.json", RecordText("calibration", "pass"));
    Write("c-fail.json", RecordText("calibration", "fail"));
    Write("v-written.json", RecordText("verification", "written"));
    Write("c-upper.json", RecordText("calibration", "WRITTEN"));
    Write("c-blank.json", RecordText("calibration", "written "));
    Write("c-escape.json", RecordText("calibration", R"(\u001b[2Jwritten)"));
    Write("kind-upper.json", RecordText("Calibration", "written"));
    EXPECT_EQ(Listed(),
              (std::vector<std::string>{"c-cancelled", "c-fail", "c-failed", "c-pass", "c-written",
                                        "v-cancelled", "v-fail", "v-pass"}));
    EXPECT_EQ(problems.size(), 5u);
}

TEST_F(Listing, ARecordMayHoldOneMebibyteAndNotAByteMore) {
    const std::string record = RecordText("calibration", "written");
    // Blanks after the record keep it JSON at any size.
    Write("full.json", record + std::string(1024 * 1024 - record.size(), ' '));
    Write("over.json", record + std::string(1024 * 1024 + 1 - record.size(), ' '));
    ASSERT_EQ(fs::file_size(root / "full.json"), 1024u * 1024u);
    EXPECT_EQ(Listed(), (std::vector<std::string>{"full"}));
    EXPECT_EQ(problems, (std::vector<std::string>{"over.json"}));
}

TEST(EscapeControls, ControlsAndOverridesEscapedEverythingElseKept) {
    EXPECT_EQ(EscapeControls("张工 RM-200 #2, 20 mA; a\\b \"q\" 🙂"),
              "张工 RM-200 #2, 20 mA; a\\b \"q\" 🙂");
    EXPECT_EQ(EscapeControls("\x1b[2J\r\n\t"), "\\u001b[2J\\u000d\\u000a\\u0009");
    EXPECT_EQ(EscapeControls(std::string("a\0b\x7f", 4)), "a\\u0000b\\u007f");
    // C1 (CSI as U+009B), a line separator, a right-to-left override.
    EXPECT_EQ(EscapeControls("\xc2\x9b"
                             "31m \xe2\x80\xa8 \xe2\x80\xae"
                             "fdp.exe"),
              "\\u009b31m \\u2028 \\u202efdp.exe");
    // No UTF-8: a stray byte, an overlong slash, a surrogate, a sequence cut
    // short; each byte on its own.
    EXPECT_EQ(EscapeControls("\xff \xc0\xaf \xed\xa0\x80 \xe5\xbc"),
              "\\xff \\xc0\\xaf \\xed\\xa0\\x80 \\xe5\\xbc");
    // A C1 byte standing alone (a terminal in an 8-bit mode reads it as CSI).
    EXPECT_EQ(EscapeControls("\x9b"
                             "2J"),
              "\\x9b2J");
}

TEST_F(Listing, TheListingsTextsAndJsonCarryNoRawControlCharacter) {
    CalibrationRecord r = Sample();
    r.settings.operatorName =
        "张工\x1b]0;owned\x07 \xc2\x9b"
        "2J \xe2\x80\xae"
        "x";
    std::string stem, error;
    ASSERT_TRUE(SaveRecord(root.string(), r, "%PDF", &stem, &error)) << error;
#ifndef _WIN32
    // Windows keeps control characters out of file names itself.
    fs::rename(root / (stem + ".json"), root / "a\x1b[31m.json");
    ASSERT_EQ(Listed(), (std::vector<std::string>{"a\x1b[31m"})) << "the stem names the file";
#endif
    const std::vector<RecordSummary> list = ListRecords(root.string());
    ASSERT_EQ(list.size(), 1u);
    for (const unsigned char c : list[0].json) {
        EXPECT_GE(c, 0x20) << list[0].json;
        EXPECT_NE(c, 0x7f) << list[0].json;
    }
    EXPECT_EQ(list[0].json.find("\xc2\x9b"), std::string::npos) << list[0].json;
    EXPECT_EQ(list[0].json.find("\xe2\x80\xae"), std::string::npos) << list[0].json;
    // Still JSON, and what it says is what the operator typed.
    EXPECT_EQ(Json::parse(list[0].json)["operator"], r.settings.operatorName);
}

// --- What a certificate needs of a record ------------------------------

std::chrono::year_month_day Date(int y, unsigned m, unsigned d) {
    return std::chrono::year_month_day{std::chrono::year{y}, std::chrono::month{m},
                                       std::chrono::day{d}};
}

RecordSettings Complete() {
    RecordSettings s("张工", "", 0.1);
    s.meterModel = "DMM-8";
    s.meterSerial = "SN 4711";
    s.meterDue = "2027-03-31";
    s.meterAccuracyPercent = 0.02;
    s.meterAccuracyUa = 2;
    return s;
}

TEST(RecordUncertainty, AKnownAccuracyWorkedByHand) {
    RecordSettings s = Complete();
    // At 12.000 mA: a = 12 x 0.02 % + 2 µA = 0.0024 + 0.002 = 0.0044 mA.
    // u = sqrt((0.0044/√3)² + (0.0005/√3)²) = sqrt(6.4533e-6 + 8.3333e-8)
    //   = sqrt(6.53667e-6) = 0.00255669; U = 2u = 0.00511338 mA.
    const RecordPoint p(12, 12.0, 12.003);
    EXPECT_NEAR(ExpandedUncertaintyMa(p, s), 0.005113, 1e-6);
    // At 4.000 mA with the meter's percentage only: a = 0.0008 mA,
    // U = 2 sqrt((0.0008² + 0.0005²) / 3) = 2 x 0.00054467 = 0.00108934.
    s.meterAccuracyUa = 0;
    EXPECT_NEAR(ExpandedUncertaintyMa(RecordPoint(4, 4.0, 4.0), s), 0.001089, 1e-6);
    // No accuracy at all leaves the resolution: 2 x 0.0005/√3 = 0.00057735.
    s.meterAccuracyPercent = 0;
    EXPECT_NEAR(ExpandedUncertaintyMa(RecordPoint(20, 20.0, 20.0), s), 0.000577, 1e-6);
}

TEST(RecordUncertainty, AnAveragedMeterAddsTheStandardDeviationOfItsMean) {
    const RecordSettings s = Complete();
    RecordPoint p(12, 12.0, 12.003);
    p.referenceSource = ReferenceSource::kMeter;
    p.meterStddevMa = 0.004;
    p.meterCount = 4;
    // Type A: 0.004/√4 = 0.002 mA; u² = 6.53667e-6 + 4e-6 = 1.053667e-5,
    // U = 2 x 0.00324602 = 0.00649205.
    EXPECT_NEAR(ExpandedUncertaintyMa(p, s), 0.006492, 1e-6);
    // One reading has no spread to speak of; a typed reference none at all.
    p.meterCount = 1;
    EXPECT_NEAR(ExpandedUncertaintyMa(p, s), 0.005113, 1e-6);
    p.meterCount = 4;
    p.referenceSource = ReferenceSource::kTyped;
    EXPECT_NEAR(ExpandedUncertaintyMa(p, s), 0.005113, 1e-6);
}

TEST(RecordDates, RealDatesOnlyAndMonthsAddedToTheLastDay) {
    std::chrono::year_month_day d{};
    EXPECT_TRUE(ParseDate("2027-03-31", &d));
    EXPECT_EQ(d, Date(2027, 3, 31));
    EXPECT_TRUE(ParseDate(" 2028-02-29 ", &d));
    for (const char* bad : {"2027-02-29", "2027-13-01", "2027-3-31", "27-03-31", "2027/03/31",
                            "2027-03-31x", "", "2027-00-10", "2027-04-31"})
        EXPECT_FALSE(ParseDate(bad, &d)) << bad;
    EXPECT_EQ(FormatDate(Date(2027, 3, 1)), "2027-03-01");
    EXPECT_EQ(AddMonths(Date(2026, 1, 31), 1), Date(2026, 2, 28));
    EXPECT_EQ(AddMonths(Date(2026, 12, 11), 12), Date(2027, 12, 11));
    EXPECT_EQ(AddMonths(Date(2027, 11, 30), 3), Date(2028, 2, 29));

    EXPECT_EQ(CalibrationDueState("2026-12-10", Date(2026, 12, 11)), DueState::kOverdue);
    EXPECT_EQ(CalibrationDueState("2026-12-11", Date(2026, 12, 11)), DueState::kSoon);
    EXPECT_EQ(CalibrationDueState("2027-01-10", Date(2026, 12, 11)), DueState::kSoon);
    EXPECT_EQ(CalibrationDueState("2027-01-11", Date(2026, 12, 11)), DueState::kNone);
    EXPECT_EQ(CalibrationDueState("", Date(2026, 12, 11)), DueState::kNone);
}

TEST(RecordSettingsCheck, EachMissingSettingIsNamedAndAPassedDueDateRefused) {
    const auto today = Date(2026, 12, 11);
    EXPECT_EQ(RecordSettingsProblem(Complete(), today), "");
    const std::pair<void (*)(RecordSettings&), std::string> cases[] = {
        {[](RecordSettings& s) { s.operatorName = "  "; }, "记录设置中未填写操作员"},
        {[](RecordSettings& s) { s.meterModel.clear(); }, "记录设置中未填写标准表型号"},
        {[](RecordSettings& s) { s.meterSerial.clear(); }, "记录设置中未填写标准表编号"},
        {[](RecordSettings& s) { s.meterDue.clear(); }, "记录设置中未填写标准表有效期"},
        {[](RecordSettings& s) { s.meterDue = "next year"; },
         "记录设置中标准表有效期不是日期 (YYYY-MM-DD)"},
        {[](RecordSettings& s) { s.meterDue = "2026-12-10"; }, "标准表已于2026-12-10到期"},
        {[](RecordSettings& s) { s.meterAccuracyPercent = s.meterAccuracyUa = 0; },
         "记录设置中未填写标准表准确度"},
    };
    for (const auto& [change, want] : cases) {
        RecordSettings s = Complete();
        change(s);
        EXPECT_EQ(RecordSettingsProblem(s, today), want);
    }
    // Due today is still within its date; one of the two accuracy terms is
    // enough.
    RecordSettings s = Complete();
    s.meterDue = "2026-12-11";
    s.meterAccuracyPercent = 0;
    EXPECT_EQ(RecordSettingsProblem(s, today), "");
    // The demo's meter is complete and due a year on.
    const RecordSettings demo = DemoRecordSettings(today);
    EXPECT_EQ(RecordSettingsProblem(demo, today), "");
    EXPECT_EQ(demo.meterDue, "2027-12-11");
}

TEST(RecordSettingsCheck, NumbersAsTyped) {
    double v = -1;
    int months = -1;
    EXPECT_TRUE(ParseAccuracyPercent("0", &v));
    EXPECT_TRUE(ParseAccuracyUa(" 2.5 ", &v));
    EXPECT_EQ(v, 2.5);
    EXPECT_FALSE(ParseAccuracyPercent("-0.1", &v));
    EXPECT_FALSE(ParseAccuracyPercent("10.5", &v));
    EXPECT_FALSE(ParseAccuracyUa("1e3", &v));
    EXPECT_TRUE(ParsePlausibility("0.5", &v));
    EXPECT_FALSE(ParsePlausibility("0", &v));
    EXPECT_TRUE(ParseIntervalMonths("12", &months));
    EXPECT_EQ(months, 12);
    for (const char* bad : {"0", "121", "-1", "+6", "6.5", "", "12 months"})
        EXPECT_FALSE(ParseIntervalMonths(bad, &months)) << bad;
}

TEST(RecordText, TheCertificateFieldsAndTheAsLeftTable) {
    CalibrationRecord r = Sample();
    r.settings = Complete();
    r.settings.referenceMeter = "参考表 A-17";
    r.settings.intervalMonths = 6;
    r.certificateNumber = "20261211-093000-3";
    r.softwareVersion = "3.1.0";
    r.channel = 5;
    r.transmitter = "26-0C-00A1B2";
    r.asLeft = {{4, 4.0, 4.001}, {8, 8.0, 8.0}, {12, 12.0, 11.999}, {16, 16, 16}, {20, 20, 20.002}};
    Json j = Json::parse(RecordJson(r));
    EXPECT_EQ(j["certificate_number"], "20261211-093000-3");
    EXPECT_EQ(j["software_version"], "3.1.0");
    EXPECT_EQ(j["channel"], 5);
    EXPECT_EQ(j["transmitter"], "26-0C-00A1B2");
    EXPECT_EQ(j["reference_meter"], "参考表 A-17") << "the free text as before";
    EXPECT_EQ(j["reference_meter_model"], "DMM-8");
    EXPECT_EQ(j["reference_meter_serial"], "SN 4711");
    EXPECT_EQ(j["reference_meter_due"], "2027-03-31");
    EXPECT_EQ(j["reference_accuracy"], Json::parse(R"({"percent_of_reading": 0.02, "uA": 2})"));
    EXPECT_NE(RecordJson(r).find(R"("uA": 2
)"), std::string::npos);
    EXPECT_EQ(j["decision_rule"], "simple acceptance (ILAC-G8)");
    for (const Json& p : j["points"]) EXPECT_TRUE(p["uncertainty_mA"].is_number()) << p;
    EXPECT_EQ(j["points"][3]["uncertainty_mA"], 0.005113);
    ASSERT_EQ(j["as_left"].size(), 5u);
    EXPECT_EQ(j["as_left"][4]["error_mA"], 0.002);
    EXPECT_EQ(j["result"], "pass") << "judged by the as-left points";
    std::chrono::year_month_day date{};
    ASSERT_TRUE(ParseDate(RecordTimeText(r).substr(0, 10), &date));
    EXPECT_EQ(j["due_date"], FormatDate(AddMonths(date, 6)));

    r.asLeft[2].readingMa = 12.1;
    EXPECT_EQ(Json::parse(RecordJson(r))["result"], "fail");
    // Declined: no as_left, the table only written.
    r.asLeft.clear();
    r.asLeftDeclined = true;
    j = Json::parse(RecordJson(r));
    EXPECT_FALSE(j.contains("as_left"));
    EXPECT_EQ(j["result"], "written");
    // Nothing comes due of a calibration that did not write its table, or
    // of a verification.
    r.outcome = RecordOutcome::kCancelled;
    EXPECT_TRUE(Json::parse(RecordJson(r))["due_date"].is_null());
    r.outcome = RecordOutcome::kCompleted;
    r.kind = RecordKind::kVerification;
    EXPECT_TRUE(Json::parse(RecordJson(r))["due_date"].is_null());
}

TEST_F(Listing, TheLastWrittenCalibrationOfAFixtureAndItsDueDate) {
    const auto record = [](const std::string& kind, const std::string& time, int device,
                           const std::string& result, const std::string& extra = "") {
        return R"({"kind":")" + kind + R"(","time":")" + time +
               R"(","fixture_device_number":)" + std::to_string(device) + R"(,"result":")" +
               result + "\"" + (extra.empty() ? "" : "," + extra) + "}";
    };
    // An old record without due_date falls due twelve months on.
    Write("a.json", record("calibration", "2025-06-01T10:00:00+08:00", 2, "written"));
    Write("b.json", record("calibration", "2026-01-15T10:00:00+08:00", 2, "pass",
                           R"("due_date":"2026-07-15")"));
    // Newer, but not written, of another fixture, or a verification.
    Write("c.json", record("calibration", "2026-03-01T10:00:00+08:00", 2, "cancelled"));
    Write("d.json", record("calibration", "2026-04-01T10:00:00+08:00", 3, "written",
                           R"("due_date":"2027-04-01")"));
    Write("e.json", record("verification", "2026-05-01T10:00:00+08:00", 2, "pass"));
    RecordSummary last;
    ASSERT_TRUE(LastWrittenCalibration(root.string(), 2, &last));
    EXPECT_EQ(last.stem, "b");
    EXPECT_EQ(last.dueDate, "2026-07-15");
    ASSERT_TRUE(LastWrittenCalibration(root.string(), 3, &last));
    EXPECT_EQ(last.dueDate, "2027-04-01");
    EXPECT_FALSE(LastWrittenCalibration(root.string(), 4, &last));
    EXPECT_FALSE(LastWrittenCalibration(root.string(), -1, &last));

    fs::remove(root / "b.json");
    ASSERT_TRUE(LastWrittenCalibration(root.string(), 2, &last));
    EXPECT_EQ(last.dueDate, "2026-06-01");
}

TEST_F(TempFolder, TheFreeStemIsTheNameTheRecordIsSavedAs) {
    const CalibrationRecord r = Sample();
    const std::string first = FreeRecordStem(root.string(), r);
    EXPECT_EQ(first, RecordStem(r));
    std::string stem;
    ASSERT_TRUE(SaveRecord(root.string(), r, "%PDF", &stem, nullptr));
    EXPECT_EQ(stem, first);
    const std::string second = FreeRecordStem(root.string(), r);
    EXPECT_EQ(second, first + "-2");
    ASSERT_TRUE(SaveRecord(root.string(), r, "%PDF", &stem, nullptr));
    EXPECT_EQ(stem, second);
}

}  // namespace
}  // namespace engine
