// The meter object over a scripted transport: what it sends, what it makes
// of the answers, and what a failure carries.
#include "meter/meter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "fake_transport.h"
#include "meter/stability.h"
#include "platform/clock.h"

namespace meter {
namespace {

using Strings = std::vector<std::string>;
constexpr const char* kIdn = "Standin Labs,SL-1,0001,1.0";

class MeterTest : public ::testing::Test {
protected:
    MeterTest()
        : line_(std::make_shared<FakeLine>()), meter_(std::make_unique<FakeTransport>(line_)) {}

    void Script(std::initializer_list<IoResult> replies) {
        std::lock_guard lock(line_->mutex);
        line_->replies.insert(line_->replies.end(), replies);
    }
    Strings Sent() {
        std::lock_guard lock(line_->mutex);
        return line_->sent;
    }
    void Connected() {
        Script({Answer(kIdn)});
        ASSERT_TRUE(meter_.Connect().Ok());
    }

    std::shared_ptr<FakeLine> line_;
    Meter meter_;
};

TEST_F(MeterTest, IdentityFieldsAndTheRawAnswer) {
    Script({Answer("  Maker Co , DMM-9,  SN42 ,2.1-rc,extra\t")});
    const auto id = meter_.Connect();
    ASSERT_TRUE(id.Ok()) << id.Error().Describe();
    EXPECT_EQ(id->raw, "Maker Co , DMM-9,  SN42 ,2.1-rc,extra");
    EXPECT_EQ(id->maker, "Maker Co");
    EXPECT_EQ(id->model, "DMM-9");
    EXPECT_EQ(id->serial, "SN42");
    EXPECT_EQ(id->firmware, "2.1-rc,extra");
    EXPECT_TRUE(meter_.IsConnected());

    const Identity few = ParseIdentity("OnlyMaker,M1");
    EXPECT_EQ(few.maker, "OnlyMaker");
    EXPECT_EQ(few.model, "M1");
    EXPECT_EQ(few.serial, "");
    EXPECT_EQ(few.firmware, "");
}

TEST_F(MeterTest, TheFirstReadingSetsUpDcCurrentAndIsGivenInMilliamps) {
    Connected();
    Script({Answer("+4.02130000E-03"), Answer("-1.0E-05")});
    const auto first = meter_.ReadMilliamps();
    const auto second = meter_.ReadMilliamps();
    ASSERT_TRUE(first.Ok() && second.Ok());
    EXPECT_DOUBLE_EQ(*first, 4.0213);
    EXPECT_DOUBLE_EQ(*second, -0.01);
    EXPECT_EQ(Sent(), (Strings{"*IDN?", "*CLS", "CONF:CURR:DC 0.1", "READ?", "READ?"}));

    // A new connection sets it up again: the meter may have been reset.
    Script({Answer(kIdn), Answer("+1.2E-02")});
    ASSERT_TRUE(meter_.Connect().Ok());
    ASSERT_TRUE(meter_.ReadMilliamps().Ok());
    EXPECT_EQ(Sent().size(), 9u);
    EXPECT_EQ(Sent()[6], "*CLS");
}

TEST_F(MeterTest, ATimeoutAsksTheErrorQueueOnceAndKeepsItsAnswer) {
    Connected();
    Script({Silence(), Answer("-230,\"Data corrupt or stale\"")});
    const auto r = meter_.ReadMilliamps();
    ASSERT_FALSE(r.Ok());
    EXPECT_EQ(r.Error().error, MeterError::kTimeout);
    EXPECT_EQ(r.Error().meterError, "-230,\"Data corrupt or stale\"");
    EXPECT_EQ(r.Error().Describe(),
              "timeout (no answer to READ? within 2 s); the meter reports -230,\"Data corrupt or "
              "stale\"");
    EXPECT_EQ(Sent(), (Strings{"*IDN?", "*CLS", "CONF:CURR:DC 0.1", "READ?", "SYST:ERR?"}));
}

TEST_F(MeterTest, AnErrorQueueThatIsSilentOrEmptyAddsNothing) {
    Connected();
    Script({Silence(), Silence()});  // SYST:ERR? unanswered too: asked once, no more
    auto r = meter_.ReadMilliamps();
    EXPECT_EQ(r.Error().Describe(), "timeout (no answer to READ? within 2 s)");
    EXPECT_EQ(r.Error().meterError, "");

    Script({Silence(), Answer("+0,\"No error\"")});
    r = meter_.ReadMilliamps();
    EXPECT_EQ(r.Error().meterError, "+0,\"No error\"");
    EXPECT_EQ(r.Error().Describe(), "timeout (no answer to READ? within 2 s)");
    const Strings sent = Sent();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "SYST:ERR?"), 2);
    EXPECT_EQ(sent.back(), "SYST:ERR?");
}

