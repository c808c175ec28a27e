// The simulated fixture driven through the ComPort interface with frames
// written out by hand, as a master would send them.
#include "sim/simulated_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "platform/clock.h"
#include "test_master.h"

namespace sim {
namespace {

using test::Bytes;
using test::FloatAt;
using test::FloatBytes;
using test::Framed;
using test::Join;
using test::TestMaster;

constexpr double kCharMs = 1000.0 * 11.0 / 1200.0;
const Bytes kCommand0 = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82};
constexpr uint32_t kSilence = 300;  // clock ms after which a missing reply counts as none

// Default fixture (0x3E, 0xB6, number 1: long address 3E B6 00 00 01), two
// transmitters, channel 5 active.
FixtureConfig Config() {
    FixtureConfig c;
    c.activeChannel = 5;
    TransmitterConfig a;
    a.channel = 5;
    a.deviceId = {0x10, 0x20, 0x30};
    a.initialCurrentMa = 12.0f;
    TransmitterConfig b;
    b.channel = 9;
    b.manufacturerId = 0x11;
    b.deviceType = 0x22;
    b.deviceId = {0x00, 0x00, 0x09};
    c.transmitters = {a, b};
    return c;
}

Bytes ToFixture(uint8_t command, const Bytes& data = {}, uint32_t number = 1) {
    return Framed(Join({0x82, 0xBE, 0xB6, uint8_t(number >> 16), uint8_t(number >> 8),
                        uint8_t(number), command, uint8_t(data.size())},
                       data));
}

Bytes ToTransmitter5(uint8_t command, const Bytes& data = {}) {
    return Framed(Join({0x82, 0xA6, 0x05, 0x10, 0x20, 0x30, command, uint8_t(data.size())}, data));
}

float Raw(float ma) { return ma * 1.002f + 0.013f; }

class SimTest : public ::testing::Test {
protected:
    explicit SimTest(double scale = 10.0, FixtureConfig config = Config())
        : scale_(scale), fixture(std::move(config)), master(fixture) {}

    void SetUp() override {
        platform::SetTimeScale(scale_);
        ASSERT_TRUE(master.Open());
    }
    void TearDown() override {
        master.Stop();
        platform::SetTimeScale(1.0);
    }

    // A fixture command that must succeed; returns its reply data.
    Bytes Fixture(uint8_t command, const Bytes& data = {}) {
        auto r = master.Exchange(ToFixture(command, data));
        EXPECT_TRUE(r && r->checkOk && r->status1 == 0) << "command " << int(command);
        return r ? r->data : Bytes{};
    }
    uint8_t FixtureCode(uint8_t command, const Bytes& data) {
        auto r = master.Exchange(ToFixture(command, data));
        return r ? r->status1 : 0xFF;
    }
    void FixCurrent(float ma) {
        auto r = master.Exchange(ToTransmitter5(40, FloatBytes(ma)), true, true);
        ASSERT_TRUE(r && r->status1 == 0);
    }
    float Slot0() { return FloatAt(Fixture(33, {4, 0, 1, 2}), 2); }
    std::vector<LineEvent> Events(LineEvent::Kind kind) {
        std::vector<LineEvent> out;
        for (auto& e : fixture.LineLog())
            if (e.kind == kind) out.push_back(e);
        return out;
    }

    double scale_;
    SimulatedFixture fixture;
    TestMaster master;
};

// --- the fixture's commands ---

TEST_F(SimTest, Command0AnswersInBothFormsOnlyToItsOwnAddress) {
    auto r = master.Exchange(kCommand0);
    ASSERT_TRUE(r);
    Bytes expected = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x06, 0x80, 0x00, 0x0E, 0x00, 0x00, 0xFE,
                      0x3E, 0xB6, 0x05, 0x05, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x01};
    uint8_t check = 0;
    for (size_t i = 5; i < expected.size(); ++i) check ^= expected[i];
    expected.push_back(check);
    EXPECT_EQ(master.Received(), expected);

    r = master.Exchange(ToFixture(0));
    ASSERT_TRUE(r && r->checkOk);
    EXPECT_TRUE(r->longFrame);
    EXPECT_EQ(r->address, (Bytes{0xBE, 0xB6, 0x00, 0x00, 0x01}));
    EXPECT_EQ(r->data, Bytes(expected.begin() + 11, expected.end() - 1));

