// The main worker against the simulated fixture, with a fake window.
#include "engine/main_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

#include "fake_view.h"
#include "hart/fixture_commands.h"
#include "hart/transaction.h"
#include "line_support.h"
#include "platform/clock.h"
#include "serial/port_factory.h"
#include "serial/serial_link.h"
#include "sim/simulated_fixture.h"

namespace engine {
namespace {

using sim::LineEvent;
using test::FakeView;

TEST(ChannelCodings, EveryWayAChannelIsWrittenDown) {
    EXPECT_EQ(ChannelReadoutText(1), "01");
    EXPECT_EQ(ChannelReadoutText(9), "09");
    EXPECT_EQ(ChannelReadoutText(32), "32");
    EXPECT_EQ(ChannelReadoutText(255), "00");
    EXPECT_EQ(ChannelFromReadout("00"), 0);
    EXPECT_EQ(ChannelFromReadout("07"), 7);

    EXPECT_EQ(hart::DampingOfChannel(1), 0.0f);
    EXPECT_EQ(hart::DampingOfChannel(32), 31.0f);
    EXPECT_EQ(hart::DampingOfChannel(hart::kNoChannel), 32.0f);

    // Read back: 0 is none ("00", "无" checked), -1 names no channel.
    EXPECT_EQ(hart::ChannelFromDamping(0.0f), 1);
    EXPECT_EQ(hart::ChannelFromDamping(31.9f), 32);
    EXPECT_EQ(hart::ChannelFromDamping(32.0f), 0);
    EXPECT_EQ(hart::ChannelFromDamping(33.0f), -1);
    EXPECT_EQ(hart::ChannelFromDamping(-2.0f), -1);
    EXPECT_EQ(hart::ChannelFromDamping(-0.5f), 1) << "truncated toward zero";
    EXPECT_EQ(hart::ChannelFromDamping(std::numeric_limits<float>::quiet_NaN()), -1);
    EXPECT_EQ(hart::ChannelFromDamping(1e30f), -1);
}

TEST(LoopCurrentText, BlankBelowTenMilliamps) {
    EXPECT_EQ(FormatLoopCurrent(4.0f), " 4.000");
    EXPECT_EQ(FormatLoopCurrent(0.0f), " 0.000");
    EXPECT_EQ(FormatLoopCurrent(9.9996f), " 10.000") << "below 10, rounded up by the format";
    EXPECT_EQ(FormatLoopCurrent(10.0f), "10.000");
    EXPECT_EQ(FormatLoopCurrent(12.5f), "12.500");
    EXPECT_EQ(DeviceNumberText(3), "设备3 #");
}

TEST(StepRule, EveryNetCountFromEveryChannel) {
    EXPECT_EQ(StepTargetOf(5, 3), 8);
    EXPECT_EQ(StepTargetOf(1, -1), 32);
    EXPECT_EQ(StepTargetOf(32, 1), 1);
    EXPECT_EQ(StepTargetOf(0, 1), 1);
    EXPECT_EQ(StepTargetOf(0, -1), 32);
    EXPECT_EQ(StepTargetOf(7, 0), 0) << "up then down: none";
    for (int c = 0; c <= 32; ++c) {
        for (int s = -99; s <= 99; ++s) {
            const int t = StepTargetOf(c, s);
            if (s % 33 == 0) {
                EXPECT_EQ(t, 0) << c << " " << s;
                continue;
            }
            // Walk the ring of none and CH1..CH32 one step at a time, then
            // step off none in the direction of travel.
            int p = c;
            for (int i = 0; i < std::abs(s % 33); ++i) p = (p + (s > 0 ? 1 : 32)) % 33;
            if (p == 0) p = s > 0 ? 1 : 32;
            EXPECT_EQ(t, p) << c << " " << s;
        }
    }
}

// Counts closes of the port the link holds.
class CountingPort final : public serial::ComPort {
public:
    CountingPort(std::unique_ptr<serial::ComPort> port, std::atomic<int>& closes)
        : port_(std::move(port)), closes_(closes) {}
    bool Open(const std::string& d) override { return port_->Open(d); }
    void Close() override {
        if (port_->IsOpen()) ++closes_;
        port_->Close();
    }
    bool IsOpen() const override { return port_->IsOpen(); }
    bool ConfigureLine() override { return port_->ConfigureLine(); }
    bool ReleaseRts() override { return port_->ReleaseRts(); }
    void SetDtr(bool on) override { port_->SetDtr(on); }
    void SetRts(bool on) override { port_->SetRts(on); }
    bool CarrierDetect() override { return port_->CarrierDetect(); }
    size_t QueuedInput() override { return port_->QueuedInput(); }
    long Read(uint8_t* b, size_t n) override { return port_->Read(b, n); }
    long Write(const uint8_t* d, size_t n) override { return port_->Write(d, n); }
    void Purge(bool i, bool o) override { port_->Purge(i, o); }
    serial::WaitResult WaitForInput() override { return port_->WaitForInput(); }
    void CancelWait() override { port_->CancelWait(); }
    bool HasVanished() const override { return port_->HasVanished(); }

private:
    std::unique_ptr<serial::ComPort> port_;
    std::atomic<int>& closes_;
};

sim::FixtureConfig Config() {
    sim::FixtureConfig c;
    c.activeChannel = 4;  // CH5
    for (int ch = 0; ch < 8; ++ch) {
        sim::TransmitterConfig t;
        t.channel = ch;
        t.deviceId = {0x00, 0x10, static_cast<uint8_t>(ch + 1)};
        t.initialCurrentMa = 4.0f + 2.0f * static_cast<float>(ch);
        c.transmitters.push_back(t);
    }
    return c;
}

class MainWorkerTest : public ::testing::Test {
protected:
    explicit MainWorkerTest(double scale = 10.0) : scale_(scale) {}

