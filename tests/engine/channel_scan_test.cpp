// The channel scan against the simulated fixture, its CSV and the NE 43 band.
#include "engine/channel_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "../hart/simulated_link.h"
#include "engine/ne43.h"

namespace engine {
namespace {

// The edges themselves go through the fixture below; here what lies
// between a float and the reading shown.
TEST(Ne43, TheBandIsTheShownReadings) {
    EXPECT_EQ(Ne43BandOf(3.7999f), Ne43Band::kOk);          // shown as 3.800
    EXPECT_EQ(Ne43BandOf(3.59951f), Ne43Band::kUnder);      // shown as 3.600
    EXPECT_EQ(Ne43BandOf(3.5995f), Ne43Band::kFault);       // a float below 3.5995: 3.599
    EXPECT_EQ(Ne43BandOf(20.50048828125f), Ne43Band::kOk);  // an exact tie, shown as 20.500
    EXPECT_EQ(FormatReadingMa(20.50048828125f), "20.500");
    EXPECT_EQ(Ne43BandOf(std::nanf("")), Ne43Band::kFault);
    EXPECT_EQ(Ne43BandOf(INFINITY), Ne43Band::kFault);
    EXPECT_EQ(Ne43BandOf(-4.0f), Ne43Band::kFault);
}

// A CSV row without its last field, the time.
std::string WithoutTime(const std::string& csv) { return csv.substr(0, csv.rfind(',')); }

TEST(ScanBand, AnEmptySlotIsNeitherAReadingNorAFault) {
    const auto row = [](std::optional<float> ma, bool transmitter) {
        ScanRow r;
        r.channel = 9;
        r.loopCurrentMa = ma;
        if (transmitter) r.transmitter = hart::DeviceIdentity{};
        return r;
    };
    EXPECT_TRUE(IsEmptySlot(row(0.013f, false)));
    EXPECT_EQ(ScanBandText(row(0.013f, false)), "empty");
    EXPECT_EQ(ScanBandText(row(-0.2f, false)), "empty") << "an offset below zero";
    // From 1.0 mA on the loop carries current, and the scan asked for a
    // transmitter: a loop without HART is judged by its reading.
    EXPECT_FALSE(IsEmptySlot(row(1.0f, false)));
    EXPECT_EQ(ScanBandText(row(1.0f, false)), "fault");
    EXPECT_EQ(ScanBandText(row(12.0f, false)), "ok");
    // A transmitter that answers is no empty slot, whatever it draws.
    EXPECT_FALSE(IsEmptySlot(row(0.5f, true)));
    EXPECT_EQ(ScanBandText(row(0.5f, true)), "fault");
    EXPECT_EQ(ScanBandText(row(std::nanf(""), false)), "fault") << "a broken reading";
    EXPECT_FALSE(IsEmptySlot(row(std::nullopt, false)));
    EXPECT_EQ(ScanBandText(row(std::nullopt, false)), "");
}

struct Window : hart::MainWindowServices {
    int GetChannelIndex() override { return -1; }
    void ShowDeviceNumber(int) override {}
};

// Transmitters on CH2 (8 mA) and CH5 (20.8 mA); CH4 active.
sim::FixtureConfig Config() {
    sim::FixtureConfig c;
    c.activeChannel = 3;
    c.transmitters.push_back(sim::TransmitterConfig{
        .channel = 1, .deviceId = {0x00, 0x00, 0x02}, .initialCurrentMa = 8.0f});
    c.transmitters.push_back(sim::TransmitterConfig{
        .channel = 4, .deviceId = {0x00, 0x00, 0x05}, .initialCurrentMa = 20.8f});
    return c;
}

class ChannelScanTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(hart::test::OpenSimulatedLink(fixture, window, 20.0)); }
    void TearDown() override { hart::test::CloseSimulatedLink(); }
    // Commands of the master's frames, with DTR, in order.
    std::vector<std::pair<int, bool>> Commands() {
        std::vector<std::pair<int, bool>> out;
        for (const auto& e : fixture.LineLog()) {
            if (e.kind != sim::LineEvent::kMasterFrame) continue;
            size_t d = 0;
            while (d < e.bytes.size() && e.bytes[d] == 0xFF) ++d;
            const size_t at = d + (e.bytes[d] == 0x82 ? 6 : 2);
            out.emplace_back(at < e.bytes.size() ? e.bytes[at] : -1, e.dtr);
        }
        return out;
    }

