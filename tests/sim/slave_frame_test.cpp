// The slave side's own frame handling and the calibration table, without a
// wire.
#include "sim/slave_frame.h"

#include <gtest/gtest.h>

#include <cmath>

#include "sim/slave_devices.h"
#include "test_master.h"

namespace sim {
namespace {

using test::Bytes;

TEST(SlaveFrameTest, FindsTheRequestBehindGarbageAndRejectsBrokenFrames) {
    const Bytes cmd0 = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82};
    auto r = ParseMasterFrame(cmd0.data(), cmd0.size());
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->longFrame);
    EXPECT_EQ(r->address[0], 0x80);
    EXPECT_EQ(r->PollingAddress(), 0);
    EXPECT_TRUE(r->data.empty());

    // Long frame with data, behind line noise, trailing bytes ignored.
    Bytes noisy = {0x12, 0x00, 0xFF, 0x34};
    const Bytes body =
        test::Framed({0x82, 0x86, 0x1A, 0x01, 0x02, 0x03, 0x22, 0x04, 0x40, 0xA0, 0x00, 0x00});
    noisy.insert(noisy.end(), body.begin(), body.end());
    noisy.push_back(0x55);
    r = ParseMasterFrame(noisy.data(), noisy.size());
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->longFrame);
    EXPECT_EQ(r->address, (std::array<uint8_t, 5>{0x86, 0x1A, 0x01, 0x02, 0x03}));
    EXPECT_EQ(r->command, 34);
    EXPECT_EQ(r->data, (Bytes{0x40, 0xA0, 0x00, 0x00}));
    EXPECT_EQ(ReadFloat(r->data.data()), 5.0f);

    Bytes bad = cmd0;
    bad.back() ^= 1;
    EXPECT_FALSE(ParseMasterFrame(bad.data(), bad.size())) << "check byte";
    const Bytes onePreamble = {0xFF, 0x02, 0x80, 0x00, 0x00, 0x82};
    EXPECT_FALSE(ParseMasterFrame(onePreamble.data(), onePreamble.size()));
    EXPECT_FALSE(ParseMasterFrame(cmd0.data(), cmd0.size() - 1)) << "cut short";
    // A slave's own acknowledge frame is no request.
    const Bytes ack = {0xFF, 0xFF, 0x06, 0x80, 0x00, 0x02, 0x00, 0x00, 0x84};
    EXPECT_FALSE(ParseMasterFrame(ack.data(), ack.size()));
    // A byte count running past the end.
    const Bytes overlong = test::Framed({0x02, 0x80, 0x00, 0x30});
    EXPECT_FALSE(ParseMasterFrame(overlong.data(), overlong.size()));
}

TEST(SlaveFrameTest, ReplyEchoesAddressAndCountsStatusBytes) {
    MasterRequest req;
    req.longFrame = true;
    req.address = {0xBE, 0xB6, 0x00, 0x00, 0x01};
    req.command = 2;
    const auto reply = BuildSlaveReply(req, 0x00, 0x08, {0xAA, 0xBB}, 5);
    const Bytes expected = {
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x86,
        0xBE, 0xB6, 0x00, 0x00, 0x01, 0x02,
        0x04, 0x00, 0x08, 0xAA, 0xBB, 0x86 ^ 0xBE ^ 0xB6 ^ 0x01 ^ 0x02 ^ 0x04 ^ 0x08 ^ 0xAA ^ 0xBB};
    EXPECT_EQ(reply, expected);
}

TEST(CalibrationTableTest, MapsPointsAndInterpolatesBetweenAndBeyond) {
    CalibrationTable t;
    EXPECT_EQ(t.Correct(7.5f), 7.5f) << "no table: unchanged";
    // Given out of order; sorted by measured.
    ASSERT_TRUE(t.Load({{20.1f, 20.0f}, {0.1f, 0.0f}, {4.1f, 4.0f}, {12.3f, 12.0f}}));
    EXPECT_FLOAT_EQ(t.Correct(4.1f), 4.0f);
    EXPECT_FLOAT_EQ(t.Correct(8.2f), 8.0f);                           // halfway 4.1..12.3
    EXPECT_NEAR(t.Correct(22.1f), 12.0f + 9.8f * 8.0f / 7.8f, 1e-4);  // past the last point
    EXPECT_FLOAT_EQ(t.Correct(0.0f), -0.1f);                          // before the first

    // Tables that cannot be inverted are refused and the old one stays.
    EXPECT_FALSE(t.Load({{1.0f, 1.0f}}));
    EXPECT_FALSE(t.Load({{1.0f, 1.0f}, {1.0f, 2.0f}}));
    EXPECT_FALSE(t.Load({{1.0f, 2.0f}, {2.0f, 1.0f}}));
    EXPECT_FALSE(t.Load({{1.0f, 1.0f}, {NAN, 2.0f}}));
    EXPECT_FLOAT_EQ(t.Correct(8.2f), 8.0f);
}

}  // namespace
}  // namespace sim