    void SetUp() override {
        platform::SetTimeScale(scale_);
        hart::ResetHartState();
        serial::SetPortFactory(serial::SinglePortFactory(
            1, [this] { return std::make_unique<CountingPort>(fixture.CreatePort(), closes); }));
        hart::g_pMainDlg = &worker;
    }
    void TearDown() override { test::EndWorkerAndLink(worker); }

    // Commands of the master's frames in the order they went out.
    std::vector<int> Commands() {
        std::vector<int> out;
        for (const auto& r : test::MasterRequests(fixture)) out.push_back(r.command);
        return out;
    }
    std::vector<uint8_t> DataOf(int command) {
        for (const auto& r : test::MasterRequests(fixture))
            if (r.command == command) return r.data;
        return {};
    }
    template <typename Pred>
    bool WaitFor(Pred pred, uint32_t ms = 20000) {
        return test::WaitFor(pred, ms);
    }
    bool Polling() { return !view.CurrentTexts().empty(); }
    void StartPolling() {
        ASSERT_EQ(serial::OpenPort(1), 1);
        worker.Start();
        ASSERT_TRUE(WaitFor([&] { return Polling(); }));
    }

    double scale_;
    sim::SimulatedFixture fixture{Config()};
    std::atomic<int> closes{0};
    FakeView view;
    CMainWorker worker{view};
};

TEST_F(MainWorkerTest, StartsByReadingTheChannelThenPolls) {
    StartPolling();
    ASSERT_TRUE(WaitFor([&] { return view.CurrentTexts().size() >= 2; }));
    const auto commands = Commands();
    ASSERT_GE(commands.size(), 4u);
    EXPECT_EQ(std::vector<int>(commands.begin(), commands.begin() + 4),
              (std::vector<int>{0, 15, 2, 2}));
    EXPECT_EQ(view.GetChannelText(), "05");
    ASSERT_EQ(view.Checks().size(), 1u);
    EXPECT_EQ(view.Checks()[0].n, 5);
    EXPECT_EQ(view.DeviceNumberText(), "设备1 #");
    // CH5 carries 12 mA, read through the fixture's uncalibrated converter.
    EXPECT_EQ(view.CurrentTexts().back().substr(0, 3), "12.");
    EXPECT_EQ(worker.PendingOperation().mode, ModePollCurrent);
}

TEST_F(MainWorkerTest, SwitchesAndStepsFromTheReadout) {
    StartPolling();
    worker.SelectChannel(7);
    ASSERT_TRUE(WaitFor([&] { return view.GetChannelText() == "07"; }));
    EXPECT_EQ(fixture.ActiveChannel(), 6);
    EXPECT_EQ(DataOf(34), (std::vector<uint8_t>{0x40, 0xC0, 0x00, 0x00})) << "6.0";

    worker.SelectChannel(0);  // "无"
    ASSERT_TRUE(WaitFor([&] { return view.GetChannelText() == "00"; }));
    EXPECT_EQ(fixture.ActiveChannel(), -1);
    EXPECT_EQ(view.Checks().back().n, 0);

    // Up, Up, Down within the quiet time: one step up, from none to CH1.
    worker.OnStepKeyReleased(1);
    worker.OnStepKeyReleased(1);
    worker.OnStepKeyReleased(-1);
    ASSERT_TRUE(WaitFor([&] { return view.GetChannelText() == "01"; }));
    EXPECT_EQ(worker.StepCount(), 0);

    // Steps that another action replaced go with them: a later release
    // counts alone.
    worker.OnStepKeyReleased(1);
    worker.OnStepKeyReleased(1);
    worker.PostOperation(ModePollCurrent, 0, 0);
    platform::Sleep(1500);
    EXPECT_EQ(view.GetChannelText(), "01");
    EXPECT_EQ(worker.StepCount(), 0);
    worker.OnStepKeyReleased(1);
    ASSERT_TRUE(WaitFor([&] { return view.GetChannelText() == "02"; }));
}

TEST_F(MainWorkerTest, AFailedSwitchKeepsTheReadoutAndTellsTheOperator) {
    StartPolling();
    ASSERT_EQ(view.GetChannelText(), "05");
    fixture.SetFaultRate(sim::Fault::kNoReply, 1.0);
    worker.SelectChannel(9);
    ASSERT_TRUE(WaitFor([&] { return !view.Boxes().empty(); }));
    const auto box = view.Boxes().front();
    EXPECT_EQ(box.text, "错误: 通道CH9切换失败!");
    EXPECT_EQ(box.caption, "错误");
    EXPECT_EQ(box.icon, BoxIcon::kError);
    EXPECT_EQ(view.GetChannelText(), "05") << "the readout keeps the channel";
    EXPECT_EQ(view.Checks().back().n, 9) << "the menu keeps the choice";
    ASSERT_TRUE(WaitFor([&] { return view.CurrentTexts().back() == " 0.000"; }))
        << "failed polls show zero";
}

TEST_F(MainWorkerTest, AChoiceMadeWithoutAPortGivesWayToReadingTheChannel) {
    worker.Start();
    worker.SelectChannel(3);
    platform::Sleep(1000);
    EXPECT_TRUE(fixture.LineLog().empty()) << "no port: nothing is sent";
    EXPECT_EQ(worker.PendingOperation().mode, ModeSwitchChannel);
    // What a successful port choice does: open, then read the channel.
    ASSERT_EQ(serial::OpenPort(1), 1);
    worker.PostOperation(ModeReadChannel, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return Polling(); }));
    EXPECT_EQ(view.GetChannelText(), "05");
    const auto commands = Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 34), 0);
}

