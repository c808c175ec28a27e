// The simulated meter through its transport, with SCPI written out as a
// program would send it.
#include "sim/simulated_meter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "platform/clock.h"

namespace sim {
namespace {

using meter::IoStatus;

class SimulatedMeterTest : public ::testing::Test {
protected:
    void Make(SimulatedMeterConfig config) {
        meter_ = std::make_unique<SimulatedMeter>(std::move(config));
        line_ = meter_->CreateTransport();
        ASSERT_EQ(line_->Open(1000).status, IoStatus::kOk);
    }
    meter::IoResult Ask(const std::string& command, uint32_t timeoutMs = 5000) {
        EXPECT_EQ(line_->Send(command, 1000).status, IoStatus::kOk);
        return line_->Receive(timeoutMs);
    }
    double ReadMa() {
        const meter::IoResult r = Ask("READ?");
        EXPECT_EQ(r.status, IoStatus::kOk);
        return std::strtod(r.text.c_str(), nullptr) * 1000.0;
    }

    std::unique_ptr<SimulatedMeter> meter_;
    std::unique_ptr<meter::Transport> line_;
};

TEST(FormatNr3Test, AmperesAsAMeterSendsThem) {
    EXPECT_EQ(FormatNr3(4.0213e-3), "+4.02130000E-03");
    EXPECT_EQ(FormatNr3(-1e-5), "-1.00000000E-05");
    EXPECT_EQ(FormatNr3(0.0), "+0.00000000E+00");
    EXPECT_EQ(FormatNr3(0.0205), "+2.05000000E-02");
}

TEST_F(SimulatedMeterTest, AnswersTheCommandsAMeterAnswers) {
    Make({.trueCurrentMa = [] { return 12.0; }, .noiseMa = 0.0, .measureMs = 0});
    const meter::IoResult id = Ask("*IDN?");
    EXPECT_EQ(id.text, "Tarvok Simulation,SM-100,SIM000001,1.0");
    EXPECT_EQ(line_->Send("*CLS", 1000).status, IoStatus::kOk);
    EXPECT_EQ(line_->Send("conf:curr:dc 0.1", 1000).status, IoStatus::kOk);
    EXPECT_EQ(Ask("READ?").text, "+1.20000000E-02");
    EXPECT_EQ(Ask("MEAS:CURR:DC?").text, "+1.20000000E-02");
    EXPECT_EQ(Ask("SYST:ERR?").text, "+0,\"No error\"");

    // An unknown command answers nothing and leaves an error.
    EXPECT_EQ(line_->Send("FROB", 1000).status, IoStatus::kOk);
    EXPECT_EQ(Ask("SYST:ERR?").text, "-113,\"Undefined header\"");
    EXPECT_EQ(Ask("SYST:ERR?").text, "+0,\"No error\"");
    EXPECT_EQ(Ask("BOGUS?", 300).status, IoStatus::kTimeout);
    EXPECT_EQ(line_->Send("*CLS", 1000).status, IoStatus::kOk);
    EXPECT_EQ(Ask("SYST:ERR?").text, "+0,\"No error\"");
    EXPECT_EQ(meter_->Heard().front(), "*IDN?");
    EXPECT_EQ(meter_->Heard().size(), 12u);
}

TEST_F(SimulatedMeterTest, ReadingsScatterByAFewTenthsOfAMicroampere) {
    Make({.trueCurrentMa = [] { return 4.0; }, .measureMs = 0});
    double sum = 0.0, squares = 0.0;
    const int n = 200;
    for (int i = 0; i < n; ++i) {
        const double ma = ReadMa();
        sum += ma;
        squares += ma * ma;
    }
    const double mean = sum / n;
    const double sd = std::sqrt(squares / n - mean * mean);
    EXPECT_NEAR(mean, 4.0, 0.0001);
    EXPECT_GT(sd, 0.0001);
    EXPECT_LT(sd, 0.0006);
}

TEST_F(SimulatedMeterTest, AStepIsFollowedWithALag) {
    std::atomic<double> trueMa{4.0};
    Make({.trueCurrentMa = [&] { return trueMa.load(); }, .noiseMa = 0.0, .measureMs = 100});
    EXPECT_DOUBLE_EQ(ReadMa(), 4.0);
    trueMa = 8.0;
    // 100 ms into a 200 ms lag: about 5.6 mA; later only closer.
    const double first = ReadMa();
    EXPECT_GT(first, 4.1);
    EXPECT_LT(first, 7.99);
    platform::Sleep(1500);
    EXPECT_NEAR(ReadMa(), 8.0, 0.005);
    platform::Sleep(1500);
    EXPECT_NEAR(ReadMa(), 8.0, 0.00001);
}

TEST_F(SimulatedMeterTest, AMeterThatStopsAnsweringAndAWaitCancelled) {
    Make({.trueCurrentMa = [] { return 4.0; }, .measureMs = 600000});
    std::thread canceller([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        line_->Cancel();
    });
    EXPECT_EQ(Ask("READ?", 600000).status, IoStatus::kCancelled);
    canceller.join();
    line_->ResetCancel();

    Make({.trueCurrentMa = [] { return 4.0; }, .measureMs = 0});
    meter_->SetAnswering(false);
    EXPECT_EQ(Ask("*IDN?", 300).status, IoStatus::kTimeout);
    meter_->SetAnswering(true);
    EXPECT_EQ(Ask("*IDN?").status, IoStatus::kOk);
    line_->Close();
    EXPECT_EQ(line_->Send("*IDN?", 1000).status, IoStatus::kGone);
}

}  // namespace
}  // namespace sim
