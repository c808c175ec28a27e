// The typed fixture and transmitter commands over the serial link and the
// simulated fixture: what goes on the wire, what comes back, and why a call
// failed, as the caller, LastFailure, the statistics and the trace see it.
#include "hart/fixture_commands.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../serial/fake_port.h"
#include "hart/link_stats.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "serial/port_factory.h"
#include "serial/serial_link.h"
#include "sim/simulated_fixture.h"
#include "simulated_link.h"

namespace hart {
namespace {

using sim::Fault;
using sim::LineEvent;
using sim::Target;

struct Window : MainWindowServices {
    std::atomic<int> channel{-1};
    int GetChannelIndex() override { return channel.load(); }
    void ShowDeviceNumber(int) override {}
};

// A master frame taken apart.
struct Request {
    bool longForm = false;
    bool dtr = false;
    int command = -1;
    std::vector<uint8_t> data;
};

Request Parse(const LineEvent& e) {
    Request r;
    r.dtr = e.dtr;
    size_t d = 0;
    while (d < e.bytes.size() && e.bytes[d] == 0xFF) ++d;
    if (d >= e.bytes.size()) return r;
    r.longForm = e.bytes[d] == 0x82;
    const size_t at = d + (r.longForm ? 6 : 2);
    if (at + 1 >= e.bytes.size()) return r;
    r.command = e.bytes[at];
    const size_t count = e.bytes[at + 1];
    for (size_t i = 0; i < count && at + 2 + i < e.bytes.size(); ++i)
        r.data.push_back(e.bytes[at + 2 + i]);
    return r;
}

// CH6 active, with a transmitter driving 12 mA.
sim::FixtureConfig Config() {
    sim::FixtureConfig c;
    c.deviceNumber = 0x0A0B0C;
    c.activeChannel = 5;
    c.transmitters.push_back(sim::TransmitterConfig{.channel = 5,
                                                    .manufacturerId = 0x26,
                                                    .deviceType = 0x05,
                                                    .deviceId = {0x10, 0x20, 0x30},
                                                    .initialCurrentMa = 12.0f});
    return c;
}

class FixtureCommandsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(test::OpenSimulatedLink(fixture, window, 10.0)); }
    void TearDown() override { test::CloseSimulatedLink(); }

    // The fixture identified, the wire's log and the statistics cleared.
    void Ready() {
        ASSERT_TRUE(ReadLoopCurrent().Ok());
        fixture.ClearLineLog();
        LinkStatistics().Reset();
    }
    std::vector<Request> Requests() {
        std::vector<Request> out;
        for (const auto& e : fixture.LineLog())
            if (e.kind == LineEvent::kMasterFrame) out.push_back(Parse(e));
        return out;
    }

    sim::SimulatedFixture fixture{Config()};
    Window window;
};

std::vector<uint8_t> Bytes(std::initializer_list<int> v) { return {v.begin(), v.end()}; }

// Consecutive equal requests once: a retry repeats its frame byte for byte,
// which a reply that came late under load causes at a sped-up clock.
std::vector<Request> WithoutRetries(const std::vector<Request>& requests) {
    std::vector<Request> out;
    for (const Request& r : requests)
        if (out.empty() || out.back().command != r.command || out.back().data != r.data)
            out.push_back(r);
    return out;
}