TEST_F(MainWorkerTest, AnIdleWorkerWithoutAPortWaitsInsteadOfSpinning) {
    worker.Start();
    platform::Sleep(2000);
    // Two seconds of the clock with nothing to do: a handful of passes.
    EXPECT_LE(worker.Passes(), 2000u / CMainWorker::kIdleWaitMs + 3);
    // A post still wakes it at once.
    ASSERT_EQ(serial::OpenPort(1), 1);
    worker.PostOperation(ModeReadChannel, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return Polling(); }, 8000));
}

TEST_F(MainWorkerTest, CloseClosesThePortOnceAfterThePass) {
    StartPolling();
    worker.RequestStop(true);
    ASSERT_TRUE(worker.WaitForEnd(20000));
    EXPECT_FALSE(serial::IsPortOpen());
    EXPECT_EQ(closes.load(), 1);
    EXPECT_EQ(serial::ClosePort(), 0) << "nothing left to close";
    EXPECT_EQ(closes.load(), 1);
}

TEST_F(MainWorkerTest, DeviceNumberWriteSendsTheChosenEntry) {
    StartPolling();
    view.selection = 2;  // "设备3 #"
    worker.PostOperation(ModeWriteDeviceNumber, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return fixture.DeviceNumber() == 3u; }));
    EXPECT_EQ(DataOf(182), (std::vector<uint8_t>{0x00, 0x00, 0x03}));
    ASSERT_TRUE(WaitFor([&] { return view.Busy().size() == 2; }));
    EXPECT_EQ(view.Busy(), (std::vector<bool>{true, false}));
    EXPECT_TRUE(view.Boxes().empty()) << "no message either way";
    // The number shows at the next identification, not before.
    EXPECT_EQ(view.DeviceNumberText(), "设备1 #");
    hart::ForgetFixture();
    ASSERT_TRUE(WaitFor([&] { return view.DeviceNumberText() == "设备3 #"; }));

    view.selection = -1;
    worker.PostOperation(ModeWriteDeviceNumber, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return !view.Boxes().empty(); }));
    EXPECT_EQ(view.Boxes()[0].text, "请选择地址");
    EXPECT_EQ(view.Boxes()[0].caption, kApplicationTitle);
}