    sim::SimulatedFixture fixture{Config()};
    Window window;
};

TEST_F(ChannelScanTest, RowsForPresentAndAbsentTransmittersThenTheChannelRestored) {
    ScanOptions o;
    o.first = 1;
    o.last = 6;
    const auto before = std::chrono::system_clock::now();
    std::vector<ScanRow> seen;
    std::vector<std::pair<int, int>> progress;
    o.onRow = [&](const ScanRow& r) { seen.push_back(r); };
    o.onProgress = [&](int done, int total) { progress.emplace_back(done, total); };
    const ScanResult r = RunChannelScan(o);
    ASSERT_TRUE(r.Ok()) << r.failure.Describe();
    EXPECT_EQ(r.previousChannel, 4);
    EXPECT_TRUE(r.restored);
    EXPECT_EQ(fixture.ActiveChannel(), 3) << "CH4 active again";

    ASSERT_EQ(r.rows.size(), 6u);
    EXPECT_EQ(seen.size(), 6u);
    EXPECT_EQ(progress.back(), std::make_pair(6, 6));
    const auto after = std::chrono::system_clock::now();
    std::vector<std::string> csv;
    for (const auto& row : r.rows) csv.push_back(WithoutTime(ScanCsvRow(row)));
    // The fixture's converter reads 1.002 x + 0.013: the empty loops read
    // its offset alone.
    EXPECT_EQ(csv, (std::vector<std::string>{"1,,0.013,empty", "2,26-05-000002,8.029,ok",
                                             "3,,0.013,empty", "4,,0.013,empty",
                                             "5,26-05-000005,20.855,over", "6,,0.013,empty"}));
    // Each row read in turn, within the scan.
    for (size_t i = 0; i < r.rows.size(); ++i) {
        EXPECT_GE(r.rows[i].time, i == 0 ? before : r.rows[i - 1].time) << i;
        EXPECT_LE(r.rows[i].time, after) << i;
    }

    // Command 0 with DTR high only where a loop carries current.
    const auto cmds = Commands();
    int identifications = 0;
    for (const auto& [command, dtr] : cmds) identifications += command == 0 && dtr;
    EXPECT_EQ(identifications, 2);
    // Fixture identification and its 15 first; the restore last.
    ASSERT_GE(cmds.size(), 3u);
    EXPECT_EQ(cmds[1].first, 15);
    EXPECT_EQ(cmds.back(), std::make_pair(34, false));
}

TEST(ChannelScanBands, EveryBandEdgeThroughTheFixture) {
    // Loops whose readings, through the fixture's converter, show as the
    // band edges: the band follows the reading as shown.
    const struct {
        const char* shown;
        const char* band;
    } edges[] = {{"3.599", "fault"}, {"3.600", "under"}, {"3.800", "ok"},    {"20.500", "ok"},
                 {"20.501", "over"}, {"21.000", "over"}, {"21.001", "fault"}};
    sim::FixtureConfig c;
    c.activeChannel = 0;
    for (int i = 0; i < 7; ++i) {
        const float shown = std::stof(edges[i].shown);
        c.transmitters.push_back(
            sim::TransmitterConfig{.channel = i,
                                   .deviceId = {0x00, 0x00, static_cast<uint8_t>(i + 1)},
                                   .initialCurrentMa = (shown - 0.013f) / 1.002f});
    }
    sim::SimulatedFixture fixture(c);
    Window window;
    ASSERT_TRUE(hart::test::OpenSimulatedLink(fixture, window, 20.0));
    ScanOptions o;
    o.last = 7;
    const ScanResult r = RunChannelScan(o);
    hart::test::CloseSimulatedLink();
    ASSERT_TRUE(r.Ok()) << r.failure.Describe();
    ASSERT_EQ(r.rows.size(), 7u);
    for (int i = 0; i < 7; ++i) {
        char expected[64];
        std::snprintf(expected, sizeof(expected), "%d,26-05-%06X,%s,%s", i + 1, i + 1,
                      edges[i].shown, edges[i].band);
        EXPECT_EQ(WithoutTime(ScanCsvRow(r.rows[static_cast<size_t>(i)])), expected);
    }
}