    EXPECT_FALSE(master.Exchange(Framed({0x02, 0x81, 0x00, 0x00}), false, false, kSilence))
        << "polling address 1";
    EXPECT_FALSE(master.Exchange(ToFixture(0, {}, 2), false, false, kSilence)) << "device 2";
    Bytes broken = kCommand0;
    broken.back() ^= 0x01;
    EXPECT_FALSE(master.Exchange(broken, false, false, kSilence)) << "bad check byte";
}

TEST_F(SimTest, Command2AndSlot0FollowTheActiveChannelsLoop) {
    auto d = Fixture(2);
    ASSERT_EQ(d.size(), 8u);
    EXPECT_NEAR(FloatAt(d, 0), Raw(12.0f), 1e-4) << "uncalibrated: the converter's error shows";
    EXPECT_NEAR(FloatAt(d, 4), (FloatAt(d, 0) - 4.0f) / 16.0f * 100.0f, 1e-3);

    d = Fixture(33, {4, 0, 1, 2});
    ASSERT_EQ(d.size(), 24u);
    EXPECT_EQ(d[0], 4);
    EXPECT_EQ(d[1], 39) << "mA";
    EXPECT_NEAR(FloatAt(d, 2), Raw(12.0f), 1e-4);
    EXPECT_EQ(d[6], 0);
    EXPECT_EQ(d[18], 2);
    EXPECT_EQ(FloatAt(d, 20), 5.0f) << "device variable 2 is the channel";
    EXPECT_EQ(FixtureCode(33, {}), 5);
    EXPECT_EQ(FixtureCode(33, {4, 9}), 2) << "no device variable 9";

    FixCurrent(20.0f);
    EXPECT_EQ(fixture.TransmitterCurrent(5), 20.0f);
    EXPECT_NEAR(FloatAt(Fixture(2), 0), Raw(20.0f), 1e-4);

    Fixture(34, FloatBytes(3.0f));  // a channel with nothing plugged in
    EXPECT_NEAR(FloatAt(Fixture(2), 0), Raw(0.0f), 1e-4);
    EXPECT_EQ(fixture.TransmitterCurrent(3), 0.0f);
}

TEST_F(SimTest, Command34SelectsAndCommand15ReadsTheChannelBack) {
    EXPECT_EQ(Fixture(34, FloatBytes(6.0f)), FloatBytes(6.0f));
    EXPECT_EQ(fixture.ActiveChannel(), 6);
    auto d = Fixture(15);
    ASSERT_EQ(d.size(), 17u);
    EXPECT_EQ(FloatAt(d, 11), 6.0f);

    Fixture(34, FloatBytes(32.0f));
    EXPECT_EQ(fixture.ActiveChannel(), -1);
    EXPECT_EQ(FloatAt(Fixture(15), 11), 32.0f);

    EXPECT_EQ(FixtureCode(34, FloatBytes(32.5f)), 3);
    EXPECT_EQ(FixtureCode(34, FloatBytes(1e6f)), 3);
    EXPECT_EQ(FixtureCode(34, FloatBytes(-1.0f)), 4);
    EXPECT_EQ(FixtureCode(34, FloatBytes(NAN)), 2);
    EXPECT_EQ(FixtureCode(34, {0x40, 0xC0}), 5);
    EXPECT_EQ(fixture.ActiveChannel(), -1) << "refused values change nothing";

    auto r = master.Exchange(ToFixture(34, FloatBytes(7.4f)));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status1, 8) << "set to nearest";
    EXPECT_EQ(r->data, FloatBytes(7.0f));
    EXPECT_EQ(fixture.ActiveChannel(), 7);
}

TEST_F(SimTest, Command182RenumbersTheFixture) {
    EXPECT_EQ(FixtureCode(182, {0x00, 0x04}), 5);
    EXPECT_EQ(Fixture(182, {0x00, 0x00, 0x04}), (Bytes{0x00, 0x00, 0x04}));
    EXPECT_EQ(fixture.DeviceNumber(), 4u);
    auto r = master.Exchange(kCommand0);
    ASSERT_TRUE(r);
    EXPECT_EQ(Bytes(r->data.begin() + 9, r->data.end()), (Bytes{0x00, 0x00, 0x04}));
    EXPECT_FALSE(master.Exchange(ToFixture(2), false, false, kSilence)) << "old address";
    EXPECT_TRUE(master.Exchange(ToFixture(2, {}, 4)));
}