// Operator actions posted while another operation runs: the worker's own
// return to polling never replaces them.
class NothingLostTest : public MainWorkerTest {
protected:
    // Waits until a switch to channel `n` (1-32) has gone out on the wire.
    bool WaitForSwitchTo(int n, size_t after) {
        const uint8_t first = DampingBytes(n)[0], second = DampingBytes(n)[1];
        return WaitFor([&] {
            const auto r = test::MasterRequests(fixture);
            for (size_t i = after; i < r.size(); ++i)
                if (r[i].command == 34 && r[i].data.size() == 4 && r[i].data[0] == first &&
                    r[i].data[1] == second)
                    return true;
            return false;
        });
    }
    static std::vector<uint8_t> DampingBytes(int n) {
        const float v = static_cast<float>(n - 1);
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        return {static_cast<uint8_t>(bits >> 24), static_cast<uint8_t>(bits >> 16)};
    }
    bool Agree(int n) {
        return view.GetChannelText() == ChannelReadoutText(n) && fixture.ActiveChannel() == n - 1 &&
               !view.Checks().empty() && view.Checks().back().n == n &&
               worker.PendingOperation().mode == ModePollCurrent;
    }
};

TEST_F(NothingLostTest, AChoiceMadeWhileASwitchRunsLands) {
    StartPolling();
    for (int i = 0; i < 20; ++i) {
        const int a = 1 + (2 * i) % 32, b = 1 + (2 * i + 7) % 32;
        const size_t before = test::MasterRequests(fixture).size();
        worker.SelectChannel(a);
        ASSERT_TRUE(WaitForSwitchTo(a, before)) << i;
        // 100 to 1000 ms after the switch began: during its exchange or
        // just after it.
        platform::Sleep(100 + static_cast<uint32_t>(i) * 900 / 19);
        worker.SelectChannel(b);
        ASSERT_TRUE(WaitFor([&] { return Agree(b); }, 20000))
            << i << ": readout " << view.GetChannelText() << ", fixture CH"
            << fixture.ActiveChannel() + 1;
    }
}

