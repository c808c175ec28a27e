// How the console tool ends when a signal stops it, in-process (the real
// process and its signals: tests/e2e): the signal stands in as RequestStop,
// called where a real one would land (from a trace listener, mid-exchange),
// and what a command must put back goes back with one call.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <mutex>
#include <sstream>
#include <string_view>

#include "../engine/line_support.h"
#include "cli/hart_cli.h"
#include "cli/put_back.h"
#include "cli/stop_signals.h"
#include "hart/fixture_commands.h"
#include "platform/trace.h"
#include "sim/demo_line.h"

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

// Every frame the tool sends (TX) or accepts (RX), as traced, handed to
// `onFrame` with the frames before it; called on the thread that traces it
// (the exchange's for TX, the receive thread's for RX).
class FrameWatch {
public:
    using OnFrame =
        std::function<void(const std::string& line, const std::vector<std::string>& before)>;
    explicit FrameWatch(OnFrame onFrame) : onFrame_(std::move(onFrame)) {
        id_ = platform::AddTraceListener([this](std::string_view line) {
            if (line.find(" TX ") == line.npos && line.find(" RX ") == line.npos) return;
            std::lock_guard lock(mutex_);
            const std::string frame(line.substr(line.find(' ') + 1));
            onFrame_(frame, frames_);
            frames_.push_back(frame);
        });
    }
    ~FrameWatch() { platform::RemoveTraceListener(id_); }
    std::vector<std::string> Frames() const {
        std::lock_guard lock(mutex_);
        return frames_;
    }

private:
    OnFrame onFrame_;
    mutable std::mutex mutex_;
    std::vector<std::string> frames_;  // "TX 34 选择通道 FF ..." without the time
    int id_ = 0;
};

bool Starts(const std::string& line, const char* prefix) { return line.rfind(prefix, 0) == 0; }

class StopTest : public ::testing::Test {
protected:
    void SetUp() override { platform::SetTimeScale(10.0); }
    void TearDown() override {
        ClearStop();
        platform::SetTimeScale(1.0);
    }
};

TEST_F(StopTest, APollStoppedIsCutShortAndReportsNoFailure) {
    // Stopped as the third poll's request goes out, two readings taken:
    // its wait for the reply ends at once.
    auto accepted = [](const std::vector<std::string>& frames) {
        return std::count_if(frames.begin(), frames.end(),
                             [](const std::string& f) { return Starts(f, "RX 2 "); });
    };
    bool stopped = false;
    FrameWatch watch([&](const std::string& frame, const std::vector<std::string>& before) {
        if (!stopped && Starts(frame, "TX 2 ") && accepted(before) == 2) {
            stopped = true;
            RequestStop(SIGTERM);
        }
    });
    const Result r = RunTool({"--simulate", "poll", "--count", "50"});
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
    const auto frames = watch.Frames();
    EXPECT_TRUE(Starts(frames.back(), "TX 2 ")) << "nothing after the request cut short";
    EXPECT_EQ(accepted(frames), 2);
    EXPECT_FALSE(serial::AbortRaised()) << "the cut ends with the run";

    // The next run of the tool exchanges as usual.
    ClearStop();
    const Result next = RunTool({"--simulate", "poll", "--count", "2"});
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(std::count(next.out.begin(), next.out.end(), '\n'), 2) << next.out;
}

TEST_F(StopTest, AStopBeforeTheCommandRunsNothing) {
    RequestStop(SIGTERM);
    RequestStop(SIGINT);  // the first signal is the one that counts
    EXPECT_EQ(StopSignal(), SIGTERM);
    const Result r = RunTool({"--simulate", "select-channel", "5"});
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(StopSignalName(SIGINT), "SIGINT");
    EXPECT_EQ(StopSignalName(SIGTERM), "SIGTERM");
}