TEST_F(SimTest, CommandsOutsideTheSetAreNotImplemented) {
    EXPECT_EQ(FixtureCode(99, {}), 64);
    auto r = master.Exchange(ToTransmitter5(2), true, true);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status1, 64);

    // Command 40's own limits; 0 leaves fixed-current mode.
    for (auto [ma, code] : {std::pair{30.0f, 3}, {1.0f, 4}, {NAN, 2}}) {
        r = master.Exchange(ToTransmitter5(40, FloatBytes(ma)), true, true);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status1, code) << ma;
    }
    r = master.Exchange(ToTransmitter5(40, FloatBytes(8.0f)), true, true);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data, FloatBytes(8.0f));
    EXPECT_EQ(r->status2 & 0x08, 0x08) << "output fixed";
    EXPECT_EQ(fixture.TransmitterCurrent(5), 8.0f);
    r = master.Exchange(ToTransmitter5(40, FloatBytes(0.0f)), true, true);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status2 & 0x08, 0);
    EXPECT_EQ(fixture.TransmitterCurrent(5), 12.0f);
}

// --- calibration (command 201) ---

class CalibrationTest : public SimTest {
protected:
    // One request area for all steps: bytes not written keep what the last
    // step left, as the master's do.
    uint8_t Step(std::initializer_list<std::pair<int, int>> writes) {
        for (auto [at, value] : writes) area_[static_cast<size_t>(at)] = uint8_t(value);
        return FixtureCode(201, area_);
    }
    uint8_t Point(int index, float measured, float reference) {
        const Bytes m = FloatBytes(measured);
        const Bytes f = FloatBytes(reference);
        return Step({{0, 0x5A},
                     {1, 0xA5},
                     {2, 0x04},
                     {3, index},
                     {4, 0},
                     {5, 0x0C},
                     {6, m[0]},
                     {7, m[1]},
                     {8, m[2]},
                     {9, m[3]},
                     {10, 0x0C},
                     {11, f[0]},
                     {12, f[1]},
                     {13, f[2]},
                     {14, f[3]}});
    }
    uint8_t Open() { return Step({{0, 0x5A}, {1, 0xA5}, {2, 0x00}, {3, 0x00}, {4, 0x00}}); }
    uint8_t Announce() { return Step({{0, 0x5A}, {1, 0xA5}, {2, 0x02}, {3, 0x06}}); }
    uint8_t CloseList() { return Step({{0, 0x5A}, {1, 0xA5}, {2, 0x00}, {3, 0x01}, {4, 0x00}}); }
    uint8_t Verify() { return Step({{0, 0x5A}, {1, 0xA5}, {2, 0xFA}}); }
    uint8_t Commit() { return Step({{0, 0x5A}, {1, 0xA5}, {2, 0xFF}}); }

    Bytes area_ = Bytes(20, 0);
};

TEST_F(CalibrationTest, WrittenPointsCorrectLaterReadings) {
    ASSERT_EQ(Open(), 0);
    // Collect the points the way the operator does: nothing on the loop,
    // then the transmitter fixed at 4..20 mA, read through slot 0.
    std::vector<std::pair<float, float>> points;
    Fixture(34, FloatBytes(32.0f));
    points.push_back({Slot0(), 0.0f});
    Fixture(34, FloatBytes(5.0f));
    for (float ma : {4.0f, 8.0f, 12.0f, 16.0f, 20.0f}) {
        FixCurrent(ma);
        points.push_back({Slot0(), ma});
    }
    EXPECT_NEAR(points[0].first, Raw(0.0f), 1e-5);

    ASSERT_EQ(Open(), 0);
    ASSERT_EQ(Announce(), 0);
    for (int i = 0; i < 6; ++i) ASSERT_EQ(Point(i, points[i].first, points[i].second), 0) << i;
    ASSERT_EQ(CloseList(), 0);
    ASSERT_EQ(Verify(), 0);
    FixCurrent(12.0f);
    EXPECT_NEAR(FloatAt(Fixture(2), 0), Raw(12.0f), 1e-4) << "nothing changes before commit";
    ASSERT_EQ(Commit(), 0);

    EXPECT_NEAR(FloatAt(Fixture(2), 0), 12.0f, 1e-4);
    FixCurrent(10.0f);
    const auto d = Fixture(33, {4, 0, 1, 2});
    EXPECT_NEAR(FloatAt(d, 2), Raw(10.0f), 1e-4) << "slot 0 stays raw";
    EXPECT_NEAR(FloatAt(d, 8), 10.0f, 1e-3) << "variable 0 is corrected";
    EXPECT_NEAR(FloatAt(Fixture(2), 0), 10.0f, 1e-3);
}