TEST(ChannelScanBands, ALoopWithoutHartIsJudgedByItsReadingAnEmptySlotIsEmpty) {
    // CH1 a transmitter at 2 mA, CH2 one at 12 mA, both silent (a current
    // source without HART); CH3 nothing; CH4 a transmitter that answers.
    sim::FixtureConfig c;
    c.activeChannel = 0;
    c.transmitters = {
        sim::TransmitterConfig{.channel = 0, .deviceId = {0, 0, 1}, .initialCurrentMa = 2.0f},
        sim::TransmitterConfig{.channel = 1, .deviceId = {0, 0, 2}, .initialCurrentMa = 12.0f},
        sim::TransmitterConfig{.channel = 3, .deviceId = {0, 0, 4}, .initialCurrentMa = 3.0f}};
    sim::SimulatedFixture fixture(c);
    Window window;
    ASSERT_TRUE(hart::test::OpenSimulatedLink(fixture, window, 20.0));
    ScanOptions o;
    o.last = 4;
    // Every attempt at identifying CH1 and CH2 unanswered.
    fixture.InjectFault(sim::Fault::kNoReply, 6, sim::Target::kTransmitter);
    const ScanResult r = RunChannelScan(o);
    hart::test::CloseSimulatedLink();
    ASSERT_TRUE(r.Ok()) << r.failure.Describe();
    std::vector<std::string> csv;
    for (const auto& row : r.rows) csv.push_back(WithoutTime(ScanCsvRow(row)));
    EXPECT_EQ(csv, (std::vector<std::string>{"1,,2.017,fault", "2,,12.037,ok", "3,,0.013,empty",
                                             "4,26-05-000004,3.019,fault"}));
}

TEST_F(ChannelScanTest, NoChannelActiveBeforeIsNoneAgainAfter) {
    ASSERT_TRUE(hart::SelectChannel(hart::kNoChannel).Ok());
    ScanOptions o;
    o.first = 31;
    o.last = 32;
    const ScanResult r = RunChannelScan(o);
    ASSERT_TRUE(r.Ok());
    EXPECT_EQ(r.previousChannel, hart::kNoChannel);
    EXPECT_EQ(fixture.ActiveChannel(), -1);
    EXPECT_EQ(r.rows.size(), 2u);
}

TEST_F(ChannelScanTest, AStopBetweenExchangesEndsTheScanAndRestores) {
    ScanOptions o;
    int rows = 0;
    o.onRow = [&](const ScanRow&) { ++rows; };
    o.stopRequested = [&] { return rows >= 3; };
    const ScanResult r = RunChannelScan(o);
    EXPECT_TRUE(r.Ok());
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.rows.size(), 3u);
    EXPECT_TRUE(r.restored);
    EXPECT_EQ(fixture.ActiveChannel(), 3);
}