// The demo fixture with CH3's transmitter exact and at once in fixed-current
// mode, so that its fixed current is seen as sent.
sim::FixtureConfig DemoWithExactCh3() {
    sim::FixtureConfig c = sim::DemoFixtureConfig();
    c.transmitters[2].gain = 1.0f;
    c.transmitters[2].offsetMa = 0.0f;
    c.transmitters[2].settleMs = 0;
    return c;
}

// The link as the tool sets it up, on the demo fixture: CH1 active,
// transmitters on CH1 to CH8.
class PutBackTest : public StopTest {
protected:
    void SetUp() override {
        StopTest::SetUp();
        hart::ForgetFixture();
        serial::SetPortFactory(
            serial::SinglePortFactory(1, [this] { return fixture.CreatePort(); }));
        hart::g_pMainDlg = &console;
        ASSERT_EQ(serial::OpenPort(1), 1);
        // What a command did: CH3 made active, its transmitter fixed.
        ASSERT_TRUE(hart::SelectChannel(3).Ok());
        console.SetChannel(3);
        ASSERT_TRUE(hart::FixTransmitterCurrent(12.0f).Ok());
        ASSERT_EQ(fixture.TransmitterCurrent(2), 12.0f);
        record.fixedTransmitter = 3;
        record.channelBefore = 1;
        fixture.ClearLineLog();
    }
    void TearDown() override {
        serial::ClosePort();
        hart::g_pMainDlg = nullptr;
        serial::SetPortFactory({});
        StopTest::TearDown();
    }
    // The commands sent, in order, a retry counted with the attempt before.
    std::vector<int> Commands() const {
        std::vector<int> out;
        for (const auto& q : engine::test::MasterRequests(fixture)) out.push_back(q.command);
        out.erase(std::unique(out.begin(), out.end()), out.end());
        return out;
    }

    sim::SimulatedFixture fixture{DemoWithExactCh3()};
    const float freeCurrent = sim::DemoFixtureConfig().transmitters[2].initialCurrentMa;
    ConsoleWindow console;
    PutBackRecord record;
};

TEST_F(PutBackTest, TheTransmitterIsLetGoBeforeTheChannelGoesBack) {
    EXPECT_EQ(PutBack(record, console), std::vector<std::string>{});
    EXPECT_TRUE(record.Empty());
    // Command 40 while CH3 is still active, then 34.
    EXPECT_EQ(Commands(), (std::vector<int>{40, 34}));
    EXPECT_EQ(engine::test::MasterRequests(fixture)[0].data, (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(fixture.TransmitterCurrent(2), freeCurrent);
    EXPECT_EQ(fixture.ActiveChannel(), 0);
    const size_t sent = engine::test::MasterRequests(fixture).size();
    EXPECT_EQ(PutBack(record, console), std::vector<std::string>{});
    EXPECT_EQ(engine::test::MasterRequests(fixture).size(), sent) << "nothing left to put back";
}

TEST_F(PutBackTest, WhatDidNotGoBackStaysAndIsNamed) {
    // At real time, and every reply of the device faulted: a reply that a
    // loaded machine delivers late must not change the reason.
    platform::SetTimeScale(1.0);
    fixture.InjectFault(sim::Fault::kNoReply, 100, sim::Target::kTransmitter);
    EXPECT_EQ(PutBack(record, console),
              std::vector<std::string>{
                  "the transmitter on CH03 is still in fixed-current mode: no reply"});
    EXPECT_EQ(record.fixedTransmitter, 3);
    EXPECT_FALSE(record.channelBefore) << "the channel went back all the same";
    EXPECT_EQ(fixture.ActiveChannel(), 0);

    fixture.ClearFaults();
    fixture.InjectFault(sim::Fault::kRejectedCode, 100, sim::Target::kFixture);
    record.channelBefore = hart::kNoChannel;
    record.fixedTransmitter = 0;
    EXPECT_EQ(PutBack(record, console),
              std::vector<std::string>{
                  "the channel active before (none) is not active again: rejected (response "
                  "code 64)"});
    EXPECT_EQ(record.channelBefore, hart::kNoChannel);
}

}  // namespace
}  // namespace cli