TEST_F(CalibrationTest, StepsOutOfTurnOrMalformedAreRefused) {
    EXPECT_EQ(Verify(), 16) << "no session";
    EXPECT_EQ(Point(0, 0.0f, 0.0f), 16);
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(Point(0, 0.0f, 0.0f), 16) << "before the count";
    ASSERT_EQ(Announce(), 0);
    EXPECT_EQ(Point(6, 1.0f, 1.0f), 2) << "index past the count";
    EXPECT_EQ(CloseList(), 16) << "points missing";
    EXPECT_EQ(FixtureCode(201, Bytes(10, 0x5A)), 5) << "short request";
    Bytes wrongMarker = area_;
    wrongMarker[1] = 0x00;
    EXPECT_EQ(FixtureCode(201, wrongMarker), 2);

    // A complete list that does not rise: FA refuses it, FF has nothing.
    for (int i = 0; i < 6; ++i) ASSERT_EQ(Point(i, float(i), i == 3 ? 0.0f : float(i)), 0);
    Bytes badTag = area_;
    badTag[2] = 0x04;
    badTag[3] = 0x00;
    badTag[5] = 0x0B;
    EXPECT_EQ(FixtureCode(201, badTag), 2) << "tag before the float";
    ASSERT_EQ(CloseList(), 0);
    EXPECT_EQ(Verify(), 2);
    EXPECT_EQ(Commit(), 16);
    EXPECT_NEAR(FloatAt(Fixture(2), 0), Raw(12.0f), 1e-4) << "old table still in use";
}

// --- the line ---

TEST_F(SimTest, DtrRoutesToTheFixtureOrTheActiveChannelsTransmitter) {
    auto r = master.Exchange(kCommand0, true, true);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data[1], 0x26);
    EXPECT_EQ(Bytes(r->data.begin() + 9, r->data.end()), (Bytes{0x10, 0x20, 0x30}));
    EXPECT_TRUE(master.Exchange(ToTransmitter5(0), true, true));
    EXPECT_FALSE(master.Exchange(ToTransmitter5(0), false, false, kSilence))
        << "the fixture does not answer for a transmitter";

    Fixture(34, FloatBytes(9.0f));
    r = master.Exchange(kCommand0, true, true);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data[1], 0x11);
    EXPECT_FALSE(master.Exchange(ToTransmitter5(0), true, true, kSilence)) << "channel 5 is off";

    Fixture(34, FloatBytes(3.0f));
    EXPECT_FALSE(master.Exchange(kCommand0, true, true, kSilence)) << "empty channel";
    Fixture(34, FloatBytes(32.0f));
    EXPECT_FALSE(master.Exchange(kCommand0, true, true, kSilence)) << "no channel";

    r = master.Exchange(kCommand0, false, false);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data[1], 0x3E);
    const auto frames = Events(LineEvent::kMasterFrame);
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(frames.front().dtr);
    EXPECT_FALSE(frames.back().dtr);
}

