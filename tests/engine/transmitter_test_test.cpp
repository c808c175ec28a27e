// The transmitter test against the simulated fixture: each verdict, the
// fixed current let go on every way out of a channel, the channel put back,
// and the CSV.
#include "engine/transmitter_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "../hart/simulated_link.h"
#include "line_support.h"
#include "sim/demo_line.h"

namespace engine {
namespace {

using test::MasterRequests;
using test::Request;

struct Window : hart::MainWindowServices {
    int GetChannelIndex() override { return -1; }
    void ShowDeviceNumber(int) override {}
};

float FloatOf(const std::vector<uint8_t>& b) {
    const uint8_t* p = b.data();
    return hart::ReadBigEndianFloat(p);
}

int CommandOfFrame(const std::vector<uint8_t>& b) {
    size_t d = 0;
    while (d < b.size() && b[d] == 0xFF) ++d;
    const size_t at = d + (d < b.size() && (b[d] & 0x80) ? 6 : 2);
    return at < b.size() ? b[at] : -1;
}

bool IsFix(const Request& r) { return r.command == 40 && r.data.size() == 4 && FloatOf(r.data) != 0; }
bool IsRelease(const Request& r) {
    return r.command == 40 && r.data.size() == 4 && FloatOf(r.data) == 0;
}

// Every command 40 with a current is followed by a command 40 with 0.0
// before the fixture is told to change channel, and the wire ends with none
// fixed. A retry repeats its frame: consecutive equal requests count once.
::testing::AssertionResult EveryFixIsReleased(const std::vector<Request>& requests) {
    bool fixed = false;
    for (size_t i = 0; i < requests.size(); ++i) {
        const Request& r = requests[i];
        if (IsFix(r)) fixed = true;
        if (IsRelease(r)) fixed = false;
        if (r.command == 34 && fixed)
            return ::testing::AssertionFailure() << "command 34 at request " << i << " while fixed";
    }
    if (fixed) return ::testing::AssertionFailure() << "still fixed at the end";
    return ::testing::AssertionSuccess();
}

std::vector<int> CommandsOf(const std::vector<Request>& requests) {
    std::vector<int> out;
    const Request* last = nullptr;
    for (const Request& r : requests) {
        if (last && last->command == r.command && last->data == r.data) continue;  // a retry
        out.push_back(r.command);
        last = &r;
    }
    return out;
}

class TransmitterTestTest : public ::testing::Test {
protected:
    void Open(sim::FixtureConfig config) {
        fixture = std::make_unique<sim::SimulatedFixture>(config);
        ASSERT_TRUE(hart::test::OpenSimulatedLink(*fixture, window, 20.0));
    }
    void TearDown() override { hart::test::CloseSimulatedLink(); }

    // True once a fixed current went out: the hook for a stop or a fault
    // while a transmitter holds one.
    bool Fixed() const {
        for (const Request& r : MasterRequests(*fixture))
            if (IsFix(r)) return true;
        return false;
    }

