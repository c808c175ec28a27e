#include "cli/hart_cli.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "engine/calibration_record.h"
#include "platform/clock.h"
#include "platform/trace.h"

namespace cli {
namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result RunTool(std::vector<std::string> args) {
    std::ostringstream out, err;
    const int status = RunHartCli(args, out, err);
    return {status, out.str(), err.str()};
}

class HartCliTest : public ::testing::Test {
protected:
    void SetUp() override { platform::SetTimeScale(10.0); }
    void TearDown() override { platform::SetTimeScale(1.0); }
};

TEST_F(HartCliTest, UsageErrorsExitWithTwoAndOneLine) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {},
             {"identify"},
             {"--simulate"},
             {"--simulate", "--port", "3", "identify"},
             {"--port", "x", "identify"},
             {"--simulate", "frobnicate"},
             {"--simulate", "select-channel", "33"},
             {"--simulate", "poll", "--count", "0"},
             {"--simulate", "--bogus", "identify"},
             {"--simulate", "scan", "--channels", "0-3"},
             {"--simulate", "scan", "--channels", "5-2"},
             {"--simulate", "scan", "--channels", "1-33"},
             {"--simulate", "scan", "--channels", "7"},
             {"--simulate", "scan", "--channels"},
             {"--simulate", "scan", "--csv", "--csv"},
             {"--simulate", "scan", "--count", "2"},
             {"--simulate", "scan", "extra"},
             {"--simulate", "poll", "--channels", "1-2"},
             {"--simulate", "poll", "--count", "2", "--count", "3"},
             {"--simulate", "--csv", "poll"},
         }) {
        const Result r = RunTool(args);
        EXPECT_EQ(r.status, kExitUsage) << testing::PrintToString(args);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
    // Options after the command are options all the same.
    testing::internal::CaptureStderr();
    const Result late = RunTool({"identify", "--simulate", "--trace"});
    const std::string trace = testing::internal::GetCapturedStderr();
    platform::EnableTrace(false);
    EXPECT_EQ(late.status, kExitOk) << late.err;
    EXPECT_EQ(late.out, "1\n");
    EXPECT_NE(trace.find(" TX 0 识别设备 FF FF FF FF FF 02 80 00 00 82\n"), std::string::npos)
        << trace;
    // The whole reply as heard, preambles to check byte (a scaled clock
    // whose sleeps round up, as on Windows, may miss the first preamble).
    const size_t rx = trace.find(" RX 0 识别设备 FF FF ");
    ASSERT_NE(rx, std::string::npos) << trace;
    const std::string line = trace.substr(rx, trace.find('\n', rx) - rx);
    EXPECT_NE(line.find(" FF 06 80 00 "), std::string::npos) << trace;

    const Result help = RunTool({"--help"});
    EXPECT_EQ(help.status, kExitOk);
    EXPECT_NE(help.out.find("select-channel N|none"), std::string::npos);
}

TEST_F(HartCliTest, APortThatCannotBeOpenedExitsWithTwo) {
    const Result r = RunTool({"--device", "/nonexistent/tty", "identify"});
    EXPECT_EQ(r.status, kExitUsage);
    // One line, naming the path the operator gave rather than a port number.
    EXPECT_EQ(r.err, "tarvok-hart: cannot open /nonexistent/tty: no such device\n");
}

#ifndef _WIN32
TEST_F(HartCliTest, AFailedOpenGivesTheReasonInItsOneLine) {
    Result r = RunTool({"--device", "/dev/null", "identify"});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_EQ(r.err, "tarvok-hart: cannot open /dev/null: not a serial port\n");
    // Port numbers above 96 stand for no device on Linux.
    r = RunTool({"--port", "200", "identify"});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_EQ(r.err, "tarvok-hart: cannot open \\\\.\\COM200: no such device\n");
}
#endif

TEST_F(HartCliTest, CommandsAgainstTheSimulatedFixture) {
    Result r = RunTool({"--simulate", "identify"});
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(r.out, "1\n");

    r = RunTool({"--simulate", "read-channel"});
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(r.out, "01\n");

    r = RunTool({"--simulate", "select-channel", "none"});
    EXPECT_EQ(r.status, kExitOk) << r.err;
    r = RunTool({"--simulate", "select-channel", "2"});
    EXPECT_EQ(r.status, kExitOk) << r.err;

    r = RunTool({"--simulate", "write-device-number", "3"});
    EXPECT_EQ(r.status, kExitOk) << r.err;

    r = RunTool({"--simulate", "poll", "--count", "2"});
    EXPECT_EQ(r.status, kExitOk) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    int n = 0;
    while (std::getline(lines, line)) {
        ++n;
        EXPECT_NE(line.find('.'), std::string::npos);
        EXPECT_EQ(line.size() - line.find('.'), 4u) << "three decimals: " << line;
        EXPECT_NEAR(std::stod(line), 4.0, 0.1) << "CH1 carries 4 mA";
    }
    EXPECT_EQ(n, 2);
}