TEST_F(MeterTest, GarbageAndOverloadFailWithTheAnswerAndTheErrorQueue) {
    Connected();
    Script({Answer("1.2.3"), Answer("-222,\"Data out of range\""), Answer("+9.90000000E+37"),
            Answer("+0,\"No error\""), Answer(""), Answer("+0,\"No error\""),
            Answer("\x01READ\"?")});
    auto r = meter_.ReadMilliamps();
    EXPECT_EQ(r.Error().error, MeterError::kBadAnswer);
    EXPECT_EQ(r.Error().Describe(),
              "no number in the answer to READ? (\"1.2.3\"); the meter reports -222,\"Data out of "
              "range\"");
    r = meter_.ReadMilliamps();
    EXPECT_EQ(r.Error().error, MeterError::kOverload);
    EXPECT_EQ(r.Error().Describe(), "overload (the meter answered \"+9.90000000E+37\")");
    r = meter_.ReadMilliamps();
    EXPECT_EQ(r.Error().Describe(), "empty answer to READ?");
    // Bytes that would break the failure's one line are spelled out.
    r = meter_.ReadMilliamps();
    EXPECT_EQ(r.Error().Describe(), "no number in the answer to READ? (\"\\x01READ\\x22?\")");
}

TEST_F(MeterTest, AGoneTransportAsksNothingMoreUntilConnectedAgain) {
    Connected();
    Script({IoResult{IoStatus::kGone, "connection reset"}});
    auto r = meter_.ReadMilliamps();
    EXPECT_EQ(r.Error().error, MeterError::kGone);
    EXPECT_EQ(r.Error().Describe(), "meter gone (connection reset)");
    EXPECT_FALSE(meter_.IsConnected());
    r = meter_.ReadMilliamps();
    EXPECT_EQ(r.Error().error, MeterError::kGone);
    EXPECT_EQ(Sent(), (Strings{"*IDN?", "*CLS", "CONF:CURR:DC 0.1", "READ?"}));

    Script({Answer(kIdn), Answer("+4.0E-03")});
    ASSERT_TRUE(meter_.Connect().Ok());
    EXPECT_TRUE(meter_.ReadMilliamps().Ok());
    EXPECT_EQ(line_->opens, 2);
}

TEST_F(MeterTest, AnIdentityThatDoesNotComeLeavesTheMeterDisconnected) {
    Script({Silence(), Answer("+0,\"No error\"")});
    auto id = meter_.Connect();
    EXPECT_EQ(id.Error().Describe(), "timeout (no answer to *IDN? within 2 s)");
    EXPECT_FALSE(meter_.IsConnected());
    Script({Answer("   "), Answer("-113,\"Undefined header\"")});
    id = meter_.Connect();
    EXPECT_EQ(id.Error().Describe(),
              "empty answer to *IDN?; the meter reports -113,\"Undefined header\"");
    EXPECT_FALSE(meter_.IsConnected());
}