TEST_F(FixtureCommandsTest, EachFixtureCommandGoesOutWithItsBytesAndReadsItsField) {
    Ready();
    const auto id = IdentifyFixture();
    ASSERT_TRUE(id.Ok()) << id.Error().Describe();
    EXPECT_EQ(id->DeviceNumber(), 0x0A0B0Cu);

    ASSERT_TRUE(SelectChannel(7).Ok());
    EXPECT_EQ(fixture.ActiveChannel(), 6);
    EXPECT_EQ(ReadActiveChannel().Value(), 7);
    ASSERT_TRUE(SelectChannel(kNoChannel).Ok());
    EXPECT_EQ(fixture.ActiveChannel(), -1);
    EXPECT_EQ(ReadActiveChannel().Value(), kNoChannel);
    ASSERT_TRUE(SelectChannel(6).Ok());

    const auto loop = ReadLoopCurrent();
    ASSERT_TRUE(loop.Ok());
    EXPECT_NEAR(*loop, 12.0f, 0.1f);
    const auto measured = ReadMeasuredCurrent();
    ASSERT_TRUE(measured.Ok());
    EXPECT_NEAR(*measured, 12.0f, 0.1f);

    ASSERT_TRUE(WriteDeviceNumber(0x123456).Ok());
    EXPECT_EQ(fixture.DeviceNumber(), 0x123456u);

    const auto sent = Requests();
    ASSERT_EQ(sent.size(), 9u);
    EXPECT_EQ(sent[0].command, 0);
    EXPECT_FALSE(sent[0].longForm);
    EXPECT_EQ(sent[1].command, 34);
    EXPECT_EQ(sent[1].data, Bytes({0x40, 0xC0, 0x00, 0x00}));  // 6.0: CH7
    EXPECT_EQ(sent[3].data, Bytes({0x42, 0x00, 0x00, 0x00}));  // 32.0: none
    EXPECT_EQ(sent[2].command, 15);
    EXPECT_EQ(sent[6].command, 2);
    EXPECT_TRUE(sent[6].data.empty());
    EXPECT_EQ(sent[7].command, 33);
    EXPECT_EQ(sent[7].data, Bytes({4, 0, 1, 2}));
    EXPECT_EQ(sent[8].command, 182);
    EXPECT_EQ(sent[8].data, Bytes({0x12, 0x34, 0x56}));
    for (size_t i = 1; i < sent.size(); ++i) EXPECT_TRUE(sent[i].longForm) << i;
    for (const auto& r : sent) EXPECT_FALSE(r.dtr) << "DTR low for the fixture";
    EXPECT_EQ(g_hartLink.requestDataCount.load(), 0);
}

TEST_F(FixtureCommandsTest, ValuesACommandCannotCarryAreRefusedWithoutAnExchange) {
    Ready();
    for (int channel : {-1, 33, 255}) {
        const auto r = SelectChannel(channel);
        EXPECT_EQ(r.Error().reason, Reason::kBadArgument) << channel;
        EXPECT_EQ(r.Error().command, 34);
    }
    EXPECT_EQ(WriteDeviceNumber(0x1000000).Error().reason, Reason::kBadArgument);
    window.channel = 5;
    EXPECT_EQ(FixTransmitterCurrent(std::nanf("")).Error().reason, Reason::kBadArgument);
    EXPECT_TRUE(Requests().empty());
}

TEST_F(FixtureCommandsTest, TheCalibrationStepsSendTheBytesTheWorkerAlwaysSent) {
    // The worker's own way, request bytes set one by one: only those named
    // are written, the rest of the 20 keep what came before.
    struct Step {
        std::vector<std::pair<int, uint8_t>> bytes;
        std::vector<std::pair<int, float>> floats;
    };
    std::vector<Step> steps = {{{{0, 0x5A}, {1, 0xA5}, {2, 0x00}, {3, 0x00}, {4, 0x00}}, {}},
                               {{{0, 0x5A}, {1, 0xA5}, {2, 0x02}, {3, 0x06}}, {}}};
    const float points[6][2] = {{0.013f, 0.0f},  {4.02f, 4.0f},   {8.03f, 8.0f},
                                {12.04f, 12.0f}, {16.05f, 16.0f}, {20.06f, 20.0f}};
    for (int i = 0; i < 6; ++i)
        steps.push_back({{{0, 0x5A},
                          {1, 0xA5},
                          {2, 0x04},
                          {3, static_cast<uint8_t>(i)},
                          {4, 0x00},
                          {5, 0x0C},
                          {10, 0x0C}},
                         {{6, points[i][0]}, {11, points[i][1]}}});
    steps.push_back({{{0, 0x5A}, {1, 0xA5}, {2, 0x00}, {3, 0x01}, {4, 0x00}}, {}});
    steps.push_back({{{0, 0x5A}, {1, 0xA5}, {2, 0xFA}}, {}});
    steps.push_back({{{0, 0x5A}, {1, 0xA5}, {2, 0xFF}}, {}});

    Ready();
    // Something else in the request area first, as a channel switch leaves.
    ASSERT_TRUE(SelectChannel(9).Ok());
    for (const Step& s : steps) {
        SetRequestDataCount(20);
        for (const auto& [p, v] : s.bytes) SetRequestByte(p, v);
        for (const auto& [p, v] : s.floats) SetRequestFloat(p, v);
        ASSERT_EQ(FixtureTransaction(201), 1);
    }
    const auto old = WithoutRetries(Requests());

    ResetHartState();
    fixture.ClearLineLog();
    ASSERT_TRUE(ReadLoopCurrent().Ok());
    fixture.ClearLineLog();
    ASSERT_TRUE(SelectChannel(9).Ok());
    std::vector<CalibrationStep> typed = {CalibrationStep::Step0000(), CalibrationStep::Step0206()};
    for (uint8_t i = 0; i < 6; ++i)
        typed.push_back(CalibrationStep::Step04(i, points[i][0], points[i][1]));
    typed.push_back(CalibrationStep::Step0001());
    typed.push_back(CalibrationStep::StepFA());
    typed.push_back(CalibrationStep::StepFF());
    for (const auto& step : typed) {
        const auto r = WriteCalibrationStep(step);
        ASSERT_TRUE(r.Ok()) << r.Error().Describe();
    }
    const auto now = WithoutRetries(Requests());

    ASSERT_EQ(now.size(), old.size());
    for (size_t i = 0; i < now.size(); ++i) {
        EXPECT_EQ(now[i].command, old[i].command) << i;
        EXPECT_EQ(now[i].data, old[i].data) << i;
    }
    ASSERT_EQ(now.back().data.size(), 20u);
    // FF's bytes 3 and 4 are step 00-01's, 5 on the last point's.
    EXPECT_EQ(now.back().data[3], 0x01);
    EXPECT_EQ(now.back().data[5], 0x0C);
    EXPECT_NE(fixture.LineLog().size(), 0u);
}