TEST_F(NothingLostTest, AnArrowKeyDuringASwitchStepsFromWhereTheSwitchEnded) {
    StartPolling();  // CH5
    const size_t before = test::MasterRequests(fixture).size();
    worker.SelectChannel(9);
    ASSERT_TRUE(WaitForSwitchTo(9, before));
    worker.OnStepKeyReleased(1);
    ASSERT_TRUE(WaitFor([&] { return Agree(10); })) << view.GetChannelText();
    EXPECT_EQ(worker.StepCount(), 0) << "no count outlives its step";
    // The next key counts alone.
    worker.OnStepKeyReleased(-1);
    ASSERT_TRUE(WaitFor([&] { return Agree(9); })) << view.GetChannelText();
}

TEST_F(NothingLostTest, AStepButtonStepsFromTheChannelLastAskedFor) {
    StartPolling();  // CH5
    EXPECT_EQ(worker.ChannelLastAskedFor(), 5);
    worker.SelectChannel(6);
    EXPECT_EQ(worker.ChannelLastAskedFor(), 6) << "before the readout has caught up";
    worker.SelectChannel(0);
    EXPECT_EQ(worker.ChannelLastAskedFor(), 0);
    ASSERT_TRUE(WaitFor([&] { return view.GetChannelText() == "00"; }));
    EXPECT_EQ(worker.ChannelLastAskedFor(), 0);
}

TEST_F(NothingLostTest, LongOperationsAskedForDuringASwitchRun) {
    StartPolling();
    view.selection = 2;
    size_t before = test::MasterRequests(fixture).size();
    worker.SelectChannel(12);
    ASSERT_TRUE(WaitForSwitchTo(12, before));
    worker.PostOperation(ModeWriteDeviceNumber, 0, 0);  // 写入 answered Yes
    ASSERT_TRUE(WaitFor([&] { return fixture.DeviceNumber() == 3u; }));
    EXPECT_EQ(view.GetChannelText(), "12");

    view.channelPrompt = [] { return IDCANCEL; };
    before = test::MasterRequests(fixture).size();
    worker.SelectChannel(3);
    ASSERT_TRUE(WaitForSwitchTo(3, before));
    worker.PostOperation(ModeCalibrate, 0, 0);  // 校准 answered Yes
    ASSERT_TRUE(WaitFor([&] { return view.Prompts().size() == 1u; }));
    ASSERT_TRUE(WaitFor([&] { return view.Activities().size() == 2u; }));
    EXPECT_EQ(view.Activities(), (std::vector<Activity>{Activity::kCalibrating, Activity::kNone}));
}

TEST_F(NothingLostTest, AChoiceDuringTheFirstReadIsCarriedOut) {
    ASSERT_EQ(serial::OpenPort(1), 1);
    worker.Start();
    // The first read identifies the fixture and signals on the lines for
    // 3 s before command 15 goes out.
    platform::Sleep(1500);
    ASSERT_EQ(worker.PendingOperation().mode, ModeReadChannel);
    worker.SelectChannel(7);
    ASSERT_TRUE(WaitFor([&] { return Agree(7); })) << view.GetChannelText();
    const auto commands = Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 15), 1);
}

// A second fixture on port 2, for a change of port.
TEST_F(NothingLostTest, APortChangeDuringASwitchReadsTheNewFixturesChannel) {
    sim::FixtureConfig otherConfig = Config();
    otherConfig.activeChannel = 20;  // CH21
    sim::SimulatedFixture other(otherConfig);
    serial::SetPortFactory([this, &other](int n) {
        if (n == 1) return serial::PortEndpoint{fixture.CreatePort(), {}, "COM1"};
        if (n == 2) return serial::PortEndpoint{other.CreatePort(), {}, "COM2"};
        return serial::PortEndpoint{};
    });
    StartPolling();
    const size_t before = test::MasterRequests(fixture).size();
    worker.SelectChannel(9);
    ASSERT_TRUE(WaitForSwitchTo(9, before));
    // What the window does for a port chosen from its menu.
    ASSERT_EQ(serial::OpenPort(2), 1);
    worker.PostOperation(ModeReadChannel, 0, 0);
    ASSERT_TRUE(WaitFor([&] {
        return view.GetChannelText() == "21" && worker.PendingOperation().mode == ModePollCurrent;
    })) << view.GetChannelText();
    platform::Sleep(1000);
    EXPECT_EQ(view.GetChannelText(), "21");
    EXPECT_EQ(other.ActiveChannel(), 20) << "nothing switched the new fixture";
    serial::ClosePort();
}