TEST_F(MeterTest, ACancelHoldsUntilResetAndAsksNothing) {
    Connected();
    meter_.Cancel();
    EXPECT_EQ(meter_.ReadMilliamps().Error().error, MeterError::kCancelled);
    EXPECT_EQ(meter_.ReadMilliamps().Error().Describe(), "cancelled");
    EXPECT_FALSE(meter_.Pause(10));
    EXPECT_EQ(Sent(), (Strings{"*IDN?"}));
    meter_.ResetCancel();
    Script({Answer("+4.0E-03")});
    EXPECT_TRUE(meter_.ReadMilliamps().Ok());
}

TEST(MeterPauseTest, ACancelFromAnotherThreadEndsAPause) {
    auto line = std::make_shared<FakeLine>();
    Meter meter(std::make_unique<FakeTransport>(line));
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        meter.Cancel();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(meter.Pause(600000));
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

std::string Amperes(double ma) {
    char text[32];
    std::snprintf(text, sizeof(text), "%+.8E", ma / 1000.0);
    return text;
}

// The driver over the scripted meter, the clock sped up: readings come
// every 300 clock ms.
class StableReadTest : public MeterTest {
protected:
    void SetUp() override { platform::SetTimeScale(20.0); }
    void TearDown() override { platform::SetTimeScale(1.0); }
};

TEST_F(StableReadTest, SettlesOnTheMeanAndShowsEveryReading) {
    Connected();
    for (double ma : {4.30, 4.10, 4.03, 4.0215, 4.0212, 4.0213, 4.0214, 4.0213, 4.0212, 4.0213,
                      4.0213, 4.0214, 4.0212, 4.0213, 4.0213, 4.0213, 4.0213})
        Script({Answer(Amperes(ma))});
    std::vector<double> shown;
    const uint32_t start = platform::Tick();
    const StableReadResult r =
        ReadUntilStable(meter_, start, {}, [&](double ma) { shown.push_back(ma); });
    const uint32_t elapsed = platform::Tick() - start;
    ASSERT_EQ(r.outcome, StableOutcome::kStable) << r.failure.Describe();
    EXPECT_NEAR(r.reading.meanMa, 4.0213, 0.0001);
    EXPECT_EQ(r.reading.count, 5u);
    EXPECT_GE(elapsed, 2000u);
    EXPECT_EQ(shown.size(), r.readings);
    EXPECT_GE(shown.size(), 8u);  // 2 s at one reading per 300 ms at most
    EXPECT_DOUBLE_EQ(shown.front(), 4.30);
}

TEST_F(StableReadTest, GivesUpAfterThirtySecondsOfClockTime) {
    Connected();
    for (int i = 0; i < 200; ++i) Script({Answer(i % 2 ? "+4.01E-03" : "+4.00E-03")});
    const uint32_t start = platform::Tick();
    const StableReadResult r = ReadUntilStable(meter_, start);
    EXPECT_EQ(r.outcome, StableOutcome::kNotStable);
    EXPECT_GE(platform::Tick() - start, 30000u);
    EXPECT_LE(r.readings, 101u);  // no faster than one per 300 ms
    EXPECT_NEAR(r.spanMa, 0.01, 1e-9);
}

TEST_F(StableReadTest, AFailedReadingEndsItWithTheFailure) {
    Connected();
    Script({Answer("+4.0E-03"), Answer("+9.9E37"), Answer("+0,\"No error\"")});
    const StableReadResult r = ReadUntilStable(meter_, platform::Tick());
    EXPECT_EQ(r.outcome, StableOutcome::kFailed);
    EXPECT_EQ(r.failure.error, MeterError::kOverload);
    EXPECT_EQ(r.readings, 1u);
}

TEST_F(StableReadTest, ACancelFromTheDisplayEndsIt) {
    Connected();
    line_->otherwise = Answer("+4.0E-03");
    int seen = 0;
    const StableReadResult r = ReadUntilStable(meter_, platform::Tick(), {}, [&](double) {
        if (++seen == 3) meter_.Cancel();
    });
    EXPECT_EQ(r.outcome, StableOutcome::kCancelled);
    EXPECT_EQ(r.failure.error, MeterError::kCancelled);
    EXPECT_EQ(seen, 3);
}

}  // namespace
}  // namespace meter