TEST_F(SimTest, TransmitterHearsOnlyFramesKeyedByRtsThroughout) {
    EXPECT_FALSE(master.Exchange(kCommand0, true, false, kSilence)) << "RTS never keyed";

    // RTS dropped while a long frame is still going out.
    Bytes frame(30, 0xFF);
    frame.insert(frame.end(), kCommand0.begin(), kCommand0.end());
    master.Clear();
    auto& port = master.Port();
    port.SetDtr(true);
    port.SetRts(true);
    port.Write(frame.data(), frame.size());
    platform::Sleep(30);
    port.SetRts(false);
    EXPECT_FALSE(master.Receive(800));

    EXPECT_TRUE(master.Exchange(kCommand0, true, true));
    EXPECT_TRUE(master.Exchange(kCommand0, false, true)) << "the fixture ignores RTS";

    const auto frames = Events(LineEvent::kMasterFrame);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_FALSE(frames[0].rtsThroughout);
    EXPECT_FALSE(frames[1].rtsThroughout);
    EXPECT_TRUE(frames[2].rtsThroughout);
    EXPECT_TRUE(frames[3].rtsThroughout);
    EXPECT_EQ(Events(LineEvent::kReply).size(), 2u);
}

TEST_F(SimTest, CarrierIsOnWhileATransmitterAnswers) {
    auto& port = master.Port();
    master.Send(kCommand0, true, true);
    bool seen = false;
    for (int i = 0; i < 400 && !master.Receive(0); ++i) {
        seen = seen || port.CarrierDetect();
        platform::Sleep(2);
    }
    ASSERT_TRUE(master.Receive(0));
    EXPECT_TRUE(seen);
    EXPECT_FALSE(port.CarrierDetect()) << "off with the last byte";

    master.Send(kCommand0, false, false);
    seen = false;
    for (int i = 0; i < 400 && !master.Receive(0); ++i) {
        seen = seen || port.CarrierDetect();
        platform::Sleep(2);
    }
    EXPECT_FALSE(seen) << "the fixture answers without a carrier";

    fixture.InjectFault(Fault::kCarrierHeld, 1, Target::kTransmitter);
    ASSERT_TRUE(master.Exchange(kCommand0, true, true));
    platform::Sleep(500);
    EXPECT_TRUE(port.CarrierDetect()) << "held after the reply";
    platform::Sleep(700);
    EXPECT_FALSE(port.CarrierDetect());
}

TEST_F(SimTest, OutputPurgeCutsTheFrameShort) {
    // A long frame, purged a few characters in: the rest never goes out and
    // nobody answers what is left.
    Bytes frame(30, 0xFF);
    frame.insert(frame.end(), kCommand0.begin(), kCommand0.end());
    auto& port = master.Port();
    const uint32_t written = platform::Tick();
    port.Write(frame.data(), frame.size());
    platform::Sleep(static_cast<uint32_t>(3.5 * kCharMs));
    port.Purge(false, true);
    const uint32_t purged = platform::Tick();
    EXPECT_FALSE(master.Receive(kSilence));
    const auto frames = Events(LineEvent::kMasterFrame);
    ASSERT_EQ(frames.size(), 1u);
    const auto sent = frames[0].bytes.size();
    EXPECT_GE(sent, 2u);
    EXPECT_LE(sent, size_t((purged - written) / kCharMs) + 1);
    EXPECT_LT(sent, frame.size());
    EXPECT_TRUE(Events(LineEvent::kReply).empty());
    EXPECT_TRUE(master.Exchange(kCommand0)) << "the next frame goes out whole";
}

class EchoTest : public SimTest {
protected:
    static FixtureConfig EchoConfig() {
        auto c = Config();
        c.echo = true;
        return c;
    }
    EchoTest() : SimTest(10.0, EchoConfig()) {}
};

TEST_F(EchoTest, MastersBytesComeBackBeforeTheReply) {
    auto r = master.Exchange(kCommand0);
    ASSERT_TRUE(r);
    const auto in = master.Received();
    ASSERT_GT(in.size(), kCommand0.size());
    EXPECT_EQ(Bytes(in.begin(), in.begin() + 10), kCommand0);
    EXPECT_EQ(r->data[1], 0x3E);
}

// --- faults ---