TEST_F(ChannelScanTest, AFixtureThatStopsAnsweringEndsTheScanWithTheReason) {
    ScanOptions o;
    o.onRow = [&](const ScanRow& row) {
        if (row.channel == 3)
            fixture.InjectFault(sim::Fault::kNoReply, 1000, sim::Target::kFixture);
    };
    const ScanResult r = RunChannelScan(o);
    EXPECT_FALSE(r.Ok());
    EXPECT_EQ(r.failure.reason, hart::Reason::kNoReply);
    EXPECT_EQ(r.failedStep, ScanStep::kSelectChannel);
    EXPECT_EQ(r.failedChannel, 4);
    EXPECT_EQ(DescribeScanStep(r.failedStep, r.failedChannel), "making CH04 active");
    ASSERT_EQ(r.rows.size(), 4u) << "the channels done, and the one that failed";
    EXPECT_FALSE(r.rows.back().loopCurrentMa.has_value());
    EXPECT_EQ(WithoutTime(ScanCsvRow(r.rows.back())), "4,,,");
    EXPECT_GT(r.rows.back().time, r.rows.front().time) << "the failure's time";
    EXPECT_FALSE(r.restored);
    EXPECT_EQ(r.restoreFailure.reason, hart::Reason::kNoReply);
}

TEST_F(ChannelScanTest, ARejectedCommandFailsTheScanButTheChannelIsRestored) {
    ScanOptions o;
    o.first = 1;
    o.last = 3;
    o.onRow = [&](const ScanRow& row) {
        if (row.channel == 1)
            fixture.InjectFault(sim::Fault::kRejectedCode, 1, sim::Target::kFixture);
    };
    // CH2: the select is refused and its reading not made; the restore
    // identifies the fixture again and gets through.
    const ScanResult r = RunChannelScan(o);
    EXPECT_EQ(r.failure.reason, hart::Reason::kRejected);
    EXPECT_EQ(r.failedChannel, 2);
    EXPECT_TRUE(r.restored) << "the fixture still answers";
    EXPECT_EQ(fixture.ActiveChannel(), 3);
}

TEST_F(ChannelScanTest, AReadingThatIsNoReadingEndsTheScanAsAFailedOne) {
    ScanOptions o;
    o.first = 1;
    o.last = 4;
    // From CH2 on, every loop current the fixture reports is NaN.
    o.onRow = [&](const ScanRow& row) {
        if (row.channel == 1) fixture.SetFaultRate(sim::Fault::kNotANumber, 1.0);
    };
    const ScanResult r = RunChannelScan(o);
    fixture.ClearFaults();
    EXPECT_EQ(r.failure.reason, hart::Reason::kValueNotAvailable);
    EXPECT_EQ(r.failedStep, ScanStep::kReadCurrent);
    EXPECT_EQ(r.failedChannel, 2);
    ASSERT_EQ(r.rows.size(), 2u);
    // No reading, so no band and no transmitter; the time of the failed read.
    const std::string failed = ScanCsvRow(r.rows[1]);
    EXPECT_EQ(failed.rfind("2,,,,", 0), 0u) << failed;
    EXPECT_GT(failed.size(), std::string("2,,,,").size()) << failed;
    // The fixture did answer: still identified, it takes the restore.
    EXPECT_TRUE(r.restored);
    EXPECT_EQ(fixture.ActiveChannel(), 3);
    const auto cmds = Commands();
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), std::make_pair(0, false)), 1)
        << "the fixture identified once, before the scan";
    int transmitters = 0;
    for (const auto& [command, dtr] : cmds) transmitters += command == 0 && dtr;
    EXPECT_EQ(transmitters, 0) << "CH2's transmitter is not asked for without a reading";
}

TEST_F(ChannelScanTest, AFailedFirstReadingChangesNothing) {
    fixture.InjectFault(sim::Fault::kNoReply, 3);
    const ScanResult r = RunChannelScan({});
    EXPECT_EQ(r.failedStep, ScanStep::kReadChannel);
    EXPECT_TRUE(r.rows.empty());
    for (const auto& [command, dtr] : Commands()) EXPECT_EQ(command, 0) << "identification only";
}

}  // namespace
}  // namespace engine
