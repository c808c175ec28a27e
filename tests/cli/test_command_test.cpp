// The console tool's transmitter test and history, in-process on the demo
// fixture, with the database in a folder of the test's own.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string_view>

#include "cli/hart_cli.h"
#include "cli/stop_signals.h"
#include "platform/clock.h"
#include "platform/trace.h"

namespace cli {
namespace {

namespace fs = std::filesystem;

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

size_t Lines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

class TestCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetTimeScale(10.0);
        root = fs::temp_directory_path() /
               ("tarvok-cli-test-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::create_directories(root);
        for (const char* name : {"XDG_DATA_HOME", "LOCALAPPDATA"}) {
            const char* value = std::getenv(name);
            saved.emplace_back(name, value != nullptr ? value : "");
            SetEnv(name, root.string());
        }
    }
    void TearDown() override {
        ClearStop();
        platform::SetTimeScale(1.0);
        std::error_code ec;
        fs::permissions(root, fs::perms::owner_all, ec);
        fs::remove_all(root, ec);
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
    // Runs `script` with python3 on `text`, saved as a file: its status.
    int Python(const std::string& text, const std::string& script) {
        const fs::path file = root / "out.csv";
        std::ofstream(file, std::ios::binary) << text;
        return std::system(("python3 - " + file.string() + " <<'EOF'\n" + script + "EOF").c_str());
    }

    fs::path root;
    std::vector<std::pair<const char*, std::string>> saved;
};

TEST_F(TestCommandTest, TheDemosCsvReadsBackWithEveryVerdictAndTheRunIsStored) {
    const Result r =
        RunTool({"--simulate", "test", "--channels", "1-11", "--settle-ms", "300", "--csv"});
    EXPECT_EQ(r.status, kExitNotPassed) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string script =
        "import csv,sys\n"
        "rows=list(csv.DictReader(open(sys.argv[1],newline='')))\n"
        "h=['channel','transmitter','tag','verdict','point_mA','reading_mA','error_mA',"
        "'error_percent_of_span','pass']\n"
        "assert list(rows[0].keys())==h, rows[0].keys()\n"
        "by={}\n"
        "[by.setdefault(int(r['channel']),[]).append(r) for r in rows]\n"
        "v={c:[r['verdict'] for r in rs] for c,rs in by.items()}\n"
        "assert v=={1:['pass']*3,2:['pass']*3,3:['fail']*3,4:['pass']*3,5:['error'],"
        "6:['pass']*3,7:['pass']*3,8:['pass']*3,9:['empty'],10:['empty'],11:['no-hart']}, v\n"
        "assert [r['point_mA'] for r in by[1]]==['4.000','12.000','20.000']\n"
        "assert [r['pass'] for r in by[3]]==['true','false','false'], by[3]\n"
        "for c in (5,9,10,11):\n"
        "  r=by[c][0]\n"
        "  assert all(r[k]=='' for k in h[4:]), r\n"
        "assert by[1][0]['transmitter']=='26-05-001001' and by[1][0]['tag']=='PT-101'\n"
        "assert by[11][0]['transmitter']=='' and by[9][0]['tag']==''\n"
        "for rs in by.values():\n"
        "  for r in rs:\n"
        "    if r['point_mA']:\n"
        "      e=float(r['reading_mA'])-float(r['point_mA'])\n"
        "      assert abs(e-float(r['error_mA']))<=0.0011, r\n"
        "      assert abs(float(r['error_mA'])/16*100-float(r['error_percent_of_span']))"
        "<=0.01, r\n"
        "      assert (abs(float(r['error_percent_of_span']))<=0.1)==(r['pass']=='true'), r\n";
    EXPECT_EQ(Python(r.out, script), 0) << r.out;

    // The run in the database, read back by history.
    Result h = RunTool({"history", "--json"});
    ASSERT_EQ(h.status, kExitOk) << h.err;
    const auto all = nlohmann::json::parse(h.out);
    ASSERT_EQ(all.size(), 11u);
    EXPECT_EQ(all[0]["channel"], 1);
    EXPECT_EQ(all[0]["fixture"], 1);
    EXPECT_EQ(all[0]["long_tag"], "PRESSURE TRANSMITTER 101");
    EXPECT_EQ(all[2]["verdict"], "fail");
    ASSERT_EQ(all[2]["points"].size(), 3u);
    EXPECT_EQ(all[2]["points"][2]["pass"], false);
    EXPECT_EQ(all[4]["reason"], "fixing 4.000 mA: rejected (response code 11)");
    EXPECT_EQ(all[10]["verdict"], "no-hart");
}

TEST_F(TestCommandTest, PassedDevicesExitZeroAndHistoryIsNewestFirstByIdentityOrTag) {
    Result r = RunTool({"--simulate", "test", "--channels", "1-2", "--settle-ms", "300"});
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(Lines(r.out), 3u) << r.out;
    EXPECT_EQ(r.out.rfind("channel  transmitter   tag       verdict  error_percent_of_span\n"
                          "      1  26-05-001001  PT-101    pass     +",
                          0),
              0u)
        << r.out;
    // Empty channels count for nothing.
    r = RunTool({"--simulate", "test", "--channels", "1-1", "--points", "12", "--tolerance",
                 "0.5", "--settle-ms", "300"});
    EXPECT_EQ(r.status, kExitOk) << r.err;
    r = RunTool({"--simulate", "test", "--channels", "9-10", "--settle-ms", "0"});
    EXPECT_EQ(r.status, kExitOk) << r.err;

    r = RunTool({"history", "pt-101"});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    ASSERT_EQ(Lines(r.out), 2u) << r.out;
    // The newer run, with its one point, first.
    const std::string first = r.out.substr(0, r.out.find('\n'));
    const std::string second = r.out.substr(r.out.find('\n') + 1);
    const std::string point = " [+-]\\d\\.\\d{3}";
    EXPECT_TRUE(std::regex_search(first, std::regex(" CH01 26-05-001001 PT-101 pass" + point + "$")))
        << first;
    EXPECT_TRUE(std::regex_search(
        second, std::regex(" CH01 26-05-001001 PT-101 pass" + point + point + point + "\n$")))
        << second;
    EXPECT_EQ(Lines(RunTool({"history", "26-05-001002"}).out), 1u);
    EXPECT_EQ(RunTool({"history", "nobody"}).out, "");
    EXPECT_EQ(Lines(RunTool({"history"}).out), 5u);
}

TEST_F(TestCommandTest, BadOptionsAreUsageErrors) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--simulate", "test", "--channels", "0-3"},
             {"--simulate", "test", "--points", "4,,20"},
             {"--simulate", "test", "--points", "2"},
             {"--simulate", "test", "--points", "4,5,6,7,8,9,10,11,12"},
             {"--simulate", "test", "--points", "nan"},
             {"--simulate", "test", "--tolerance", "0"},
             {"--simulate", "test", "--tolerance", "x"},
             {"--simulate", "test", "--settle-ms", "-1"},
             {"--simulate", "test", "--settle-ms", "60001"},
             {"--simulate", "test", "--count", "2"},
             {"--simulate", "test", "extra"},
             {"--simulate", "test", "--csv", "--csv"},
             {"history", "a", "b"},
             {"history", "--port", "3"},
             {"--simulate", "history"}}) {
        const Result r = RunTool(args);
        EXPECT_EQ(r.status, kExitUsage) << testing::PrintToString(args) << r.out;
        EXPECT_EQ(Lines(r.err), 1u) << r.err;
    }
    EXPECT_NE(RunTool({"--help"}).out.find("history [DEVICE] [--json]"), std::string::npos);
}