TEST_F(SimTest, InjectedFaultsHitTheirTargetAndCount) {
    fixture.InjectFault(Fault::kNoReply, 2, Target::kTransmitter);
    EXPECT_TRUE(master.Exchange(kCommand0)) << "the fixture is not the target";
    EXPECT_FALSE(master.Exchange(kCommand0, true, true, kSilence));
    EXPECT_FALSE(master.Exchange(kCommand0, true, true, kSilence));
    EXPECT_TRUE(master.Exchange(kCommand0, true, true));

    fixture.InjectFault(Fault::kBadChecksum);
    auto r = master.Exchange(kCommand0);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->checkOk);
    r = master.Exchange(kCommand0);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->checkOk);

    fixture.InjectFault(Fault::kNoise, 1, Target::kFixture);
    r = master.Exchange(kCommand0);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->checkOk);
    EXPECT_GE(r->noise, 1u);
    const auto in = master.Received();
    for (size_t i = 0; i < r->noise; ++i) EXPECT_NE(in[i], 0xFF);

    // A device that heard badly or refuses does not act.
    fixture.InjectFault(Fault::kCommError);
    r = master.Exchange(ToFixture(34, FloatBytes(7.0f)));
    ASSERT_TRUE(r && r->checkOk);
    EXPECT_EQ(r->status1, 0x88);
    EXPECT_TRUE(r->data.empty());
    fixture.InjectFault(Fault::kRejectedCode);
    r = master.Exchange(ToFixture(34, FloatBytes(7.0f)));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status1, 64);
    EXPECT_EQ(fixture.ActiveChannel(), 5);

    fixture.InjectFault(Fault::kNoReply, 5);
    fixture.ClearFaults();
    EXPECT_TRUE(master.Exchange(kCommand0));
}

TEST_F(SimTest, EmptyRepliesAndCurrentsThatAreNoReadings) {
    const auto count = [this](Fault f) { return fixture.FaultCounts()[static_cast<size_t>(f)]; };
    fixture.InjectFault(Fault::kEmptyReply);
    auto r = master.Exchange(ToFixture(15));
    ASSERT_TRUE(r && r->checkOk);
    EXPECT_EQ(r->status1, 0);
    EXPECT_TRUE(r->data.empty()) << "the status bytes alone";
    EXPECT_EQ(Fixture(15).size(), 17u);

    // A value fault waits for a reply that carries a current.
    const Bytes identity = Fixture(0);
    fixture.InjectFault(Fault::kNotANumber);
    EXPECT_EQ(Fixture(0), identity);
    EXPECT_EQ(Fixture(15).size(), 17u);
    EXPECT_EQ(count(Fault::kNotANumber), 0u);
    auto d = Fixture(2);
    ASSERT_EQ(d.size(), 8u);
    EXPECT_TRUE(std::isnan(FloatAt(d, 0)));

    fixture.InjectFault(Fault::kInfinity);
    d = Fixture(33, {4, 0, 1, 2});
    ASSERT_EQ(d.size(), 24u);
    EXPECT_EQ(d[0], 4) << "slot 0 keeps its code and units";
    EXPECT_EQ(d[1], 39);
    EXPECT_EQ(FloatAt(d, 2), std::numeric_limits<float>::infinity());
    EXPECT_EQ(FloatAt(d, 20), 5.0f) << "the other slots are untouched";

    fixture.InjectFault(Fault::kHugeValue);
    EXPECT_EQ(FloatAt(Fixture(2), 0), 1e30f);
    EXPECT_NEAR(FloatAt(Fixture(2), 0), Raw(12.0f), 1e-4) << "used up";

    // By rate, too, only such replies are hit.
    fixture.SetFaultRate(Fault::kNotANumber, 1.0);
    EXPECT_EQ(Fixture(0), identity);
    EXPECT_TRUE(std::isnan(FloatAt(Fixture(33, {4}), 2)));
    for (Fault f : {Fault::kEmptyReply, Fault::kInfinity, Fault::kHugeValue})
        EXPECT_EQ(count(f), 1u) << static_cast<int>(f);
    EXPECT_EQ(count(Fault::kNotANumber), 2u);
}

TEST_F(SimTest, LateReplyStartsAfterTheFirstCharacterWait) {
    fixture.InjectFault(Fault::kLateReply);
    auto r = master.Exchange(kCommand0, false, false, 1500);
    ASSERT_TRUE(r && r->checkOk);
    const auto frames = Events(LineEvent::kMasterFrame);
    const auto first = master.FirstByteTick();
    ASSERT_TRUE(first);
    EXPECT_GE(int32_t(*first - frames.back().endTick), 600);
}