TEST_F(HartCliTest, VersionAndHelpPointAtWhatExists) {
    Result r = RunTool({"--version"});
    EXPECT_EQ(r.status, kExitOk);
    EXPECT_EQ(r.out, "tarvok-hart " TARVOK_VERSION "\n");
    EXPECT_EQ(RunTool({"--simulate", "identify", "--version"}).out, r.out);

    // Every README section the help names is a heading there.
    r = RunTool({"--help"});
    std::ifstream in(TARVOK_SOURCE_DIR "/README.md");
    ASSERT_TRUE(in.good());
    std::string readme((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string help = std::regex_replace(r.out, std::regex("\\s+"), " ");
    const std::regex named("see \"([^\"]+)\" in the README");
    int sections = 0;
    for (std::sregex_iterator it(help.begin(), help.end(), named), end; it != end; ++it) {
        ++sections;
        const std::string title = (*it)[1].str();
        EXPECT_TRUE(readme.find("\n## " + title + "\n") != std::string::npos ||
                    readme.find("\n### " + title + "\n") != std::string::npos)
            << title;
    }
    EXPECT_GE(sections, 1) << r.out;
}

TEST_F(HartCliTest, StatsSumUpTheRunInOneLine) {
    Result r = RunTool({"--simulate", "--stats", "poll", "--count", "2"});
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    // The identification and two polls, each answered at once.
    const std::regex line(
        "tarvok-hart: link: 3 requests, 3 ok, 0 failed; 0 retries; "
        "reply time mean \\d+ ms, max \\d+ ms; \\d+\\.\\d polls/min\n");
    EXPECT_TRUE(std::regex_match(r.err, line)) << r.err;

    r = RunTool({"--simulate", "poll"});
    EXPECT_EQ(r.err, "") << "no statistics unless asked";
    // Nothing exchanged, nothing to sum up: the usage error is the one line.
    r = RunTool({"--simulate", "--stats", "select-channel", "40"});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

TEST_F(HartCliTest, ScanPrintsARowPerChannelAsATableOrCsv) {
    // The demo fixture, calibrated: transmitters on CH1-CH8 at 4, 6, ... 18
    // mA, CH1 active.
    Result r = RunTool({"--simulate", "scan", "--channels", "7-10"});
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(r.out,
              "channel  transmitter   loop_current_mA  band\n"
              "      7  26-05-001007           16.000  ok\n"
              "      8  26-05-001008           18.000  ok\n"
              "      9                          0.000  empty\n"
              "     10                          0.000  empty\n");
    r = RunTool({"--simulate", "scan", "--csv", "--channels", "8-9"});
    EXPECT_EQ(r.status, kExitOk) << r.err;
    const std::string time = R"(,\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d\n)";
    EXPECT_TRUE(std::regex_match(r.out, std::regex("channel,transmitter,loop_current_mA,band,time\n"
                                                   "8,26-05-001008,18\\.000,ok" +
                                                   time + "9,,0\\.000,empty" + time)))
        << r.out;
    // CH1 active again: the next reading is its 4 mA.
    r = RunTool({"--simulate", "read-channel"});
    EXPECT_EQ(r.out, "01\n");
}

TEST_F(HartCliTest, PollCsvGivesTimeChannelAndReading) {
    const Result r = RunTool({"--simulate", "poll", "--csv", "--count", "2"});
    EXPECT_EQ(r.status, kExitOk) << r.err;
    const std::regex csv(
        "time,channel,loop_current_mA\n"
        "(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d,01,4\\.\\d{3}\n){2}");
    EXPECT_TRUE(std::regex_match(r.out, csv)) << r.out;
}

// records: read from the user's records folder, no port named or opened.
class RecordsCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = std::filesystem::temp_directory_path() /
               ("tarvok-cli-records-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        // Where the folder is looked for: one variable on each system.
        for (const char* name : {"XDG_DATA_HOME", "LOCALAPPDATA"}) {
            const char* value = std::getenv(name);
            saved.emplace_back(name, value != nullptr ? value : "");
        }
        SetEnv("XDG_DATA_HOME", root.string());
        SetEnv("LOCALAPPDATA", root.string());
        folder = root / "tarvok" / "records";
    }
    void TearDown() override {
        std::filesystem::remove_all(root);
        for (const auto& [name, value] : saved) SetEnv(name, value);
    }
    static void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
        _putenv_s(name, value.c_str());
#else
        if (value.empty())
            ::unsetenv(name);
        else
            ::setenv(name, value.c_str(), 1);
#endif
    }
    std::string Save(engine::RecordKind kind, int device, std::chrono::hours ago,
                     engine::RecordOutcome outcome) {
        engine::CalibrationRecord r;
        r.kind = kind;
        r.time = std::chrono::system_clock::now() - ago;
        r.deviceNumber = device;
        r.port = "COM3";
        r.points = {{4, 4.0, 4.001}};
        r.outcome = outcome;
        std::string stem, error;
        EXPECT_TRUE(engine::SaveRecord(folder.string(), r, "%PDF", &stem, &error)) << error;
        return engine::RecordTimeText(r) + " " + (device >= 0 ? std::to_string(device) : "-") +
               " " + (kind == engine::RecordKind::kCalibration ? "calibration" : "verification") +
               " " + engine::ResultText(r) + " " + stem + "\n";
    }
    std::filesystem::path root;
    std::filesystem::path folder;
    std::vector<std::pair<const char*, std::string>> saved;
};

TEST_F(RecordsCommandTest, ListsNewestFirstWithoutAPort) {
    Result r = RunTool({"records"});
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(r.out, "") << "no folder yet: nothing to list";
    EXPECT_EQ(RunTool({"records", "--json"}).out, "[]\n");

    const std::string older = Save(engine::RecordKind::kCalibration, 3, std::chrono::hours(48),
                                   engine::RecordOutcome::kCompleted);
    const std::string newer = Save(engine::RecordKind::kVerification, -1, std::chrono::hours(1),
                                   engine::RecordOutcome::kCompleted);
    const std::string middle = Save(engine::RecordKind::kCalibration, 2, std::chrono::hours(5),
                                    engine::RecordOutcome::kFailed);
    std::ofstream(folder / "half.json") << "{\"kind\":";
    r = RunTool({"records"});
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(r.out, newer + middle + older);
    EXPECT_NE(newer.find(" - verification pass "), std::string::npos) << newer;
    EXPECT_EQ(r.err,
              "tarvok-hart: not a record, skipped: " + (folder / "half.json").string() + "\n");

    r = RunTool({"--trace", "records", "--json"});
    platform::EnableTrace(false);
    EXPECT_EQ(r.status, kExitOk) << r.err;
    const auto array = nlohmann::json::parse(r.out);
    ASSERT_EQ(array.size(), 3u);
    EXPECT_EQ(array[0]["kind"], "verification");
    EXPECT_TRUE(array[0]["fixture_device_number"].is_null());
    EXPECT_EQ(array[1]["failed_step"], "");
    EXPECT_EQ(array[2]["fixture_device_number"], 3);
    EXPECT_EQ(array[2]["points"][0]["reference_mA"], 4.0);
}

TEST_F(RecordsCommandTest, TakesOnlyJsonAndNoPort) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"records", "--port", "3"}, {"--simulate", "records"}, {"records", "all"}}) {
        const Result r = RunTool(args);
        EXPECT_EQ(r.status, kExitUsage) << testing::PrintToString(args);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_NE(RunTool({"--help"}).out.find("records [--json]"), std::string::npos);
}