TEST_F(FixtureCommandsTest, TheTransmitterOnTheActiveChannel) {
    Ready();
    const auto id = IdentifyTransmitter(6);
    ASSERT_TRUE(id.Ok()) << id.Error().Describe();
    EXPECT_EQ(id->Tag(), "26-05-102030");
    EXPECT_EQ(g_channelAddressCache.entries[5].known, 1);
    auto sent = Requests();
    ASSERT_EQ(sent.size(), 1u) << "one exchange, command 0 in the short form";
    EXPECT_EQ(sent[0].command, 0);
    EXPECT_FALSE(sent[0].longForm);
    EXPECT_TRUE(sent[0].dtr);

    // Known now: command 40 goes straight to it.
    fixture.ClearLineLog();
    window.channel = 5;
    ASSERT_TRUE(FixTransmitterCurrent(16.0f).Ok());
    EXPECT_FLOAT_EQ(fixture.TransmitterCurrent(5), 16.0f);
    sent = Requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].command, 40);
    EXPECT_EQ(sent[0].data, Bytes({0x41, 0x80, 0x00, 0x00}));
    EXPECT_TRUE(sent[0].dtr);

    // An empty channel: nobody answers, and the cache forgets it.
    ASSERT_TRUE(SelectChannel(3).Ok());
    EXPECT_EQ(IdentifyTransmitter(3).Error().reason, Reason::kNoReply);
    EXPECT_EQ(g_channelAddressCache.entries[2].known, 0);
    EXPECT_EQ(IdentifyTransmitter(0).Error().reason, Reason::kNoChannel);
    EXPECT_EQ(IdentifyTransmitter(33).Error().reason, Reason::kNoChannel);
}

// A transmitter of universal revision 7 on CH2, with texts that use both
// halves of the packed-ASCII table and a long tag of exactly 32 bytes.
sim::FixtureConfig TaggedConfig() {
    sim::FixtureConfig c;
    c.activeChannel = 1;
    sim::TransmitterConfig t;
    t.channel = 1;
    t.deviceId = {0x00, 0x00, 0x42};
    t.universalRevision = 7;
    t.tag = "ft-9_@?";  // lower case goes up: packed ASCII has none
    t.descriptor = "FLOW LINE 3 [A]";
    t.date = {29, 2, 124};
    t.longTag = "FLOW TRANSMITTER OF LINE 3, WEST";
    c.transmitters.push_back(t);
    return c;
}