TEST_F(MainWorkerTest, EveryPollIsReportedAndThreeFailuresInARowMeanSilence) {
    StartPolling();
    ASSERT_TRUE(WaitFor([&] { return view.Polls().size() >= 2; }));
    const PollSample first = view.Polls().front();
    EXPECT_TRUE(first.ok);
    EXPECT_EQ(first.channel, 5);
    EXPECT_EQ(FormatLoopCurrent(first.milliamps), view.CurrentTexts().front());

    fixture.SetFaultRate(sim::Fault::kNoReply, 1.0);
    const size_t before = view.Polls().size();
    ASSERT_TRUE(WaitFor([&] { return !view.Silent().empty(); }));
    EXPECT_EQ(view.Silent(), std::vector<bool>{true});
    const auto polls = view.Polls();
    ASSERT_GE(polls.size(), before + 3);
    for (size_t i = polls.size() - 3; i < polls.size(); ++i) EXPECT_FALSE(polls[i].ok);
    fixture.ClearFaults();
    ASSERT_TRUE(WaitFor([&] { return view.Silent().size() == 2; }));
    EXPECT_EQ(view.Silent(), (std::vector<bool>{true, false})) << "told once each way";
    EXPECT_TRUE(view.Polls().back().ok);
}

TEST_F(MainWorkerTest, APollWithoutAReadingShowsZeroAndIsNoGoodSample) {
    StartPolling();
    ASSERT_TRUE(WaitFor([&] { return view.Polls().size() >= 2; }));
    const size_t from = view.Polls().size();
    const auto failedSince = [&](size_t first) {
        const auto polls = view.Polls();
        return static_cast<size_t>(
            std::count_if(polls.begin() + static_cast<long>(std::min(first, polls.size())),
                          polls.end(), [](const PollSample& p) { return !p.ok; }));
    };
    // Every reply for a while carries NaN, then +inf, then 1e30, then none.
    for (sim::Fault f : {sim::Fault::kNotANumber, sim::Fault::kInfinity, sim::Fault::kHugeValue,
                         sim::Fault::kEmptyReply}) {
        const size_t before = view.Polls().size();
        fixture.SetFaultRate(f, 1.0);
        ASSERT_TRUE(WaitFor([&] { return failedSince(before) >= 3; })) << static_cast<int>(f);
        fixture.ClearFaults();
    }
    ASSERT_TRUE(WaitFor([&] { return view.Polls().back().ok; }));

    // Each poll's text is the readout's: " 0.000" for a failed one, the
    // reading for a good one, and a good one is a plausible current.
    const auto polls = view.Polls();
    const auto texts = view.CurrentTexts();
    ASSERT_EQ(polls.size(), texts.size());
    for (size_t i = from; i < polls.size(); ++i) {
        if (!polls[i].ok) {
            EXPECT_EQ(texts[i], " 0.000") << i;
            continue;
        }
        EXPECT_TRUE(polls[i].milliamps >= 0.0f && polls[i].milliamps <= 30.0f) << i;
        EXPECT_EQ(texts[i], FormatLoopCurrent(polls[i].milliamps)) << i;
    }
    // The fixture answered the values that were no readings: not silent.
    // Replies without data, three attempts each, are no answer.
    EXPECT_EQ(view.Silent(), (std::vector<bool>{true, false}));
}

