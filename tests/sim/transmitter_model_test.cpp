// A simulated transmitter on its own, at times the test names: its fixed
// current with its output error, the way there over the settle time, its
// texts, and the transmitters that refuse or say nothing.
#include <gtest/gtest.h>

#include "sim/demo_line.h"
#include "sim/slave_devices.h"
#include "sim/slave_frame.h"

namespace sim {
namespace {

MasterRequest Request(uint8_t command, std::vector<uint8_t> data = {}) {
    MasterRequest r;
    r.command = command;  // short frame, polling address 0
    r.data = std::move(data);
    return r;
}

std::vector<uint8_t> Float(float v) {
    std::vector<uint8_t> out;
    AppendFloat(out, v);
    return out;
}

TEST(TransmitterModelTest, AFixedCurrentCarriesTheOutputErrorAndSettlesAlongALine) {
    TransmitterConfig c;
    c.initialCurrentMa = 10.0f;
    c.gain = 1.01f;
    c.offsetMa = -0.02f;
    c.settleMs = 200;
    TransmitterModel t(c);
    EXPECT_EQ(t.LoopCurrent(0.0), 10.0f);
    ASSERT_EQ(t.Handle(Request(40, Float(20.0f)), 1000.0).code, response::kSuccess);
    const float fixed = 20.0f * 1.01f - 0.02f;
    EXPECT_EQ(t.LoopCurrent(1000.0), 10.0f) << "not moved yet";
    EXPECT_NEAR(t.LoopCurrent(1100.0), (10.0f + fixed) / 2, 1e-4);
    EXPECT_EQ(t.LoopCurrent(1200.0), fixed);
    EXPECT_EQ(t.LoopCurrent(5000.0), fixed);
    // A new point half way: from where the output is, not from the old target.
    ASSERT_EQ(t.Handle(Request(40, Float(4.0f)), 6000.0).code, response::kSuccess);
    ASSERT_EQ(t.Handle(Request(40, Float(12.0f)), 6100.0).code, response::kSuccess);
    const float half = (fixed + (4.0f * 1.01f - 0.02f)) / 2;
    EXPECT_NEAR(t.LoopCurrent(6100.0), half, 1e-4);
    // 0.0 leaves fixed-current mode, back to its own current, also settling.
    ASSERT_EQ(t.Handle(Request(40, Float(0.0f)), 7000.0).code, response::kSuccess);
    EXPECT_EQ(t.LoopCurrent(7000.0), 12.0f * 1.01f - 0.02f);
    EXPECT_EQ(t.LoopCurrent(7200.0), 10.0f);
}

TEST(TransmitterModelTest, RefusalsAndSilence) {
    TransmitterConfig c;
    c.fixedCurrentRefusal = response::kLoopCurrentNotActive;
    TransmitterModel refusing(c);
    EXPECT_EQ(refusing.Handle(Request(40, Float(12.0f)), 0.0).code, 11);
    EXPECT_EQ(refusing.Handle(Request(40, Float(0.0f)), 0.0).code, 11);
    EXPECT_EQ(refusing.LoopCurrent(1000.0), c.initialCurrentMa);

    TransmitterConfig plain;
    plain.answersHart = false;
    EXPECT_FALSE(TransmitterModel(plain).Addressed(Request(0)));
    EXPECT_TRUE(TransmitterModel(TransmitterConfig{}).Addressed(Request(0)));

    TransmitterModel old(TransmitterConfig{});  // revision 5
    EXPECT_EQ(old.Handle(Request(20), 0.0).code, response::kNotImplemented);
    EXPECT_EQ(old.Handle(Request(40, Float(2.0f)), 0.0).code, response::kTooSmall);
    EXPECT_EQ(old.Handle(Request(40, Float(25.0f)), 0.0).code, response::kTooLarge);
}

TEST(TransmitterModelTest, TextsGoOutPackedAndPadded) {
    // "AB" in eight characters: 'A' 1, 'B' 2, then spaces (32).
    EXPECT_EQ(PackAscii("ab", 6), (std::vector<uint8_t>{0x04, 0x28, 0x20, 0x82, 0x08, 0x20}));
    EXPECT_EQ(PackAscii("A~\x01", 3), PackAscii("A??", 3)) << "outside the table";
    TransmitterConfig c;
    c.universalRevision = 6;
    c.tag = "TAG";
    c.longTag = std::string(40, 'x');
    TransmitterModel t(c);
    const DeviceReply tag = t.Handle(Request(13), 0.0);
    ASSERT_EQ(tag.data.size(), 21u);
    EXPECT_EQ(std::vector<uint8_t>(tag.data.begin(), tag.data.begin() + 6), PackAscii("TAG", 6));
    EXPECT_EQ(tag.data[18], c.date[0]);
    const DeviceReply longTag = t.Handle(Request(20), 0.0);
    EXPECT_EQ(longTag.data, std::vector<uint8_t>(32, 'x')) << "cut at 32";
}

TEST(TransmitterModelTest, TheDemoHasADeviceForEachVerdict) {
    const FixtureConfig demo = DemoFixtureConfig();
    EXPECT_TRUE(demo.calibrated);
    int silent = 0, refusing = 0, outOfTolerance = 0;
    for (const TransmitterConfig& t : demo.transmitters) {
        silent += t.answersHart ? 0 : 1;
        refusing += t.fixedCurrentRefusal != 0 ? 1 : 0;
        // 0.1 % of a 16 mA span at 20 mA.
        if (std::abs(20.0f * t.gain + t.offsetMa - 20.0f) > 0.016f) ++outOfTolerance;
    }
    EXPECT_EQ(silent, 1);
    EXPECT_EQ(refusing, 1);
    EXPECT_EQ(outOfTolerance, 1);
    // The calibrated converter reads what flows.
    FixtureModel fixture(demo);
    EXPECT_NEAR(fixture.Measured(12.0f), 12.0f, 1e-4);
}

}  // namespace
}  // namespace sim