    std::unique_ptr<sim::SimulatedFixture> fixture;
    Window window;
};

TEST_F(TransmitterTestTest, TheDemoShowsEveryVerdictAndEveryFixedCurrentIsLetGo) {
    Open(sim::DemoFixtureConfig());
    TestOptions o;
    o.first = 1;
    o.last = 11;
    o.settings.settleMs = 400;  // twice the demo's 200 ms
    std::vector<int> seen;
    int lastDone = 0;
    o.onResult = [&](const TransmitterResult& r) { seen.push_back(r.channel); };
    o.onProgress = [&](int done, int total) {
        EXPECT_EQ(total, 11);
        lastDone = done;
    };
    const TestRunResult run = RunTransmitterTest(o);
    ASSERT_TRUE(run.Ok()) << run.failedStep << ": " << run.failure.Describe();
    EXPECT_FALSE(run.stopped);
    EXPECT_EQ(run.previousChannel, 1);
    EXPECT_TRUE(run.restored);
    EXPECT_EQ(fixture->ActiveChannel(), 0) << "CH1 active again";
    EXPECT_EQ(lastDone, 11);
    ASSERT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    ASSERT_EQ(run.results.size(), 11u);

    std::vector<std::string> verdicts;
    for (const auto& r : run.results) verdicts.push_back(TestVerdictText(r.verdict));
    EXPECT_EQ(verdicts, (std::vector<std::string>{"pass", "pass", "fail", "pass", "error", "pass",
                                                  "pass", "pass", "empty", "empty", "no-hart"}));

    const TransmitterResult& ch1 = run.results[0];
    ASSERT_TRUE(ch1.transmitter);
    EXPECT_EQ(ch1.transmitter->Tag(), "26-05-001001");
    EXPECT_EQ(ch1.tag, "PT-101");
    EXPECT_EQ(ch1.descriptor, "PRESSURE");
    EXPECT_EQ(ch1.date, "2026-12-11");
    EXPECT_EQ(ch1.longTag, "PRESSURE TRANSMITTER 101") << "revision 7";
    EXPECT_EQ(run.results[1].longTag, "") << "revision 5 is not asked";
    ASSERT_EQ(ch1.points.size(), 3u);
    for (const TestPoint& p : ch1.points) {
        EXPECT_TRUE(p.pass);
        EXPECT_NEAR(p.errorMa, p.readingMa - p.pointMa, 1e-6);
        EXPECT_NEAR(p.errorPercent, p.errorMa / 16.0 * 100.0, 1e-9);
    }

    // CH3's gain is 0.3 % high: in at 4 mA, out at 12 and 20.
    const TransmitterResult& ch3 = run.results[2];
    ASSERT_EQ(ch3.points.size(), 3u);
    EXPECT_TRUE(ch3.points[0].pass);
    EXPECT_FALSE(ch3.points[1].pass);
    EXPECT_FALSE(ch3.points[2].pass);
    EXPECT_NEAR(ch3.points[2].errorMa, 0.06 + 0.002, 0.003);

    const TransmitterResult& ch5 = run.results[4];
    EXPECT_EQ(ch5.reason, "fixing 4.000 mA: rejected (response code 11)");
    EXPECT_TRUE(ch5.points.empty());
    EXPECT_EQ(ch5.releaseProblem, "") << "it never held a fixed current";
    EXPECT_TRUE(run.results[8].loopCurrentMa && *run.results[8].loopCurrentMa < 1.0f);
    EXPECT_FALSE(run.results[10].transmitter);
    EXPECT_NEAR(*run.results[10].loopCurrentMa, 12.0f, 0.05f);

    const auto requests = MasterRequests(*fixture);
    EXPECT_TRUE(EveryFixIsReleased(requests));
    // The whole road of CH1 (revision 7) and CH2 (5), and of the refusing
    // CH5: its refused fixed current is followed by 40 with 0.0 all the same.
    std::vector<int> commands = CommandsOf(requests);
    // The fixture's own identification, when it goes first, is no part of it.
    commands.erase(commands.begin(), std::find(commands.begin(), commands.end(), 15));
    const std::vector<int> tested = {34, 2, 0, 13, 40, 2, 40, 2, 40, 2, 40};
    std::vector<int> ch1Road = {15, 34, 2, 0, 13, 20, 40, 2, 40, 2, 40, 2, 40};
    ASSERT_GE(commands.size(), ch1Road.size() + tested.size());
    EXPECT_EQ(std::vector<int>(commands.begin(), commands.begin() + 13), ch1Road);
    EXPECT_EQ(std::vector<int>(commands.begin() + 13, commands.begin() + 24), tested);
    EXPECT_EQ(commands.back(), 34);
    int refusals = 0;
    for (size_t i = 0; i + 1 < requests.size(); ++i) {
        if (!IsFix(requests[i]) || FloatOf(requests[i].data) != 4.0f) continue;
        // A refusal makes the link forget the address: identified again.
        size_t next = i + 1;
        while (next < requests.size() && requests[next].command == 0) ++next;
        if (next < requests.size() && IsRelease(requests[next])) ++refusals;
    }
    EXPECT_EQ(refusals, 1) << "CH5: 40 with 4.0, at once 40 with 0.0";
}

TEST_F(TransmitterTestTest, TheSettleTimeIsWaitedAndASlowTransmitterNeedsIt) {
    sim::FixtureConfig c;
    c.activeChannel = -1;
    c.calibrated = true;
    sim::TransmitterConfig t;
    t.channel = 1;
    t.initialCurrentMa = 12.0f;
    t.settleMs = 3000;
    c.transmitters.push_back(t);
    Open(c);
    TestOptions o;
    o.first = o.last = 2;
    o.settings.pointsMa = {20.0f};
    o.settings.settleMs = 0;
    TestRunResult run = RunTransmitterTest(o);
    ASSERT_EQ(run.results.size(), 1u);
    EXPECT_EQ(run.results[0].verdict, TestVerdict::kFail) << "read on its way to 20 mA";
    EXPECT_TRUE(run.restored);
    EXPECT_EQ(fixture->ActiveChannel(), -1) << "none active again";

    fixture->ClearLineLog();
    o.settings.settleMs = 3500;
    run = RunTransmitterTest(o);
    ASSERT_EQ(run.results.size(), 1u);
    EXPECT_EQ(run.results[0].verdict, TestVerdict::kPass);
    // From the fixed current's reply to the reading: at least the settle
    // time (a loaded machine only makes it longer).
    uint32_t fixReplyEnd = 0;
    uint32_t readingStart = 0;
    bool fixSent = false;
    for (const auto& e : fixture->LineLog()) {
        if (e.kind == sim::LineEvent::kMasterFrame && CommandOfFrame(e.bytes) == 40 && !fixSent) {
            fixSent = true;
        } else if (e.kind == sim::LineEvent::kReply && fixSent && fixReplyEnd == 0) {
            fixReplyEnd = e.endTick;
        } else if (e.kind == sim::LineEvent::kMasterFrame && fixReplyEnd != 0 &&
                   readingStart == 0) {
            EXPECT_EQ(CommandOfFrame(e.bytes), 2);
            readingStart = e.tick;
        }
    }
    ASSERT_NE(fixReplyEnd, 0u);
    ASSERT_NE(readingStart, 0u);
    EXPECT_GE(static_cast<int32_t>(readingStart - fixReplyEnd), 3500);
}

TEST_F(TransmitterTestTest, AStopLetsTheFixedCurrentGoAndPutsTheChannelBack) {
    Open(sim::DemoFixtureConfig());
    TestOptions o;
    o.first = 1;
    o.last = 4;
    o.settings.settleMs = 400;
    std::atomic<bool> stop{false};
    o.stopRequested = [&] {
        if (Fixed()) stop = true;
        return stop.load();
    };
    const TestRunResult run = RunTransmitterTest(o);
    EXPECT_TRUE(run.stopped);
    EXPECT_TRUE(run.Ok());
    EXPECT_TRUE(run.results.empty()) << "CH1 was under way: no verdict";
    EXPECT_TRUE(run.restored);
    EXPECT_EQ(fixture->ActiveChannel(), 0);
    const auto requests = MasterRequests(*fixture);
    EXPECT_TRUE(EveryFixIsReleased(requests));
    const std::vector<int> commands = CommandsOf(requests);
    EXPECT_EQ(std::vector<int>(commands.end() - 3, commands.end()), (std::vector<int>{40, 40, 34}))
        << "the fixed current, let go at once, the channel back";
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 2), 1) << "no reading after the stop";
}