#ifndef _WIN32
TEST_F(TestCommandTest, ADatabaseThatCannotBeWrittenIsToldOnceAndTheRunIsAllThere) {
    // The data folder is a file: no database can be made under it.
    fs::remove_all(root);
    std::ofstream(root) << "not a folder";
    const Result r = RunTool({"--simulate", "test", "--channels", "1-2", "--settle-ms", "300",
                              "--csv"});
    EXPECT_EQ(r.status, kExitOk) << "the test passed; only its storing failed";
    EXPECT_EQ(Lines(r.out), 7u) << r.out;
    EXPECT_EQ(Lines(r.err), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("tarvok-hart: the run is not stored in the database", 0), 0u) << r.err;
    const Result h = RunTool({"history"});
    EXPECT_EQ(h.status, kExitFailed);
    EXPECT_EQ(Lines(h.err), 1u) << h.err;
    fs::remove(root);
    fs::create_directories(root);
}
#endif

// A signal while a transmitter holds a fixed current: the exchange under
// way ends, the current is let go, the channel goes back.
TEST_F(TestCommandTest, SigtermLetsTheFixedCurrentGoFirstAndPutsTheChannelBack) {
    std::mutex mutex;
    std::vector<std::string> frames;
    bool stopped = false;
    const int id = platform::AddTraceListener([&](std::string_view line) {
        if (line.find(" TX ") == line.npos && line.find(" RX ") == line.npos) return;
        std::lock_guard lock(mutex);
        const std::string frame(line.substr(line.find(' ') + 1));
        frames.push_back(frame);
        // The transmitter on CH2 (device id 00 10 02) has taken its first
        // fixed current.
        if (!stopped && frame.rfind("RX 40 ", 0) == 0 &&
            frame.find(" 00 10 02 28 ") != std::string::npos) {
            stopped = true;
            RequestStop(SIGTERM);
        }
    });
    const Result r = RunTool({"--trace", "--simulate", "test", "--channels", "1-4", "--settle-ms",
                              "300", "--csv"});
    platform::RemoveTraceListener(id);
    platform::EnableTrace(false);
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    EXPECT_EQ(Lines(r.out), 4u) << "the header and CH1's points only: " << r.out << r.err;
    std::vector<std::string> sent;
    {
        std::lock_guard lock(mutex);
        // A retry repeats its frame byte for byte: counted once.
        std::string last;
        for (const std::string& f : frames) {
            if (f.rfind("TX ", 0) != 0 || f == last) continue;
            last = f;
            sent.push_back(f.substr(0, f.find(' ', 3)));
        }
    }
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(sent.end() - 3, sent.end()),
              (std::vector<std::string>{"TX 40", "TX 40", "TX 34"}))
        << "the fixed current, 40 with 0.0, the channel back";
    ClearStop();
    // The channel finished before the stop is stored.
    EXPECT_EQ(Lines(RunTool({"history"}).out), 1u);
}

}  // namespace
}  // namespace cli