TEST(TransmitterTextsTest, TagDescriptorDateAndLongTagReadBack) {
    sim::SimulatedFixture tagged{TaggedConfig()};
    Window window;
    ASSERT_TRUE(test::OpenSimulatedLink(tagged, window, 10.0));
    ASSERT_TRUE(ReadLoopCurrent().Ok());
    // The window shows no channel: the channel named is the one addressed.
    const auto id = IdentifyTransmitter(2);
    ASSERT_TRUE(id.Ok()) << id.Error().Describe();
    EXPECT_EQ(id->universalRevision, 7);
    const auto tag = ReadTransmitterTag(2);
    ASSERT_TRUE(tag.Ok()) << tag.Error().Describe();
    EXPECT_EQ(tag->tag, "FT-9_@?");
    EXPECT_EQ(tag->descriptor, "FLOW LINE 3 [A]");
    EXPECT_EQ(tag->DateText(), "2024-02-29");
    const auto longTag = ReadLongTag(2);
    ASSERT_TRUE(longTag.Ok()) << longTag.Error().Describe();
    EXPECT_EQ(*longTag, "FLOW TRANSMITTER OF LINE 3, WEST") << "34 bytes with the status";

    ASSERT_TRUE(FixTransmitterCurrentOn(2, 8.0f).Ok());
    EXPECT_FLOAT_EQ(tagged.TransmitterCurrent(1), 8.0f);
    ASSERT_TRUE(FixTransmitterCurrentOn(2, 0.0f).Ok());
    EXPECT_EQ(FixTransmitterCurrentOn(0, 4.0f).Error().reason, Reason::kNoChannel);
    EXPECT_EQ(ReadTransmitterTag(33).Error().reason, Reason::kNoChannel);
    test::CloseSimulatedLink();
}

TEST(TransmitterTextsTest, AnOlderRevisionRefusesTheLongTagAndDatesOutOfRangeAreNone) {
    sim::FixtureConfig c = TaggedConfig();
    c.transmitters[0].universalRevision = 5;
    sim::SimulatedFixture older{c};
    Window window;
    ASSERT_TRUE(test::OpenSimulatedLink(older, window, 10.0));
    ASSERT_TRUE(ReadLoopCurrent().Ok());
    const auto longTag = ReadLongTag(2);
    ASSERT_FALSE(longTag.Ok());
    EXPECT_EQ(longTag.Error().reason, Reason::kRejected);
    EXPECT_EQ(longTag.Error().responseCode, 64);
    test::CloseSimulatedLink();

    TransmitterTag t;
    EXPECT_EQ(t.DateText(), "");
    t.date = {32, 1, 100};
    EXPECT_EQ(t.DateText(), "");
    t.date = {1, 13, 100};
    EXPECT_EQ(t.DateText(), "");
    t.date = {1, 1, 100};
    EXPECT_EQ(t.DateText(), "2000-01-01");
}

TEST_F(FixtureCommandsTest, ARequestIsNeverMixedWithAnotherThreadsData) {
    // Each call hands its data to the link with the exchange: two threads
    // sending commands with data at once never send one with the other's.
    platform::SetTimeScale(50.0);
    Ready();
    constexpr int kEach = 12;
    std::thread writer([] {
        for (int i = 0; i < kEach; ++i) (void)WriteDeviceNumber(0x0A0B0C);
    });
    for (int i = 0; i < kEach; ++i) (void)SelectChannel(9 + i);
    writer.join();
    // At this speed a reply that comes late under load is retried: the
    // channels are counted by their floats, each sent at least once.
    std::set<std::string> channels;
    int numbers = 0;
    for (const auto& r : Requests()) {
        if (r.command == 34) {
            channels.insert(std::string(r.data.begin(), r.data.end()));
            ASSERT_EQ(r.data.size(), 4u);
            EXPECT_EQ(r.data[0], 0x41) << "a channel's float, 8.0 to 19.0";
        } else if (r.command == 182) {
            ++numbers;
            EXPECT_EQ(r.data, Bytes({0x0A, 0x0B, 0x0C}));
        }
    }
    EXPECT_EQ(channels.size(), static_cast<size_t>(kEach));
    EXPECT_GE(numbers, kEach);
}

TEST(ChannelFromDampingTest, AValueThatNamesNoChannelIsNeverConvertedToInt) {
    EXPECT_EQ(ChannelFromDamping(-0.5f), 1);
    EXPECT_EQ(ChannelFromDamping(32.9f), kNoChannel);
    EXPECT_EQ(ChannelFromDamping(33.0f), kUnknownChannel);
    EXPECT_EQ(ChannelFromDamping(std::nanf("")), kUnknownChannel);
    EXPECT_EQ(ChannelFromDamping(3e9f), kUnknownChannel);
}

// The trace's lines, as the program's listeners get them.
class TraceLines {
public:
    TraceLines() {
        id_ = platform::AddTraceListener([this](std::string_view line) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(line);
        });
    }
    ~TraceLines() { platform::RemoveTraceListener(id_); }
    // Whether a line ends with `tail`.
    bool Has(const std::string& tail) {
        std::lock_guard lock(mutex_);
        for (const auto& l : lines_)
            if (l.size() >= tail.size() &&
                l.compare(l.size() - tail.size(), tail.size(), tail) == 0)
                return true;
        return false;
    }
    // The lines without their time stamps, each checked to have one.
    std::vector<std::string> Texts() {
        static const std::regex stamped(R"(\d\d:\d\d:\d\d\.\d\d\d (.*))");
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& l : lines_) {
            std::smatch m;
            out.push_back(std::regex_match(l, m, stamped) ? m[1].str() : "<unstamped> " + l);
        }
        return out;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
    int id_ = 0;
};