TEST_F(SimTest, AMasterThatTalksOverAReplyGarblesBothAndIsNotHeard) {
    fixture.InjectFault(Fault::kLateReply);
    master.Send(kCommand0, false, false);  // its reply starts 600 ms after the frame
    platform::Sleep(600 + 50 - 120);       // Send held the frame's ~120 ms already
    master.Send(ToFixture(2), false, false);
    platform::Sleep(kSilence + 400);
    const auto frames = Events(LineEvent::kMasterFrame);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_FALSE(frames[0].collided);
    EXPECT_TRUE(frames[1].collided);
    EXPECT_EQ(Events(LineEvent::kReply).size(), 1u) << "the frame talked over is not answered";
    // What reached the master: the late reply with the characters sent while
    // the second frame was going out turned into parity errors.
    const Bytes got = master.Received();
    EXPECT_NE(std::count(got.begin(), got.end(), uint8_t('F')), 0);
    EXPECT_FALSE(test::ParseReply(got) && test::ParseReply(got)->checkOk);

    // A frame on a quiet line is heard as before.
    EXPECT_TRUE(master.Exchange(ToFixture(2)));
}

TEST(SimFaultTest, FaultRatesAreSeededAndRepeatable) {
    platform::SetTimeScale(20.0);
    auto pattern = [](uint32_t seed, double rate) {
        SimulatedFixture fixture(Config());
        TestMaster master(fixture);
        EXPECT_TRUE(master.Open());
        fixture.SetFaultRate(Fault::kNoReply, rate, seed);
        for (int i = 0; i < 12; ++i) master.Exchange(kCommand0, false, false, 400);
        platform::Sleep(400);
        // Read off the wire, not off the test's timing: '-' a frame, 'r' answered.
        std::string p;
        for (const auto& e : fixture.LineLog()) {
            if (e.kind == LineEvent::kMasterFrame) p += '-';
            if (e.kind == LineEvent::kReply && !p.empty()) p.back() = 'r';
        }
        return p;
    };
    const auto a = pattern(7, 0.5);
    EXPECT_EQ(a, pattern(7, 0.5));
    EXPECT_NE(a.find('r'), std::string::npos);
    EXPECT_NE(a.find('-'), std::string::npos);
    EXPECT_EQ(pattern(3, 1.0), std::string(12, '-'));
    platform::SetTimeScale(1.0);
}

// --- the port ---

TEST_F(SimTest, VanishedPortsFailAtOnceUntilPluggedInAgain) {
    fixture.VanishPorts();
    for (int i = 0; i < 200 && master.LastWait() != serial::WaitResult::kVanished; ++i)
        platform::Sleep(5);
    EXPECT_EQ(master.LastWait(), serial::WaitResult::kVanished) << "the waiting reader woke";

    auto& port = master.Port();
    uint8_t b[4];
    EXPECT_EQ(port.Write(kCommand0.data(), kCommand0.size()), -1);
    EXPECT_EQ(port.Read(b, sizeof b), -1);
    EXPECT_EQ(port.QueuedInput(), 0u);
    EXPECT_FALSE(port.CarrierDetect());
    EXPECT_EQ(port.WaitForInput(), serial::WaitResult::kVanished);
    EXPECT_EQ(port.WaitForInput(), serial::WaitResult::kVanished);
    EXPECT_TRUE(port.IsOpen()) << "still held until closed";

    auto other = fixture.CreatePort();
    EXPECT_FALSE(other->Open("SIM")) << "unplugged";
    fixture.RestorePorts();
    TestMaster again(fixture);
    ASSERT_TRUE(again.Open()) << "the dead port no longer holds the device";
    EXPECT_TRUE(again.Exchange(kCommand0));
}

TEST_F(SimTest, OnlyOnePortAtATime) {
    auto second = fixture.CreatePort();
    EXPECT_FALSE(second->Open("SIM"));
    EXPECT_FALSE(second->IsOpen());
    EXPECT_EQ(second->Write(kCommand0.data(), kCommand0.size()), -1);
    master.Stop();
    ASSERT_TRUE(second->Open("SIM"));
    EXPECT_TRUE(second->IsOpen());
    second->Close();
    second->Close();
    EXPECT_FALSE(second->IsOpen());
}

