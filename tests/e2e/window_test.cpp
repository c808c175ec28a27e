// The real window under Xvfb, as an operator uses it: real X input through
// xdotool, the real POSIX serial backend on a pseudo-terminal with the
// fixture at the far end, the program copied into a folder of its own with
// com.ini and ports/ beside it, and ended by a signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "pty_fixture.h"
#include "subprocess.h"
#include "generated/version.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

bool OnPath(const std::string& program) {
    return RunProcess({"/bin/sh", "-c", "command -v " + program}, {}, 5000).status == 0;
}

// An X server of the test's own.
class XServer {
public:
    bool Start() {
        for (display_ = 71; display_ < 99; ++display_) {
            if (fs::exists("/tmp/.X11-unix/X" + std::to_string(display_))) continue;
            pid_ = ::fork();
            if (pid_ == 0) {
                const int null = ::open("/dev/null", O_RDWR);
                ::dup2(null, 1);
                ::dup2(null, 2);
                const std::string d = ":" + std::to_string(display_);
                ::execlp("Xvfb", "Xvfb", d.c_str(), "-screen", "0", "1024x768x24", "-nolisten",
                         "tcp", static_cast<char*>(nullptr));
                ::_exit(127);
            }
            for (int i = 0; i < 100; ++i) {
                if (fs::exists("/tmp/.X11-unix/X" + std::to_string(display_))) return true;
                int status;
                if (::waitpid(pid_, &status, WNOHANG) == pid_) break;  // taken: try the next
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        return false;
    }
    ~XServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    std::string Display() const { return ":" + std::to_string(display_); }

private:
    int display_ = 0;
    pid_t pid_ = -1;
};

// Command of a request as the fixture heard it, -1 when there is none.
int CommandOf(const FrameRecord& r) {
    size_t d = 0;
    while (d < r.bytes.size() && r.bytes[d] == 0xFF) ++d;
    if (d >= r.bytes.size()) return -1;
    const size_t at = d + ((r.bytes[d] & 0x80) ? 6 : 2);
    return at < r.bytes.size() ? r.bytes[at] : -1;
}

Bytes DataOf(const FrameRecord& r) {
    size_t d = 0;
    while (d < r.bytes.size() && r.bytes[d] == 0xFF) ++d;
    const size_t count = d + ((r.bytes[d] & 0x80) ? 7 : 3);
    if (count >= r.bytes.size()) return {};
    const size_t n = r.bytes[count];
    return Bytes(r.bytes.begin() + static_cast<long>(count) + 1,
                 r.bytes.begin() + static_cast<long>(count + 1 + n));
}

// Trace lines begin "HH:MM:SS.mmm ".
std::string WithoutTime(const std::string& line) {
    const size_t blank = line.find(' ');
    return blank == 12 && line[2] == ':' && line[8] == '.' ? line.substr(13) : line;
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!OnPath("Xvfb") || !OnPath("xdotool"))
            GTEST_SKIP() << "needs Xvfb and xdotool (scripts/install-deps installs them)";
        ASSERT_TRUE(x_.Start()) << "no X server";
        std::string pattern = (fs::temp_directory_path() / "tarvok-window-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        // A portable copy: the program, com.ini and its ports beside it.
        fs::copy_file(TARVOK_CONFIG_PROGRAM, dir_ / "tarvok-config");
        fs::create_directory(dir_ / "ports");
        // With the record settings a calibration needs before it starts.
        std::ofstream(dir_ / "com.ini")
            << "[CONFIG]\nCOM=3\n[RECORDS]\nOPERATOR=e2e\nMETER_MODEL=RM-200\n"
               "METER_SERIAL=2231\nMETER_DUE=2099-12-31\nMETER_ACCURACY_PERCENT=0.02\n"
               "METER_ACCURACY_UA=2\n";

        PtyFixtureOptions o;
        o.fixture.deviceNumber = 2;
        o.fixture.activeChannel = 0;
        sim::TransmitterConfig t;
        t.channel = 0;
        t.initialCurrentMa = 12.0f;
        o.fixture.transmitters = {t};
        o.transmitter = t;
        // No DTR on a pseudo-terminal: fixed-current requests go to the
        // transmitter by their command.
        o.routeToTransmitter = [](const sim::MasterRequest& r) { return r.command == 40; };
        fixture_ = std::make_unique<PtyFixture>(o);
        std::string error;
        ASSERT_TRUE(fixture_->Start((dir_ / "ports" / "COM3").string(), &error)) << error;
    }
    void TearDown() override {
        if (app_) {
            app_->Signal(SIGKILL);
            if (reader_.joinable()) reader_.join();
            app_->Finish(2000);
        }
        if (reader_.joinable()) reader_.join();
        if (fixture_) fixture_->Stop();
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    void StartProgram(const EnvironmentChanges& more = {}) {
        app_ = std::make_unique<Child>();
        EnvironmentChanges env{"DISPLAY=" + x_.Display(), "QT_QPA_PLATFORM=xcb",
                               "TARVOK_PORTS_DIR=", "XDG_DATA_HOME=" + (dir_ / "data").string()};
        env.insert(env.end(), more.begin(), more.end());
        // Its trace (frames and readouts) comes back on stdout.
        ASSERT_TRUE(app_->Start(
            {"/bin/sh", "-c", "exec \"$0\" --trace 2>&1", (dir_ / "tarvok-config").string()}, env));
        reader_ = std::thread([this] {
            while (auto line = app_->ReadLine(60000)) {
                std::lock_guard lock(mutex_);
                trace_.push_back(*line);
            }
        });
        const ProcessResult found =
            Xdo({"search", "--sync", "--onlyvisible", "--name", "^Tarvok HART"}, 20000);
        ASSERT_EQ(found.status, 0) << "no window";
        window_ = found.out.substr(0, found.out.find('\n'));
    }
    ProcessResult Xdo(std::vector<std::string> args, int timeoutMs = 10000) {
        args.insert(args.begin(), "xdotool");
        return RunProcess(args, {"DISPLAY=" + x_.Display()}, timeoutMs);
    }
    // The newest trace line whose text after the time stamp starts with
    // `prefix`, once there is one that satisfies `ok` (given that text).
    std::string WaitForTrace(const std::string& prefix,
                             const std::function<bool(const std::string&)>& ok, int ms = 20000) {
        const double end = NowMs() + ms;
        while (NowMs() < end) {
            {
                std::lock_guard lock(mutex_);
                for (auto it = trace_.rbegin(); it != trace_.rend(); ++it) {
                    const std::string text = WithoutTime(*it);
                    if (text.rfind(prefix, 0) == 0 && ok(text)) return text;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return {};
    }
    std::vector<FrameRecord> Requests() {
        std::vector<FrameRecord> out;
        for (const auto& r : fixture_->Records())
            if (r.kind == FrameRecord::kHeard && r.request) out.push_back(r);
        return out;
    }
    bool WaitForRequest(int command, int ms = 20000) {
        const double end = NowMs() + ms;
        while (NowMs() < end) {
            for (const auto& r : Requests())
                if (CommandOf(r) == command) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // A click in the middle of a control of the main window, its place
    // given in dialog units (6 x 12 base units at 96 dpi, below the menu
    // bar).
    void ClickControl(int x, int y, int cx, int cy) {
        const int menuBar = MenuBarHeight();
        ASSERT_GT(menuBar, 0);
        const int px = (x * 6 + 2) / 4 + (cx * 6) / 8;
        const int py = menuBar + (y * 12 + 4) / 8 + (cy * 12) / 16;
        ASSERT_EQ(Xdo({"mousemove", "--window", window_, std::to_string(px), std::to_string(py),
                       "click", "1"})
                      .status,
                  0);
    }
    // Width and height of a window, {0, 0} if it is gone.
    std::pair<int, int> WindowSize(const std::string& w) {
        const ProcessResult g = Xdo({"getwindowgeometry", w});
        std::smatch m;
        if (!std::regex_search(g.out, m, std::regex("Geometry: (\\d+)x(\\d+)"))) return {0, 0};
        return {std::stoi(m[1]), std::stoi(m[2])};
    }
    // The client area below the menu bar is 467 pixels high at 96 dpi, the
    // status line below it 18.
    int MenuBarHeight() { return WindowSize(window_).second - 467 - 18; }
    std::string Title() { return Xdo({"getwindowname", window_}).out; }
    // The newest trace line that starts with `prefix`, empty if none.
    std::string LatestTrace(const std::string& prefix) {
        std::lock_guard lock(mutex_);
        for (auto it = trace_.rbegin(); it != trace_.rend(); ++it)
            if (const std::string text = WithoutTime(*it); text.rfind(prefix, 0) == 0) return text;
        return {};
    }
    // 工具's first item (通道总览) with the mouse.
    void ClickFirstToolsItem() {
        const std::string tools = OpenToolsMenu();
        ASSERT_FALSE(tools.empty()) << "no 工具 menu";
        ASSERT_EQ(Xdo({"mousemove", "--window", tools, "30", "11", "click", "1"}).status, 0);
    }
    // The 工具 menu's item `n` (0 for the first) from the keyboard, the menu
    // opened with the mouse.
    void ChooseToolsItem(int n) {
        ASSERT_FALSE(OpenToolsMenu().empty()) << "no 工具 menu";
        for (int i = 0; i <= n; ++i) ASSERT_EQ(Xdo({"key", "Down"}).status, 0);
        ASSERT_EQ(Xdo({"key", "Return"}).status, 0);
    }
    // The 工具 menu dropped down, its window's id: a click on the first menu
    // title, then along the menu bar until the tall 工具 menu drops down
    // (the titles' places depend on the fonts). Empty when it does not.
    std::string OpenToolsMenu() {
        const ProcessResult owner = Xdo({"getwindowpid", window_});
        if (owner.status != 0) return {};
        const std::string pid = owner.out.substr(0, owner.out.find('\n'));
        const int width = WindowSize(window_).first;
        const std::string y = std::to_string(MenuBarHeight() / 2);
        if (Xdo({"mousemove", "--window", window_, "8", y, "click", "1"}).status != 0) return {};
        std::string tools;
        // Each place is given time enough for a sanitizer build to open
        // the menu under the pointer.
        // Where it was found before, if it was.
        for (int x = std::max(8, toolsX_); x < width && tools.empty(); x += 6) {
            toolsX_ = x;
            Xdo({"mousemove", "--window", window_, std::to_string(x), y});
            const double end = NowMs() + 400;
            while (tools.empty() && NowMs() < end) {
                std::istringstream shown(Xdo({"search", "--onlyvisible", "--pid", pid}).out);
                for (std::string w; std::getline(shown, w);)
                    if (w != window_ && WindowSize(w).second > 100) tools = w;
                if (tools.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        return tools;
    }
    // A click in the middle of a button of the wizard's dialog (no menu
    // bar), its place given in dialog units as for ClickControl.
    void ClickWizardButton(const std::string& w, int x, int y, int cx, int cy) {
        const int px = (x * 6 + 2) / 4 + (cx * 6) / 8;
        const int py = (y * 12 + 4) / 8 + (cy * 12) / 16;
        ASSERT_EQ(
            Xdo({"mousemove", "--window", w, std::to_string(px), std::to_string(py), "click", "1"})
                .status,
            0);
    }
    // Waits for a window with exactly this title, gives it the focus and
    // presses Return in it.
    void AnswerWithReturn(const std::string& title, int ms = 20000) {
        AnswerWithKeys(title, {"Return"}, ms);
    }
    void AnswerWithKeys(const std::string& title, const std::vector<std::string>& keys,
                        int ms = 20000) {
        const ProcessResult found =
            Xdo({"search", "--sync", "--onlyvisible", "--name", "^" + title + "$"}, ms);
        ASSERT_EQ(found.status, 0) << "no window " << title;
        const std::string w = found.out.substr(0, found.out.find('\n'));
        Xdo({"windowfocus", "--sync", w});
        std::vector<std::string> args{"key"};
        args.insert(args.end(), keys.begin(), keys.end());
        ASSERT_EQ(Xdo(args).status, 0);
    }
    size_t CountRequests(int command) {
        size_t n = 0;
        for (const auto& r : Requests())
            if (CommandOf(r) == command) ++n;
        return n;
    }
    bool WaitFor(const std::function<bool()>& ok, int ms = 30000) {
        const double end = NowMs() + ms;
        while (NowMs() < end) {
            if (ok()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    XServer x_;
    fs::path dir_;
    std::unique_ptr<PtyFixture> fixture_;
    std::unique_ptr<Child> app_;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<std::string> trace_;
    std::string window_;
    int toolsX_ = 0;  // where on the menu bar the 工具 menu dropped down
};

TEST_F(WindowTest, PollsSwitchesOnAnArrowKeyAndEndsOnSigterm) {
    StartProgram();
    EXPECT_EQ(Xdo({"getwindowname", window_}).out, "Tarvok HART自动测试设备 V" TARVOK_VERSION_TEXT "\n");

    // The loop current as the fixture's converter reads 12 mA.
    const std::string shown = WaitForTrace("current readout:", [](const std::string& l) {
        return l.find("' 0.000'") == std::string::npos;
    });
    EXPECT_EQ(shown, "current readout: '12.037'");
    const auto start = Requests();
    ASSERT_GE(start.size(), 3u);
    EXPECT_EQ(start[0].bytes, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82}));
    EXPECT_EQ(CommandOf(start[1]), 15) << "the channel is read first";
    EXPECT_EQ(CommandOf(start[2]), 2) << "then the current polled";
    EXPECT_NE(WaitForTrace("channel readout:", [](const std::string&) { return true; }), "");

    // One release of Up: CH2, once the keys have been quiet for 500 ms.
    ASSERT_EQ(Xdo({"windowfocus", "--sync", window_}).status, 0);
    const double pressed = NowMs();
    ASSERT_EQ(Xdo({"key", "Up"}).status, 0);
    ASSERT_TRUE(WaitForRequest(34));
    FrameRecord switched;
    int switches = 0;
    for (const auto& r : Requests()) {
        if (CommandOf(r) != 34) continue;
        switched = r;
        ++switches;
    }
    EXPECT_EQ(switches, 1);
    EXPECT_EQ(DataOf(switched), (Bytes{0x3F, 0x80, 0x00, 0x00})) << "1.0: CH2";
    EXPECT_GE(switched.ms - pressed, 500.0);
    EXPECT_EQ(
        WaitForTrace("channel readout:",
                     [](const std::string& l) { return l.find("'02'") != std::string::npos; }),
        "channel readout: '02'");

    // Up released while a switch is on the wire: applied once the switch
    // has ended, from the channel it ended on.
    auto switchesTo = [&](Bytes data) {
        int n = 0;
        for (const auto& r : Requests())
            if (CommandOf(r) == 34 && DataOf(r) == data) ++n;
        return n;
    };
    ASSERT_EQ(Xdo({"key", "Down"}).status, 0);  // back to CH1
    ASSERT_TRUE(WaitFor([&] { return switchesTo({0x00, 0x00, 0x00, 0x00}) == 1; }));
    ASSERT_EQ(Xdo({"key", "Up"}).status, 0);
    EXPECT_TRUE(WaitFor([&] {
        return switchesTo({0x3F, 0x80, 0x00, 0x00}) == 2;
    })) << "CH2 again, after CH1";

    // A key held for 1.5 s, auto-repeat and all, is one step: CH3.
    ASSERT_EQ(Xdo({"keydown", "Up"}).status, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_EQ(Xdo({"keyup", "Up"}).status, 0);
    ASSERT_TRUE(WaitFor([&] { return switchesTo({0x40, 0x00, 0x00, 0x00}) == 1; })) << "CH3";
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(switchesTo({0x40, 0x40, 0x00, 0x00}), 0) << "no CH4";
    EXPECT_EQ(WaitForTrace("channel readout:", [](const std::string&) { return true; }),
              "channel readout: '03'");

    // SIGTERM: the close box's way out, status 0, the port let go.
    const double signalled = NowMs();
    app_->Signal(SIGTERM);
    reader_.join();  // its output ends as it exits
    EXPECT_LT(NowMs() - signalled, 5000.0);
    EXPECT_EQ(app_->Finish(5000), 0);
    app_.reset();
    const int fd = ::open(fixture_->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << "nothing holds the port";
    ::close(fd);
}

TEST_F(WindowTest, WritesTheDeviceNumberAndCalibratesWithRealInput) {
    StartProgram();
    ASSERT_NE(
        WaitForTrace("current readout:",
                     [](const std::string& l) { return l.find("' 0.000'") == std::string::npos; }),
        "");

    // The device number: "设备3 #" from the list, 写入, Yes.
    ClickControl(85, 172, 60, 14);  // the list opens
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Xdo({"key", "Down", "Down", "Return"});
    ClickControl(84, 195, 60, 18);  // 写入
    AnswerWithReturn("提示");       // Yes is the default
    ASSERT_TRUE(WaitForRequest(182));
    for (const auto& r : Requests())
        if (CommandOf(r) == 182) {
            EXPECT_EQ(DataOf(r), (Bytes{0x00, 0x00, 0x03}));
        }
    // The fixture answers to its new address only: identified again, the
    // new number shows.
    EXPECT_EQ(WaitForTrace("device number:",
                           [](const std::string& l) { return l.find("3 #") != std::string::npos; }),
              "device number: '设备3 #'");

    // The calibration: 校准, Yes, the channel prompt's OK, then the wizard:
    // at each current the operator waits for the reading, types what his
    // ammeter shows on the main row and clicks 下一步 with the mouse; the
    // next value goes on the main row again, with no click into the edit.
    // At 16 mA he types on the keypad and takes the point with its Enter.
    ClickControl(84, 269, 60, 18);
    AnswerWithReturn("提示");
    AnswerWithReturn("通道选择");
    for (int point = 1; point <= 5; ++point) {
        const size_t fixes = CountRequests(40);
        ASSERT_TRUE(WaitFor([&] { return CountRequests(40) > fixes || point > 1; }));
        // A reading taken after the current was fixed.
        const size_t reads = CountRequests(33);
        ASSERT_TRUE(WaitFor([&] { return CountRequests(33) >= reads + 2; })) << point;
        const ProcessResult wizard = Xdo({"search", "--onlyvisible", "--name", "^电流校准$"}, 5000);
        ASSERT_EQ(wizard.status, 0);
        const std::string w = wizard.out.substr(0, wizard.out.find('\n'));
        Xdo({"windowfocus", "--sync", w});
        if (point == 3) {
            Xdo({"key", "1", "2", "period", "0", "1", "0"});
            ClickWizardButton(w, 72, 141, 50, 14);  // 下一步
        } else if (point == 4) {
            Xdo({"key", "KP_1", "KP_6", "KP_Decimal", "KP_0", "KP_1", "KP_1", "KP_Enter"});
        } else {
            const std::string nominal = std::to_string(4 * point);
            std::vector<std::string> keys{"key"};
            for (const char c : nominal) keys.push_back(std::string(1, c));
            for (const char* k : {"period", "0", "0", "0"}) keys.push_back(k);
            Xdo(keys);
            ClickWizardButton(w, 72, 141, 50, 14);  // 下一步
        }
        if (point < 5) {
            ASSERT_TRUE(
                WaitFor([&] { return CountRequests(40) >= static_cast<size_t>(point + 1); }));
        }
    }
    AnswerWithReturn("提示");  // unplug the transmitter
    AnswerWithReturn("提示");  // plug it back in
    // The six points before anything is written: 确定写入 (Enter alone
    // does not write; the focus starts on 返回修改).
    AnswerWithKeys("校准点确认", {"shift+Tab", "space"});
    ASSERT_TRUE(WaitFor([&] { return CountRequests(201) == 12; }, 60000));
    ASSERT_TRUE(WaitFor([&] { return CountRequests(34) == 2; }));
    AnswerWithKeys("提示", {"n"});  // no check after the calibration
    AnswerWithReturn("校准结果");   // 关闭

    std::vector<Bytes> steps;
    for (const auto& r : Requests())
        if (CommandOf(r) == 201) steps.push_back(DataOf(r));
    ASSERT_EQ(steps.size(), 12u);
    // The points taken at 12 and 16 mA carry the typed 12.010 and 16.011 as
    // their references.
    const Bytes& p3 = steps[6];
    EXPECT_EQ(Bytes(p3.begin() + 2, p3.begin() + 4), (Bytes{0x04, 0x03}));
    EXPECT_EQ(Bytes(p3.begin() + 11, p3.begin() + 15), (Bytes{0x41, 0x40, 0x28, 0xF6})) << "12.010";
    const Bytes& p4 = steps[7];
    EXPECT_EQ(Bytes(p4.begin() + 2, p4.begin() + 4), (Bytes{0x04, 0x04}));
    EXPECT_EQ(Bytes(p4.begin() + 11, p4.begin() + 15), (Bytes{0x41, 0x80, 0x16, 0x87})) << "16.011";
    // The transmitter left fixed-current mode (command 40 with 0.0) before
    // the fixture let go of its channel.
    std::vector<FrameRecord> afterWizard;
    for (const auto& r : Requests()) {
        if (CommandOf(r) == 40 || CommandOf(r) == 34) afterWizard.push_back(r);
    }
    ASSERT_GE(afterWizard.size(), 3u);
    const FrameRecord& leave = afterWizard[afterWizard.size() - 3];
    EXPECT_EQ(CommandOf(leave), 40);
    EXPECT_EQ(DataOf(leave), (Bytes{0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(DataOf(afterWizard[afterWizard.size() - 2]), (Bytes{0x42, 0x00, 0x00, 0x00}))
        << "then 32.0: no channel";
    EXPECT_EQ(steps[11][2], 0xFF);
    // The channel active before (CH1) is active again.
    FrameRecord last;
    for (const auto& r : Requests())
        if (CommandOf(r) == 34) last = r;
    EXPECT_EQ(DataOf(last), (Bytes{0x00, 0x00, 0x00, 0x00}));
    // No error box: polling goes on.
    const size_t polls = CountRequests(2);
    EXPECT_TRUE(WaitFor([&] { return CountRequests(2) > polls + 1; }));
    EXPECT_NE(Xdo({"search", "--onlyvisible", "--name", "^错误$"}, 2000).status, 0)
        << WaitForTrace("box: 错误", [](const std::string&) { return true; }, 100);

    // The record, in the data folder the program was given: its three
    // files, the fixture as it was identified last, the points as written.
    const fs::path records = dir_ / "data" / "tarvok" / "records";
    fs::path json;
    ASSERT_TRUE(WaitFor([&] {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(records, ec))
            if (e.path().extension() == ".json") json = e.path();
        return !json.empty();
    }));
    struct stat st {};
    ASSERT_EQ(::stat(records.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    const std::string stem = json.stem().string();
    EXPECT_TRUE(std::regex_match(stem, std::regex(R"(\d{8}-\d{6}-3)"))) << stem;
    EXPECT_TRUE(fs::exists(records / (stem + ".csv")));
    std::ifstream pdf(records / (stem + ".pdf"), std::ios::binary);
    std::string head(5, '\0');
    pdf.read(head.data(), 5);
    EXPECT_EQ(head, "%PDF-");
    const auto record = nlohmann::json::parse(std::ifstream(json));
    EXPECT_EQ(record["kind"], "calibration");
    EXPECT_EQ(record["result"], "written");
    EXPECT_EQ(record["fixture_device_number"], 3);
    EXPECT_EQ(record["port"], "COM3");
    EXPECT_EQ(record["operator"], "e2e");
    EXPECT_EQ(record["reference_meter_serial"], "2231");
    EXPECT_EQ(record["certificate_number"], stem);
    EXPECT_EQ(record["software_version"], TARVOK_VERSION_TEXT);
    EXPECT_EQ(record["tolerance_percent_of_span"], 0.1);
    ASSERT_EQ(record["points"].size(), 6u);
    const double typed[] = {0.0, 4.0, 8.0, 12.010, 16.011, 20.0};
    for (size_t i = 0; i < 6; ++i) {
        const auto& p = record["points"][i];
        EXPECT_EQ(p["nominal_mA"], 4.0 * static_cast<double>(i));
        EXPECT_EQ(p["reference_mA"], typed[i]) << i;
        // The reading is the measured value written for the point.
        uint32_t bits = 0;
        for (size_t b = 6; b < 10; ++b) bits = (bits << 8) | steps[3 + i][b];
        float measured;
        std::memcpy(&measured, &bits, 4);
        EXPECT_EQ(static_cast<float>(p["reading_mA"].get<double>()), measured) << i;
        EXPECT_EQ(p["error_mA"].get<double>(),
                  std::round((p["reading_mA"].get<double>() - typed[i]) * 1e6) / 1e6);
    }
}

// A fixture that never answers, from the start: the window says so in its
// title and its status line, and 校准 and 写入 are refused with the reason,
// sending nothing; once the fixture answers, all of it clears.
TEST_F(WindowTest, AFixtureSilentFromTheStartIsToldAndRefused) {
    fixture_->SetScript({}, Behaviour::kSilent);
    StartProgram();
    const std::string title = "Tarvok HART自动测试设备 V" TARVOK_VERSION_TEXT;
    ASSERT_TRUE(WaitFor([&] { return Title() == title + " - 无应答\n"; }, 60000)) << Title();
    EXPECT_EQ(LatestTrace("status line:").rfind("status line: '夹具无应答 (", 0), 0u)
        << LatestTrace("status line:");

    ASSERT_EQ(Xdo({"windowfocus", "--sync", window_}).status, 0);
    ClickControl(84, 269, 60, 18);  // 校准
    AnswerWithReturn("错误");
    ClickControl(84, 195, 60, 18);  // 写入
    AnswerWithReturn("错误");
    for (const std::string box : {"box: 错误: 错误: 夹具无应答, 无法开始校准!",
                                  "box: 错误: 错误: 夹具无应答, 无法写入设备号!"}) {
        EXPECT_EQ(WaitForTrace("box: ", [&](const std::string& l) { return l == box; }), box);
    }
    EXPECT_EQ(WaitForTrace(
                  "box: 提示", [](const std::string&) { return true; }, 500),
              "")
        << "no question asked";
    EXPECT_EQ(CountRequests(201) + CountRequests(182) + CountRequests(34), 0u);

    fixture_->SetScript({}, Behaviour::kAnswer);
    ASSERT_TRUE(WaitFor([&] { return Title() == title + "\n"; }, 60000)) << Title();
    EXPECT_TRUE(WaitFor([&] { return LatestTrace("status line:") == "status line: ''"; }))
        << LatestTrace("status line:");
    EXPECT_NE(
        WaitForTrace("current readout:",
                     [](const std::string& l) { return l.find("' 0.000'") == std::string::npos; }),
        "");
}

// 工具 → 通道总览 with the mouse; the scan started with a click and the
// pty fixture scanned; its CSV exported.
TEST_F(WindowTest, TheOverviewScansThePtyFixtureAndExports) {
    StartProgram();
    ASSERT_NE(
        WaitForTrace("current readout:",
                     [](const std::string& l) { return l.find("' 0.000'") == std::string::npos; }),
        "");
    ASSERT_EQ(Xdo({"windowfocus", "--sync", window_}).status, 0);
    ClickFirstToolsItem();
    const ProcessResult found =
        Xdo({"search", "--sync", "--onlyvisible", "--name", "^通道总览$"}, 10000);
    ASSERT_EQ(found.status, 0) << "no overview";
    const std::string overview = found.out.substr(0, found.out.find('\n'));
    Xdo({"windowfocus", "--sync", overview});
    const size_t selectsBefore = CountRequests(34);
    // 开始扫描 is the first button of the row at the bottom left.
    const int height = WindowSize(overview).second;
    ASSERT_GT(height, 100);
    ASSERT_EQ(
        Xdo({"mousemove", "--window", overview, "30", std::to_string(height - 23), "click", "1"})
            .status,
        0);
    // 32 channels, then the one active before (CH1) made active again.
    ASSERT_TRUE(WaitFor([&] { return CountRequests(34) >= selectsBefore + 33; }, 150000));
    FrameRecord last;
    for (const auto& r : Requests())
        if (CommandOf(r) == 34) last = r;
    EXPECT_EQ(DataOf(last), (Bytes{0x00, 0x00, 0x00, 0x00})) << "CH1 again";

    const fs::path csv = dir_ / "scan.csv";
    Xdo({"windowfocus", "--sync", overview});
    ASSERT_EQ(Xdo({"key", "ctrl+s"}).status, 0);
    const ProcessResult chooser =
        Xdo({"search", "--sync", "--onlyvisible", "--name", "^导出CSV$"}, 10000);
    ASSERT_EQ(chooser.status, 0) << "no file dialog";
    Xdo({"windowfocus", "--sync", chooser.out.substr(0, chooser.out.find('\n'))});
    Xdo({"key", "ctrl+a"});
    Xdo({"type", "--delay", "20", csv.string()});
    Xdo({"key", "Return"});
    ASSERT_TRUE(WaitFor([&] { return fs::exists(csv) && fs::file_size(csv) > 100; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::ifstream in(csv, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(text.rfind("\xEF\xBB\xBF"
                         "channel,transmitter,loop_current_mA,band,time\n",
                         0),
              0u)
        << text;
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    std::vector<std::string> rows;
    while (std::getline(lines, line)) rows.push_back(line);
    ASSERT_EQ(rows.size(), 32u) << text;
    // CH1 carries the 12 mA loop; the other slots are empty.
    const std::string time = R"(,\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)";
    EXPECT_TRUE(std::regex_match(
        rows[0], std::regex(R"(1,[0-9A-F]{2}-[0-9A-F]{2}-[0-9A-F]{6},12\.\d{3},ok)" + time)))
        << rows[0];
    EXPECT_TRUE(std::regex_match(rows[31], std::regex(R"(32,,0\.\d{3},empty)" + time))) << rows[31];
}

// 工具 → 记录数据 onto a file whose writes never return (a share gone
// quiet; the preloaded library holds them): polling goes on, unchecking
// the item answers at once, and SIGTERM ends the program in time with
// status 0. The file holds nothing but whole rows: none.
TEST_F(WindowTest, ALogFileThatStopsTakingWritesHoldsUpNeitherPollingNorTheWindow) {
    const fs::path log = dir_ / "readings.csv";
    std::string asan = std::getenv("ASAN_OPTIONS") != nullptr ? std::getenv("ASAN_OPTIONS") : "";
    StartProgram({"LD_PRELOAD=" TARVOK_STALL_WRITES_SHIM, "TARVOK_STALL_WRITES_TO=" + log.string(),
                  // The library comes before the sanitizer's runtime.
                  "ASAN_OPTIONS=" + asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0"});
    ASSERT_NE(
        WaitForTrace("current readout:",
                     [](const std::string& l) { return l.find("' 0.000'") == std::string::npos; }),
        "");
    ASSERT_EQ(Xdo({"windowfocus", "--sync", window_}).status, 0);
    ChooseToolsItem(2);  // 记录数据, after 通道总览 and 趋势图
    const ProcessResult chooser =
        Xdo({"search", "--sync", "--onlyvisible", "--name", "^记录数据到文件$"}, 10000);
    ASSERT_EQ(chooser.status, 0) << "no file dialog";
    Xdo({"windowfocus", "--sync", chooser.out.substr(0, chooser.out.find('\n'))});
    Xdo({"key", "ctrl+a"});
    Xdo({"type", "--delay", "20", log.string()});
    Xdo({"key", "Return"});
    EXPECT_NE(WaitForTrace("readings log: writing to " + log.string(),
                           [](const std::string&) { return true; }),
              "");

    // The header is stuck in its write; the polls go on regardless.
    const size_t polls = CountRequests(2);
    EXPECT_TRUE(WaitFor([&] { return CountRequests(2) >= polls + 4; })) << "polling stopped";

    // The window answers: the item unchecked, the log closed at once.
    ASSERT_EQ(Xdo({"windowfocus", "--sync", window_}).status, 0);
    ChooseToolsItem(2);
    EXPECT_NE(WaitForTrace("readings log: closed", [](const std::string&) { return true; }), "")
        << "the window did not answer";
    const size_t unchecked = CountRequests(2);
    EXPECT_TRUE(WaitFor([&] { return CountRequests(2) >= unchecked + 2; }));

    const double signalled = NowMs();
    app_->Signal(SIGTERM);
    reader_.join();
    EXPECT_EQ(app_->Finish(5000), 0);
    EXPECT_LT(NowMs() - signalled, 2000.0);
    app_.reset();
    EXPECT_EQ(fs::file_size(log), 0u);
}

// The program itself ended by a signal while start-up is held up: no X
// server needed, the offscreen platform shows the boxes.
class ProgramEndsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tarvok-ends-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::copy_file(TARVOK_CONFIG_PROGRAM, dir_ / "tarvok-config");
        fs::create_directory(dir_ / "ports");
    }
    void TearDown() override {
        if (app_) app_->Finish(2000);
        if (!dir_.empty()) fs::remove_all(dir_);
    }
    void Start() {
        app_ = std::make_unique<Child>();
        ASSERT_TRUE(app_->Start(
            {"/bin/sh", "-c", "exec \"$0\" --trace 2>&1", (dir_ / "tarvok-config").string()},
            {"QT_QPA_PLATFORM=offscreen", "TARVOK_PORTS_DIR="}));
    }
    // Reads the trace until a line's text after its time starts with
    // `prefix`.
    bool WaitForLine(const std::string& prefix, std::string* line) {
        while (auto l = app_->ReadLine(15000)) {
            if (WithoutTime(*l).rfind(prefix, 0) == 0) {
                *line = WithoutTime(*l);
                return true;
            }
        }
        return false;
    }
    // SIGTERM: status 0 within 2 s.
    void EndsOnSigterm() {
        const double signalled = NowMs();
        app_->Signal(SIGTERM);
        EXPECT_EQ(app_->Finish(5000), 0);
        EXPECT_LT(NowMs() - signalled, 2000.0);
        app_.reset();
    }

    fs::path dir_;
    std::unique_ptr<Child> app_;
};

TEST_F(ProgramEndsTest, SigtermWhileAStartUpBoxIsOpen) {
    // Port entries that are no tty: each gives a box at start-up.
    for (const char* kind : {"file", "null", "directory"}) {
        SCOPED_TRACE(kind);
        const fs::path entry = dir_ / "ports" / "COM4";
        fs::remove_all(entry);
        if (std::string(kind) == "file") std::ofstream(entry) << "x";
        if (std::string(kind) == "null") fs::create_symlink("/dev/null", entry);
        if (std::string(kind) == "directory") fs::create_directory(entry);
        std::ofstream(dir_ / "com.ini") << "[CONFIG]\nCOM=4\n";
        Start();
        std::string box;
        ASSERT_TRUE(WaitForLine("box: ", &box));
        EXPECT_NE(box.find("COM4"), std::string::npos) << box;
        EndsOnSigterm();
    }
}

TEST_F(ProgramEndsTest, SigtermWithAFifoForTheSettingsFile) {
    // Nobody writes into it: reading it would wait for ever.
    ASSERT_EQ(::mkfifo((dir_ / "com.ini").c_str(), 0600), 0);
    Start();
    // Past the port search's pause, in the window's own loop.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EndsOnSigterm();
}

}  // namespace
}  // namespace e2e