// Why a call failed: the caller, LastFailure and the statistics agree.

struct ReasonCase {
    const char* name;
    std::function<void(sim::SimulatedFixture&)> inject;
    Reason reason;
    int failedAttempts;  // attempts that failed with `reason`
};

class FailureReasonTest : public FixtureCommandsTest,
                          public ::testing::WithParamInterface<ReasonCase> {};

TEST_P(FailureReasonTest, ReachesTheCallerAndTheStatistics) {
    const ReasonCase& c = GetParam();
    Ready();
    // Attempts are counted: on the real clock, so that no reply comes late.
    platform::SetTimeScale(1.0);
    c.inject(fixture);
    const auto r = ReadLoopCurrent();
    EXPECT_FALSE(r.Ok());
    EXPECT_EQ(r.Error().reason, c.reason) << r.Error().Describe();
    EXPECT_EQ(r.Error().command, 2);
    EXPECT_EQ(LastFailure().reason, c.reason);
    if (c.reason == Reason::kCommError) {
        EXPECT_EQ(r.Error().status, 0x88);
    }
    if (c.reason == Reason::kRejected) {
        EXPECT_EQ(r.Error().responseCode, 64);
    }

    const LinkStatsSnapshot s = LinkStatistics().Snapshot();
    EXPECT_EQ(s.requests, 1u);
    EXPECT_EQ(s.successes, 0u);
    EXPECT_EQ(s.failures[static_cast<size_t>(c.reason)], 1u);
    EXPECT_EQ(s.Failures(), 1u);
    EXPECT_EQ(s.failedAttempts[static_cast<size_t>(c.reason)],
              static_cast<uint64_t>(c.failedAttempts));
    EXPECT_EQ(s.retries, c.failedAttempts == 3 ? 2u : 0u);
    EXPECT_EQ(s.polls, 0u);

    // The 1/0 transaction says only 0, with the same reason beside it.
    fixture.ClearFaults();
    c.inject(fixture);
    EXPECT_EQ(FixtureTransaction(2), 0);
    EXPECT_EQ(LastFailure().reason, c.reason);
    fixture.ClearFaults();
    EXPECT_EQ(FixtureTransaction(2), 1);
    EXPECT_EQ(LastFailure().reason, Reason::kNone);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, FailureReasonTest,
    ::testing::Values(ReasonCase{"NoReply", [](auto& f) { f.InjectFault(Fault::kNoReply, 3); },
                                 Reason::kNoReply, 3},
                      ReasonCase{"BadChecksum",
                                 [](auto& f) { f.InjectFault(Fault::kBadChecksum, 3); },
                                 Reason::kBadChecksum, 3},
                      ReasonCase{"CommError", [](auto& f) { f.InjectFault(Fault::kCommError, 3); },
                                 Reason::kCommError, 3},
                      ReasonCase{"Rejected",
                                 [](auto& f) { f.InjectFault(Fault::kRejectedCode, 1); },
                                 Reason::kRejected, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FixtureCommandsTest, RetriedAttemptsCountByReasonAndTheExchangeOnce) {
    Ready();
    for (Fault f : {Fault::kNoReply, Fault::kBadChecksum, Fault::kCommError}) {
        fixture.InjectFault(f, 1);
        ASSERT_TRUE(ReadLoopCurrent().Ok()) << "the second attempt is answered";
    }
    const auto s = LinkStatistics().Snapshot();
    EXPECT_EQ(s.requests, 3u);
    EXPECT_EQ(s.successes, 3u);
    EXPECT_EQ(s.Failures(), 0u);
    EXPECT_EQ(s.attempts, 6u);
    EXPECT_EQ(s.retries, 3u);
    EXPECT_EQ(s.failedAttempts[static_cast<size_t>(Reason::kNoReply)], 1u);
    EXPECT_EQ(s.failedAttempts[static_cast<size_t>(Reason::kBadChecksum)], 1u);
    EXPECT_EQ(s.failedAttempts[static_cast<size_t>(Reason::kCommError)], 1u);
    EXPECT_EQ(s.polls, 3u);
    EXPECT_EQ(s.replies, 3u);
    // The end of the request (and one character) to the reply's check byte:
    // 20 ms turn-around and 24 characters at 1200 baud, within the clock's
    // granularity at this speed-up.
    EXPECT_GE(s.maxReplyMs, 200u);
    EXPECT_LE(s.maxReplyMs, 400u);
    EXPECT_GE(s.meanReplyMs, 200.0);
    EXPECT_LE(s.meanReplyMs, static_cast<double>(s.maxReplyMs));
}

TEST_F(FixtureCommandsTest, APortThatGoesAwayOrIsNotOpen) {
    Ready();
    fixture.VanishPorts();
    EXPECT_EQ(ReadLoopCurrent().Error().reason, Reason::kPortGone);
    serial::ClosePort();
    EXPECT_EQ(ReadLoopCurrent().Error().reason, Reason::kPortGone);
    window.channel = 5;
    EXPECT_EQ(FixTransmitterCurrent(4.0f).Error().reason, Reason::kPortGone);
    const auto s = LinkStatistics().Snapshot();
    EXPECT_EQ(s.failures[static_cast<size_t>(Reason::kPortGone)], 3u);
    fixture.RestorePorts();
}

TEST_F(FixtureCommandsTest, NoActiveChannelForTheTransmitter) {
    Ready();
    window.channel = -1;
    const auto r = FixTransmitterCurrent(4.0f);
    EXPECT_EQ(r.Error().reason, Reason::kNoChannel);
    EXPECT_EQ(r.Error().command, 40);
    EXPECT_EQ(LastFailure().reason, Reason::kNoChannel);
    EXPECT_EQ(LinkStatistics().Snapshot().failures[static_cast<size_t>(Reason::kNoChannel)], 1u);
    EXPECT_TRUE(Requests().empty());
}

TEST_F(FixtureCommandsTest, AnAbortWhileThePortStaysOpenInterrupts) {
    Ready();
    fixture.InjectFault(Fault::kNoReply, 3);
    Result<float> r = 0.0f;
    std::thread worker([&] { r = ReadLoopCurrent(); });
    // Raised while the first attempt waits for a character.
    for (int i = 0; i < 500 && Requests().empty(); ++i) platform::Sleep(10);
    serial::RaiseAbort();
    worker.join();
    serial::LowerAbort();
    EXPECT_EQ(r.Error().reason, Reason::kInterrupted);
    EXPECT_EQ(Requests().size(), 1u);
}

TEST_F(FixtureCommandsTest, AFailedIdentificationIsNamedAsSuch) {
    fixture.InjectFault(Fault::kNoReply, 3);
    const auto r = ReadLoopCurrent();
    EXPECT_EQ(r.Error().reason, Reason::kNoReply);
    EXPECT_EQ(r.Error().command, 0) << "the identification failed, command 2 never went";
    const auto sent = Requests();
    ASSERT_EQ(sent.size(), 3u);
    for (const auto& q : sent) EXPECT_EQ(q.command, 0);
}

// Replies that carry less than what is read from them, and values that are
// no reading. Attempts are counted on the real clock, where a reply that
// comes late under load cannot pass for a retry.

struct ReadCase {
    const char* name;
    uint8_t command;
    std::function<Result<float>()> read;  // the typed command, its value as a float
    float expected;                       // what the fixture answers with
};

class ShortReplyTest : public FixtureCommandsTest,
                       public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ShortReplyTest, AnEmptyReplyIsRetriedAndNeverReadFromAnEarlierOne) {
    const ReadCase& c = GetParam();
    Ready();
    const auto good = c.read();
    ASSERT_TRUE(good.Ok()) << good.Error().Describe();
    EXPECT_NEAR(*good, c.expected, 0.1f);
    platform::SetTimeScale(1.0);
    LinkStatistics().Reset();

    fixture.InjectFault(Fault::kEmptyReply, 1);
    const auto retried = c.read();
    ASSERT_TRUE(retried.Ok()) << retried.Error().Describe();
    EXPECT_NEAR(*retried, c.expected, 0.1f);
    auto s = LinkStatistics().Snapshot();
    EXPECT_EQ(s.attempts, 2u);
    EXPECT_EQ(s.failedAttempts[static_cast<size_t>(Reason::kIncompleteReply)], 1u);

    // Three in a row: the earlier reply's bytes are no answer.
    fixture.InjectFault(Fault::kEmptyReply, 3);
    const auto r = c.read();
    EXPECT_EQ(r.Error().reason, Reason::kIncompleteReply) << *r;
    EXPECT_EQ(r.Error().command, c.command);
    s = LinkStatistics().Snapshot();
    EXPECT_EQ(s.attempts, 5u);
    EXPECT_EQ(s.failedAttempts[static_cast<size_t>(Reason::kIncompleteReply)], 4u);
    EXPECT_EQ(s.failures[static_cast<size_t>(Reason::kIncompleteReply)], 1u);
    // The attempts all drew whole frames: the quiet time stays the long one.
    EXPECT_EQ(g_hartLink.busQuietTime.load(), kDefaultBusQuietTime);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, ShortReplyTest,
    ::testing::Values(ReadCase{"LoopCurrent", 2, [] { return ReadLoopCurrent(); }, 12.037f},
                      ReadCase{"ActiveChannel", 15,
                               [] {
                                   const auto r = ReadActiveChannel();
                                   return r ? Result<float>(static_cast<float>(*r))
                                            : Result<float>(r.Error());
                               },
                               6.0f},
                      ReadCase{"MeasuredCurrent", 33, [] { return ReadMeasuredCurrent(); },
                               12.037f}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FixtureCommandsTest, TheUntypedTransactionsRefuseAnEmptyReplyToo) {
    Ready();
    ASSERT_EQ(FixtureTransaction(2), 1);
    fixture.InjectFault(Fault::kEmptyReply, 3);
    EXPECT_EQ(FixtureTransaction(2), 0);
    EXPECT_EQ(LastFailure().reason, Reason::kIncompleteReply);
    // A refusal carries no data and is still a refusal, not a short reply.
    fixture.InjectFault(Fault::kRejectedCode, 1);
    EXPECT_EQ(FixtureTransaction(2), 0);
    EXPECT_EQ(LastFailure().reason, Reason::kRejected);
}

struct ValueCase {
    const char* name;
    Fault fault;
    Reason reason;
};

class ValueFailureTest : public FixtureCommandsTest,
                         public ::testing::WithParamInterface<ValueCase> {};

TEST_P(ValueFailureTest, IsAFailureOfTheExchangeNotRetriedNotStored) {
    const ValueCase& c = GetParam();
    Ready();
    platform::SetTimeScale(1.0);
    TraceLines trace;
    for (const uint8_t command : {2, 33}) {
        SCOPED_TRACE(command);
        const auto read = [command] {
            return command == 2 ? ReadLoopCurrent() : ReadMeasuredCurrent();
        };
        LinkStatistics().Reset();
        fixture.ClearLineLog();
        fixture.InjectFault(c.fault, 1);
        const auto r = read();
        EXPECT_EQ(r.Error().reason, c.reason) << *r;
        EXPECT_EQ(r.Error().command, command);
        EXPECT_EQ(r.Value(), 0.0f) << "no value goes with a failure";
        EXPECT_EQ(LastFailure().reason, c.reason);
        const auto s = LinkStatistics().Snapshot();
        EXPECT_EQ(s.attempts, 1u) << "the fixture answered: asking again changes nothing";
        EXPECT_EQ(s.failures[static_cast<size_t>(c.reason)], 1u);
        EXPECT_EQ(s.successes, 0u);
        EXPECT_EQ(s.polls, 0u);
        EXPECT_TRUE(std::isfinite(g_hartData.loopCurrent));
        EXPECT_TRUE(std::isfinite(g_hartData.deviceVariables[0].value));

        // Still identified: the next reading goes straight out.
        const auto next = read();
        ASSERT_TRUE(next.Ok()) << next.Error().Describe();
        for (const auto& q : Requests()) EXPECT_EQ(q.command, command);
    }
    const std::string text = ReasonText(c.reason);
    EXPECT_TRUE(trace.Has("-- 2 读回路电流 " + text));
    EXPECT_TRUE(trace.Has("-- 33 读设备变量 " + text));
}

INSTANTIATE_TEST_SUITE_P(
    Sim, ValueFailureTest,
    ::testing::Values(ValueCase{"NotANumber", Fault::kNotANumber, Reason::kValueNotAvailable},
                      ValueCase{"Infinity", Fault::kInfinity, Reason::kImplausibleValue},
                      ValueCase{"Huge", Fault::kHugeValue, Reason::kImplausibleValue}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JudgeCurrentReadingTest, TheBoundsAreReadingsAndNothingBeyond) {
    for (float ma : {-1.0f, 0.0f, 3.6f, 21.0f, 30.0f, -0.0f, 1e-40f})
        EXPECT_EQ(JudgeCurrentReading(ma), Reason::kNone) << ma;
    for (float ma :
         {std::nextafter(-1.0f, -2.0f), std::nextafter(30.0f, 31.0f), 1e30f, -1e30f,
          std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()})
        EXPECT_EQ(JudgeCurrentReading(ma), Reason::kImplausibleValue) << ma;
    EXPECT_EQ(JudgeCurrentReading(std::nanf("")), Reason::kValueNotAvailable);
    EXPECT_EQ(JudgeCurrentReading(-std::nanf("")), Reason::kValueNotAvailable);
}

TEST(FixtureDeviceStatusTest, TheFixturesLatestReplyNotATransmitters) {
    sim::FixtureConfig config = Config();
    config.deviceStatus = kDeviceMalfunction;
    sim::SimulatedFixture fixture(config);
    Window window;
    ASSERT_TRUE(test::OpenSimulatedLink(fixture, window, 10.0));
    EXPECT_EQ(LastFixtureDeviceStatus(), 0) << "before any reply";
    ASSERT_TRUE(ReadLoopCurrent().Ok());
    EXPECT_EQ(LastFixtureDeviceStatus(), kDeviceMalfunction);
    // The transmitter in fixed-current mode says so in its own status byte.
    window.channel = 5;
    ASSERT_TRUE(FixTransmitterCurrent(8.0f).Ok());
    EXPECT_EQ(LastFixtureDeviceStatus(), kDeviceMalfunction);
    test::CloseSimulatedLink();
}

// Attempts that drew characters but never a frame, on the tests' fake port:
// whatever it is sent, it echoes a stray byte and nothing more.
TEST(FailureReasonFakePort, CharactersWithoutAFrameAreAnIncompleteReply) {
    platform::SetTimeScale(10.0);
    serial::test::FakeLine line;
    line.echoOnWrite = {0x3C};
    serial::SetPortFactory(serial::SinglePortFactory(
        1, [&line] { return std::make_unique<serial::test::FakePort>(line); }));
    ASSERT_EQ(serial::OpenPort(1), 1);
    ResetHartState();
    const auto r = ExecuteExchange(0);
    EXPECT_EQ(r.Error().reason, Reason::kIncompleteReply);
    EXPECT_EQ(g_hartLink.busQuietTime.load(), 75u);
    const auto s = LinkStatistics().Snapshot();
    EXPECT_EQ(s.failures[static_cast<size_t>(Reason::kIncompleteReply)], 1u);
    EXPECT_EQ(s.failedAttempts[static_cast<size_t>(Reason::kIncompleteReply)], 3u);
    serial::ClosePort();
    serial::SetPortFactory({});
    platform::SetTimeScale(1.0);
}

// The trace: every frame and every failed attempt, with time and name.

TEST_F(FixtureCommandsTest, TraceNamesEachFrameAndEachFailedAttempt) {
    Ready();
    TraceLines trace;
    for (Fault f : {Fault::kNoReply, Fault::kBadChecksum, Fault::kCommError}) {
        fixture.InjectFault(f, 1);
        EXPECT_TRUE(ReadLoopCurrent().Ok());
    }
    fixture.InjectFault(Fault::kRejectedCode, 1);
    EXPECT_FALSE(SelectChannel(3).Ok());

    std::vector<std::string> kept;
    for (const auto& t : trace.Texts()) {
        // The frames' bytes vary with the address; keep the head, check the
        // bytes are there.
        const size_t ff = t.find(" FF FF");
        EXPECT_TRUE(t[0] == '-' || ff != std::string::npos) << t;
        kept.push_back(ff == std::string::npos ? t : t.substr(0, ff));
    }
    EXPECT_EQ(kept, (std::vector<std::string>{
                        "TX 2 读回路电流",
                        "-- 2 读回路电流 no reply (attempt 1/3)",
                        "TX 2 读回路电流",
                        "RX 2 读回路电流",
                        "TX 2 读回路电流",
                        "-- 2 读回路电流 bad checksum (attempt 1/3)",
                        "TX 2 读回路电流",
                        "RX 2 读回路电流",
                        "TX 2 读回路电流",
                        "RX 2 读回路电流",
                        "-- 2 读回路电流 communication error (status 0x88) (attempt 1/3)",
                        "TX 2 读回路电流",
                        "RX 2 读回路电流",
                        "TX 34 选择通道",
                        "RX 34 选择通道",
                        "-- 34 选择通道 rejected (response code 64)",
                    }));
}

}  // namespace
}  // namespace hart