TEST(SimPortTest, CancelAndCloseEndWaitsWithoutSpinning) {
    SimulatedFixture fixture(Config());
    auto port = fixture.CreatePort();
    ASSERT_TRUE(port->Open("SIM"));

    std::atomic<int> result{-1};
    std::thread waiter([&] { result = static_cast<int>(port->WaitForInput()); });
    platform::Sleep(20);
    EXPECT_EQ(result.load(), -1) << "nothing queued: it waits";
    port->CancelWait();
    waiter.join();
    EXPECT_EQ(result.load(), static_cast<int>(serial::WaitResult::kCancelled));

    port->CancelWait();  // none pending: ends the next one
    EXPECT_EQ(port->WaitForInput(), serial::WaitResult::kCancelled);

    std::thread closer([&] {
        platform::Sleep(20);
        port->Close();
    });
    EXPECT_EQ(port->WaitForInput(), serial::WaitResult::kCancelled) << "Close cancels";
    closer.join();
    EXPECT_EQ(port->WaitForInput(), serial::WaitResult::kVanished) << "closed: never blocks";
}

TEST_F(SimTest, InspectingWhileTransactingIsSafe) {
    std::atomic<bool> stop{false};
    std::thread inspector([&] {
        while (!stop) {
            (void)fixture.LineLog();
            (void)fixture.ActiveChannel();
            (void)fixture.TransmitterCurrent(5);
            (void)master.Port().CarrierDetect();
            platform::Sleep(3);
        }
    });
    for (int i = 0; i < 6; ++i) {
        fixture.SetTransmitterCurrent(5, 5.0f + float(i));
        EXPECT_TRUE(master.Exchange(i % 2 ? kCommand0 : ToTransmitter5(0), i % 2 == 0, true));
    }
    stop = true;
    inspector.join();
}

// --- timing at real time ---

class RealTimeTest : public SimTest {
protected:
    RealTimeTest() : SimTest(1.0) {}
};

TEST_F(RealTimeTest, FramesAndReplyBytesGoAtCharacterRate) {
    auto& port = master.Port();
    port.SetRts(true);
    const uint32_t rtsOn = platform::Tick();
    port.Write(kCommand0.data(), kCommand0.size());
    platform::Sleep(static_cast<uint32_t>(11 * kCharMs));
    const uint32_t rtsOff = platform::Tick();
    port.SetRts(false);
    auto r = master.Receive(600);
    ASSERT_TRUE(r);

    const auto frames = Events(LineEvent::kMasterFrame);
    const auto replies = Events(LineEvent::kReply);
    const auto rts = Events(LineEvent::kRts);
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(replies.size(), 1u);
    ASSERT_EQ(rts.size(), 2u);
    EXPECT_EQ(frames[0].endTick - frames[0].tick, 92u) << "10 characters";
    // Each change is seen between the tick read beside the call and that
    // tick plus what a loaded machine may take for the call.
    EXPECT_GE(int32_t(rtsOn - rts[0].tick), 0);
    EXPECT_LE(int32_t(rtsOn - rts[0].tick), 20);
    EXPECT_GE(int32_t(rts[1].tick - rtsOff), 0);
    EXPECT_LE(int32_t(rts[1].tick - rtsOff), 20);
    EXPECT_TRUE(frames[0].rtsThroughout);

    const uint32_t n = static_cast<uint32_t>(replies[0].bytes.size());
    EXPECT_NEAR(double(replies[0].tick - frames[0].endTick), 20.0, 1.0) << "turn-around";
    EXPECT_NEAR(double(replies[0].endTick - replies[0].tick), n * kCharMs, 1.0);

    // Each byte is there only once its stop bit has passed, and soon after:
    // spread at character rate, never a burst. The upper bound leaves room
    // for a loaded machine waking the reader late.
    const auto ticks = master.ByteTicks();
    ASSERT_EQ(ticks.size(), n);
    for (uint32_t k = 0; k < n; ++k) {
        const double due = (k + 1) * kCharMs;
        const double at = int32_t(ticks[k] - replies[0].tick);
        EXPECT_GE(at, due - 1.0) << k;
        EXPECT_LE(at, due + 25.0) << k;
    }
}

}  // namespace
}  // namespace sim