TEST_F(RecordsCommandTest, PrintsEveryTextEscapedAndNamesWhatIsNoRecord) {
    engine::CalibrationRecord r;
    r.time = std::chrono::system_clock::now();
    r.deviceNumber = 3;
    r.settings.operatorName = "王工\x1b[2J\xc2\x9b";
    r.points = {{4, 4.0, 4.001}};
    std::string stem, error;
    ASSERT_TRUE(engine::SaveRecord(folder.string(), r, "%PDF", &stem, &error)) << error;
    // Nested past what any record holds, and a verdict no record has.
    std::ofstream(folder / "deep.json")
        << R"({"kind":"calibration","time":"2026-05-04T10:00:00Z","result":"written","x":)"
        << std::string(50000, '[') << std::string(50000, ']') << "}";
    std::ofstream(folder / "odd.json")
        << R"({"kind":"verification","time":"2026-05-04T10:00:00Z","result":"written"})";
    std::string shownStem = stem;
#ifndef _WIN32
    // A file name is the folder's to choose (Windows refuses controls in one).
    std::filesystem::rename(folder / (stem + ".json"), folder / (stem + "\x1b]0;x\x07.json"));
    std::filesystem::rename(folder / "odd.json", folder / "odd\x1b[31m.json");
    shownStem = stem + "\\u001b]0;x\\u0007";
    const std::string oddName = "odd\\u001b[31m.json";
#else
    const std::string oddName = "odd.json";
#endif
    Result out = RunTool({"records"});
    EXPECT_EQ(out.status, kExitOk) << out.err;
    EXPECT_EQ(out.out, engine::RecordTimeText(r) + " 3 calibration written " + shownStem + "\n");
    EXPECT_EQ(out.err, "tarvok-hart: not a record, skipped: " + (folder / "deep.json").string() +
                           "\ntarvok-hart: not a record, skipped: " + (folder / oddName).string() +
                           "\n");

    out = RunTool({"records", "--json"});
    EXPECT_EQ(out.out.find("\xc2\x9b"), std::string::npos) << "C1 escaped too: " << out.out;
    EXPECT_EQ(nlohmann::json::parse(out.out)[0]["operator"], r.settings.operatorName);
}

}  // namespace
}  // namespace cli