TEST_F(TransmitterTestTest, TheFixtureFallingSilentEndsTheRunAfterTheFixedCurrentIsLetGo) {
    Open(sim::DemoFixtureConfig());
    TestOptions o;
    o.first = 1;
    o.last = 4;
    o.settings.settleMs = 400;
    bool injected = false;
    o.stopRequested = [&] {
        if (!injected && Fixed()) {
            fixture->InjectFault(sim::Fault::kNoReply, 1000, sim::Target::kFixture);
            injected = true;
        }
        return false;
    };
    const TestRunResult run = RunTransmitterTest(o);
    ASSERT_FALSE(run.Ok());
    EXPECT_EQ(run.failure.reason, hart::Reason::kNoReply);
    EXPECT_EQ(run.failedStep, "reading CH01 at 4.000 mA");
    ASSERT_EQ(run.results.size(), 1u);
    EXPECT_EQ(run.results[0].verdict, TestVerdict::kError);
    EXPECT_EQ(run.results[0].reason, "reading CH01 at 4.000 mA: no reply");
    EXPECT_EQ(run.results[0].releaseProblem, "") << "the transmitter still answers";
    EXPECT_FALSE(run.restored);
    EXPECT_NE(run.restoreFailure.reason, hart::Reason::kNone);
    EXPECT_TRUE(EveryFixIsReleased(MasterRequests(*fixture)));
}