// A fixture that never answers, from the start: the channel read that
// start-up keeps retrying is what tells.
TEST_F(MainWorkerTest, AFixtureSilentFromTheStartIsToldWithoutASinglePoll) {
    fixture.SetFaultRate(sim::Fault::kNoReply, 1.0);
    ASSERT_EQ(serial::OpenPort(1), 1);
    worker.Start();
    ASSERT_TRUE(WaitFor([&] { return !view.Silent().empty(); }));
    EXPECT_EQ(view.Silent(), std::vector<bool>{true});
    EXPECT_TRUE(view.Polls().empty());
    EXPECT_EQ(worker.PendingOperation().mode, ModeReadChannel);
    fixture.ClearFaults();
    ASSERT_TRUE(WaitFor([&] { return view.Silent().size() == 2; }));
    EXPECT_EQ(view.Silent(), (std::vector<bool>{true, false}));
    EXPECT_EQ(view.GetChannelText(), "05");
}

// Passes driven on the test's thread, one exchange each: which failures
// count toward the fixture's silence, and what ends it.
TEST_F(MainWorkerTest, FailedReadsAndSwitchesCountAndAnInterruptedExchangeDoesNot) {
    ASSERT_EQ(serial::OpenPort(1), 1);
    fixture.SetFaultRate(sim::Fault::kNoReply, 1.0);
    const auto t0 = std::chrono::steady_clock::now();
    worker.RunPass();  // the start-up's channel read
    worker.RunPass();
    ASSERT_EQ(worker.PendingOperation().mode, ModeReadChannel);
    EXPECT_TRUE(view.Silent().empty());
    // Cut short, as by the window's close or a port change: not counted.
    serial::RaiseAbort();
    worker.RunPass();
    serial::LowerAbort();
    EXPECT_TRUE(view.Silent().empty());
    const auto beforeThird = std::chrono::steady_clock::now();
    worker.PostOperation(ModeSwitchChannel, 7, 0);
    worker.RunPass();
    ASSERT_EQ(view.Boxes().size(), 1u);
    EXPECT_EQ(view.Boxes()[0].text, "错误: 通道CH7切换失败!");
    EXPECT_EQ(view.Silent(), std::vector<bool>{true}) << "two reads and a switch";
    EXPECT_GE(view.SilentSince(), t0);
    EXPECT_LT(view.SilentSince(), beforeThird) << "silent since the port was first used";
    worker.RunPass();  // a failed poll: already told
    EXPECT_EQ(view.Silent(), std::vector<bool>{true});

    fixture.ClearFaults();
    worker.RunPass();
    EXPECT_EQ(view.Silent(), (std::vector<bool>{true, false})) << "the poll answered";
    // Two failures, an answer, two failures: never three in a row.
    fixture.SetFaultRate(sim::Fault::kNoReply, 1.0);
    worker.RunPass();
    worker.RunPass();
    fixture.ClearFaults();
    worker.RunPass();
    fixture.SetFaultRate(sim::Fault::kNoReply, 1.0);
    worker.RunPass();
    worker.RunPass();
    EXPECT_EQ(view.Silent().size(), 2u);
    worker.RunPass();
    ASSERT_EQ(view.Silent().size(), 3u);
    // Without a port nothing is silent: the port menu says why.
    serial::ClosePort();
    worker.RunPass();
    EXPECT_EQ(view.Silent(), (std::vector<bool>{true, false, true, false}));
}