TEST_F(TransmitterTestTest, ATransmitterFallingSilentIsAnErrorAndTheRunGoesOn) {
    Open(sim::DemoFixtureConfig());
    TestOptions o;
    o.first = 1;
    o.last = 2;
    o.settings.settleMs = 400;
    bool injected = false;
    o.stopRequested = [&] {
        if (!injected && Fixed()) {
            // The reading at 4 mA gets through; the next fixed current does not.
            fixture->InjectFault(sim::Fault::kNoReply, 3, sim::Target::kTransmitter);
            injected = true;
        }
        return false;
    };
    const TestRunResult run = RunTransmitterTest(o);
    ASSERT_TRUE(run.Ok()) << run.failedStep;
    ASSERT_EQ(run.results.size(), 2u);
    EXPECT_EQ(run.results[0].verdict, TestVerdict::kError);
    EXPECT_EQ(run.results[0].reason, "fixing 12.000 mA: no reply");
    EXPECT_EQ(run.results[0].points.size(), 1u);
    EXPECT_EQ(run.results[0].releaseProblem, "") << "the release, after the three, got through";
    EXPECT_EQ(run.results[1].verdict, TestVerdict::kPass);
    EXPECT_TRUE(EveryFixIsReleased(MasterRequests(*fixture)));
    EXPECT_EQ(fixture->ActiveChannel(), 0);
}

TEST_F(TransmitterTestTest, ThePortGoingAwayEndsTheRunWithoutAHang) {
    Open(sim::DemoFixtureConfig());
    TestOptions o;
    o.first = 1;
    o.last = 4;
    o.settings.settleMs = 400;
    bool vanished = false;
    o.stopRequested = [&] {
        if (!vanished && Fixed()) {
            fixture->VanishPorts();
            vanished = true;
        }
        return false;
    };
    const TestRunResult run = RunTransmitterTest(o);
    ASSERT_FALSE(run.Ok());
    ASSERT_EQ(run.results.size(), 1u);
    EXPECT_EQ(run.results[0].verdict, TestVerdict::kError);
    EXPECT_FALSE(run.results[0].releaseProblem.empty()) << "tried, and said so";
    EXPECT_FALSE(run.restored);
}

TEST_F(TransmitterTestTest, SettingsOutOfBoundsSendNothing) {
    Open(sim::DemoFixtureConfig());
    fixture->ClearLineLog();
    TestOptions o;
    o.settings.pointsMa.clear();
    const TestRunResult run = RunTransmitterTest(o);
    EXPECT_EQ(run.failure.reason, hart::Reason::kBadArgument);
    EXPECT_EQ(run.failedStep, "test settings: one to eight points");
    EXPECT_TRUE(run.results.empty());
    EXPECT_TRUE(MasterRequests(*fixture).empty());
}

TEST(TransmitterTestSettings, BoundsAndTheCsv) {
    TestSettings s;
    EXPECT_EQ(CheckTestSettings(s), "");
    s.pointsMa = {};
    EXPECT_NE(CheckTestSettings(s), "");
    s.pointsMa = {2.0f};
    EXPECT_NE(CheckTestSettings(s), "");
    s.pointsMa = {4.0f, std::nanf("")};
    EXPECT_NE(CheckTestSettings(s), "");
    s.pointsMa = {4.0f};
    s.tolerancePercent = 0.0;
    EXPECT_NE(CheckTestSettings(s), "");
    s.tolerancePercent = 0.1;
    s.settleMs = 60001;
    EXPECT_NE(CheckTestSettings(s), "");

    TransmitterResult tested;
    tested.channel = 3;
    tested.verdict = TestVerdict::kFail;
    tested.transmitter = hart::DeviceIdentity{0x26, 0x05, {0x00, 0x10, 0x03}};
    tested.tag = "PT,\"3\"";
    tested.points = {{4.0f, 4.0126f, 0.0126, 0.07875, true},
                     {20.0f, 19.9f, -0.1, -0.625, false},
                     {12.0f, 12.0f, -0.0000001, -0.0000006, true}};
    TransmitterResult empty;
    empty.channel = 9;
    empty.verdict = TestVerdict::kEmpty;
    EXPECT_EQ(TestCsvText({tested, empty}),
              "channel,transmitter,tag,verdict,point_mA,reading_mA,error_mA,"
              "error_percent_of_span,pass\n"
              "3,26-05-001003,\"PT,\"\"3\"\"\",fail,4.000,4.013,0.013,0.079,true\n"
              "3,26-05-001003,\"PT,\"\"3\"\"\",fail,20.000,19.900,-0.100,-0.625,false\n"
              "3,26-05-001003,\"PT,\"\"3\"\"\",fail,12.000,12.000,0.000,0.000,true\n"
              "9,,,empty,,,,,\n");
}

}  // namespace
}  // namespace engine