// The overview's scan as one operation of the worker.
TEST_F(NothingLostTest, AScanReportsEveryChannelAndPutsTheChannelBack) {
    StartPolling();  // CH5
    worker.RequestScan(1, 32);
    ASSERT_TRUE(WaitFor([&] { return !view.ScanResults().empty(); }, 60000));
    const ScanResult result = view.ScanResults().front();
    EXPECT_TRUE(result.Ok());
    EXPECT_TRUE(result.restored);
    const auto rows = view.ScanRows();
    ASSERT_EQ(rows.size(), 32u);
    EXPECT_EQ(view.ScanProgress(), std::make_pair(32, 32));
    for (const ScanRow& row : rows) {
        EXPECT_EQ(row.transmitter.has_value(), row.channel <= 8) << row.channel;
        ASSERT_TRUE(row.loopCurrentMa.has_value()) << row.channel;
    }
    EXPECT_EQ(rows[1].transmitter->Tag().substr(6), "001002");
    // The scan's end is told after its result: wait for it.
    ASSERT_TRUE(WaitFor([&] { return view.Activities().size() >= 2u; }));
    EXPECT_EQ(view.Activities(), (std::vector<Activity>{Activity::kScanning, Activity::kNone}));
    ASSERT_TRUE(WaitFor([&] { return Agree(5) && view.Polls().size() >= 2; }))
        << "CH5 again, and polling";
}

TEST_F(NothingLostTest, AnActionDuringAScanEndsItAndRunsAfterIt) {
    StartPolling();  // CH5
    worker.RequestScan(1, 32);
    ASSERT_TRUE(WaitFor([&] { return view.ScanRows().size() >= 2; }));
    worker.SelectChannel(12);
    ASSERT_TRUE(WaitFor([&] { return Agree(12); })) << view.GetChannelText();
    ASSERT_EQ(view.ScanResults().size(), 1u);
    EXPECT_TRUE(view.ScanResults()[0].stopped);
    EXPECT_TRUE(view.ScanResults()[0].restored) << "CH5 put back before the switch";
    EXPECT_LT(view.ScanRows().size(), 32u);
}

TEST_F(NothingLostTest, AFixtureThatFallsSilentMidScanIsReportedAndReadAgain) {
    StartPolling();
    worker.RequestScan(1, 32);
    ASSERT_TRUE(WaitFor([&] { return view.ScanRows().size() >= 3; }));
    fixture.SetFaultRate(sim::Fault::kNoReply, 1.0);
    ASSERT_TRUE(WaitFor([&] { return !view.ScanResults().empty(); }, 60000));
    const ScanResult result = view.ScanResults().front();
    EXPECT_FALSE(result.Ok());
    EXPECT_EQ(result.failure.reason, hart::Reason::kNoReply);
    EXPECT_FALSE(result.restored);
    // Read back once the fixture answers again.
    ASSERT_TRUE(WaitFor([&] { return worker.PendingOperation().mode == ModeReadChannel; }));
    fixture.ClearFaults();
    ASSERT_TRUE(WaitFor([&] { return worker.PendingOperation().mode == ModePollCurrent; }));
    EXPECT_EQ(view.GetChannelText(), ChannelReadoutText(fixture.ActiveChannel() + 1));
}

// On the real clock, across the tick's wrap: the 500 ms rule.
class MainWorkerRealTimeTest : public MainWorkerTest {
protected:
    MainWorkerRealTimeTest() : MainWorkerTest(1.0) {}
};

TEST_F(MainWorkerRealTimeTest, KeysReleasedEvery400MsSwitchOnce500MsAfterTheLast) {
    platform::SetTimeScale(10.0);
    StartPolling();
    platform::SetTimeScale(1.0);
    platform::SetTick(0xFFFFFFFFu - 1000u);
    const size_t checksBefore = view.Checks().size();
    uint32_t last = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) platform::Sleep(400);
        last = platform::Tick();
        worker.OnStepKeyReleased(1);
    }
    ASSERT_TRUE(WaitFor([&] { return view.GetChannelText() == "09"; }, 10000));
    const auto checks = view.Checks();
    ASSERT_EQ(checks.size(), checksBefore + 1) << "one switch for the four releases";
    const uint32_t after = checks.back().tick - last;
    EXPECT_GT(after, 500u);
    EXPECT_LE(after, 500u + 15u);
}

}  // namespace
}  // namespace engine
