// The calibration flow and its wizard against the simulated fixture: the
// operator's part is played by the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>

#include "engine/calibrate_wizard.h"
#include "engine/calibration_record.h"
#include "engine/main_worker.h"
#include "fake_view.h"
#include "hart/decoders.h"
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
using Bytes = std::vector<uint8_t>;

// The wizard's dialog as the test sees it.
class FakeWizardView : public CalibrateWizardView {
public:
    void SetInstructionText(const std::string& t) override { Set(instruction_, t); }
    void SetMeasuredText(const std::string& t) override {
        std::lock_guard lock(mutex_);
        measured_ = t;
        if (!t.empty()) ++measurements_;  // emptied as a new point begins
    }
    void SetReferenceText(const std::string& t) override { Set(reference_, t); }
    void SetReferencePlaceholder(const std::string& t) override {
        std::lock_guard lock(mutex_);
        placeholder_ = t;
        ++points_;
    }
    int ErrorBox(const std::string& text) override {
        std::lock_guard lock(mutex_);
        errors_.push_back(text);
        return errors_.size() < 3 ? IDOK : IDCANCEL;  // tries twice, then leaves
    }
    void WorkerEnded() override { ended_ = true; }

    std::string Measured() { return Get(measured_); }
    std::string Reference() { return Get(reference_); }
    std::string Placeholder() { return Get(placeholder_); }
    // How many times a point has begun (a current fixed).
    int PointsBegun() {
        std::lock_guard lock(mutex_);
        return points_;
    }
    std::string Instruction() { return Get(instruction_); }
    int Measurements() {
        std::lock_guard lock(mutex_);
        return measurements_;
    }
    std::vector<std::string> Errors() {
        std::lock_guard lock(mutex_);
        return errors_;
    }
    bool Ended() const { return ended_.load(); }

private:
    void Set(std::string& field, const std::string& t) {
        std::lock_guard lock(mutex_);
        field = t;
    }
    std::string Get(const std::string& field) {
        std::lock_guard lock(mutex_);
        return field;
    }
    std::mutex mutex_;
    std::string instruction_, measured_, reference_, placeholder_;
    int measurements_ = 0;
    int points_ = 0;
    std::vector<std::string> errors_;
    std::atomic<bool> ended_{false};
};

using test::WaitFor;

// The main window that also keeps, at each box, the frames sent so far.
class BoxWatchingView : public FakeView {
public:
    int MessageBox(const std::string& text, const std::string& caption, BoxIcon icon,
                   BoxButtons buttons) override {
        if (onBox) onBox(text);
        const int answer = FakeView::MessageBox(text, caption, icon, buttons);
        return text == yesTo ? IDYES : answer;
    }
    std::function<void(const std::string&)> onBox;  // set before the worker starts
    std::string yesTo;                              // the question answered Yes
};

// Command 40 with 0.0: the transmitter leaves fixed-current mode.
bool IsLeaveFixedCurrent(const test::Request& r) {
    return r.command == 40 && r.data == Bytes{0x00, 0x00, 0x00, 0x00};
}

float FloatAt(const Bytes& b, size_t at) {
    const uint32_t u = (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) |
                       (uint32_t(b[at + 2]) << 8) | b[at + 3];
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

sim::FixtureConfig Config() {
    sim::FixtureConfig c;
    c.activeChannel = 4;  // CH5
    sim::TransmitterConfig t;
    t.channel = 4;
    t.deviceId = {0x00, 0x10, 0x05};
    t.initialCurrentMa = 12.0f;
    c.transmitters.push_back(t);
    return c;
}

class CalibrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetTimeScale(20.0);
        hart::ResetHartState();
        serial::SetPortFactory(
            serial::SinglePortFactory(1, [this] { return fixture.CreatePort(); }));
        hart::g_pMainDlg = &worker;
        ASSERT_EQ(serial::OpenPort(1), 1);
    }
    void TearDown() override { test::EndWorkerAndLink(worker); }

    using Frame = test::Request;
    std::vector<Frame> Frames() {
        std::vector<Frame> out;
        for (auto& r : test::MasterRequests(fixture))
            if (r.command != 0) out.push_back(r);  // long-form commands only
        return out;
    }
    // The command 201 steps, each once: a retry repeats the frame before it
    // byte for byte, which a loaded machine may cause.
    std::vector<Bytes> Calibration() {
        std::vector<Bytes> out;
        const std::vector<Frame> frames = Frames();
        for (size_t i = 0; i < frames.size(); ++i) {
            const Frame& f = frames[i];
            if (f.command != 201) continue;
            if (i > 0 && frames[i - 1].command == 201 && frames[i - 1].data == f.data) continue;
            out.push_back(f.data);
        }
        return out;
    }
    // Starts the worker polling, then asks for a calibration.
    void Calibrate() {
        worker.Start();
        ASSERT_TRUE(WaitFor([&] { return !view.CurrentTexts().empty(); }));
        fixture.ClearLineLog();
        worker.PostOperation(ModeCalibrate, 0, 0);
    }
    bool Done() {
        return view.Busy().size() >= 2 && worker.PendingOperation().mode == ModePollCurrent;
    }
    // A whole calibration: the prompt answered OK, five points taken as the
    // wizard shows them, the flow to its end.
    void CalibrateAsTheOperatorDoes() {
        view.channelPrompt = [] { return IDOK; };
        view.wizardDriver = [this](CCalibrateWizard& wizard) {
            wizard.Start(wv);
            PlayOperator(wizard, 5);
            FinishWizard(wizard);
        };
        Calibrate();
        ASSERT_TRUE(WaitFor([&] { return Done(); }));
    }
    // The operator: at each current, waits for a fresh measurement, types
    // what the ammeter shows (the loop's true current) and presses Next.
    void PlayOperator(CCalibrateWizard& wizard, int points) {
        for (int i = 1; i <= points; ++i) {
            char nominal[16];
            std::snprintf(nominal, sizeof(nominal), "%d.000", 4 * i);
            ASSERT_TRUE(WaitFor([&] { return wv.Placeholder() == nominal; })) << nominal;
            EXPECT_EQ(wv.Reference(), "") << "nothing typed for the operator";
            const int seen = wv.Measurements();
            ASSERT_TRUE(WaitFor([&] { return wv.Measurements() > seen; }));
            const std::string measured = wv.Measured();
            shown.push_back(measured);
            typed.push_back(fixture.TransmitterCurrent(4));
            char reference[32];
            std::snprintf(reference, sizeof(reference), "%.4f", typed.back());
            wizard.OnNext(measured, reference);
        }
    }
    void FinishWizard(CCalibrateWizard& wizard) {
        ASSERT_TRUE(WaitFor([&] { return wv.Ended(); }));
        wizard.OnTimer();  // the 10 ms timer's tick closes the dialog
        wizard.StopAndJoin();
    }

    sim::SimulatedFixture fixture{Config()};
    BoxWatchingView view;
    CMainWorker worker{view};
    FakeWizardView wv;
    std::vector<std::string> shown;
    std::vector<float> typed;
};

TEST_F(CalibrationTest, AFullCalibrationWritesTheSixPointsAndCorrectsTheFixture) {
    view.channelPrompt = [] { return IDOK; };
    view.wizardDriver = [this](CCalibrateWizard& wizard) {
        wizard.Start(wv);
        PlayOperator(wizard, 5);
        FinishWizard(wizard);
        EXPECT_EQ(wizard.Result(), 1);
    };
    Calibrate();
    ASSERT_TRUE(WaitFor([&] { return Done(); }));
    EXPECT_EQ(view.Prompts(), std::vector<std::string>{"05"});
    EXPECT_TRUE(wv.Instruction().find("提示: 当前电流固定在20.000 mA") == 0) << wv.Instruction();

    const auto steps = Calibration();
    ASSERT_EQ(steps.size(), 12u);
    for (const auto& s : steps) {
        ASSERT_EQ(s.size(), 20u);
        EXPECT_EQ(Bytes(s.begin(), s.begin() + 2), (Bytes{0x5A, 0xA5}));
    }
    EXPECT_EQ(Bytes(steps[0].begin() + 2, steps[0].begin() + 5), (Bytes{0, 0, 0}));
    EXPECT_EQ(Bytes(steps[1].begin() + 2, steps[1].begin() + 5), (Bytes{0, 0, 0}));
    EXPECT_EQ(Bytes(steps[2].begin() + 2, steps[2].begin() + 4), (Bytes{0x02, 0x06}));
    EXPECT_EQ(steps[2][4], 0x00) << "inherited from step 00-00";
    for (int i = 0; i < 6; ++i) {
        const Bytes& p = steps[3 + static_cast<size_t>(i)];
        EXPECT_EQ(Bytes(p.begin() + 2, p.begin() + 6), (Bytes{0x04, uint8_t(i), 0x00, 0x0C}));
        EXPECT_EQ(p[10], 0x0C);
        if (i == 0) {
            // Unplugged: the converter's own reading of no current, and 0.0.
            EXPECT_NEAR(FloatAt(p, 6), 0.013f, 1e-4);
            EXPECT_EQ(FloatAt(p, 11), 0.0f);
        } else {
            EXPECT_EQ(FloatAt(p, 6), static_cast<float>(std::atof(shown[size_t(i - 1)].c_str())));
            EXPECT_NEAR(FloatAt(p, 11), typed[size_t(i - 1)], 1e-4);
            EXPECT_NEAR(typed[size_t(i - 1)], 4.0f * i, 1e-6) << "fixed at 4 i mA";
        }
    }
    EXPECT_EQ(Bytes(steps[9].begin() + 2, steps[9].begin() + 5), (Bytes{0x00, 0x01, 0x00}));
    for (size_t k : {size_t(10), size_t(11)}) {
        EXPECT_EQ(steps[k][2], k == 10 ? 0xFA : 0xFF);
        // Only bytes 0 to 2 are written: 3 and 4 are those of step 00-01,
        // 5 to 14 those of point 5, the rest never written.
        EXPECT_EQ(Bytes(steps[k].begin() + 3, steps[k].begin() + 5), (Bytes{0x01, 0x00}));
        EXPECT_EQ(Bytes(steps[k].begin() + 5, steps[k].begin() + 15),
                  Bytes(steps[8].begin() + 5, steps[8].begin() + 15));
        EXPECT_EQ(Bytes(steps[k].begin() + 15, steps[k].end()), Bytes(5, 0));
    }

    EXPECT_EQ(fixture.ActiveChannel(), 4) << "the channel active before is active after";
    const auto boxes = view.Boxes();
    ASSERT_EQ(boxes.size(), 3u) << "the two instructions and the offer to check, no message of success";
    EXPECT_EQ(boxes[2].text, "是否立即进行校准后验证?");
    EXPECT_EQ(boxes[2].buttons, BoxButtons::kYesNo);
    EXPECT_EQ(boxes[0].text, "提示: 请拔出当前通道变送器, 并点击\"确定\"!");
    EXPECT_EQ(boxes[1].text, "提示: 插回变送器, 并点击\"确定\"!");
    EXPECT_EQ(boxes[0].caption, "提示");
    EXPECT_EQ(boxes[0].icon, BoxIcon::kExclamation);
    EXPECT_EQ(view.Busy(), (std::vector<bool>{true, false}));

    // Straight back to polling: no identification, no channel read.
    ASSERT_TRUE(WaitFor([&] { return Frames().back().command == 2; }));
    const auto frames = Frames();
    for (const auto& f : frames) EXPECT_NE(f.command, 15);

    // The fixture now reads the loop's true current.
    worker.RequestStop(false);
    ASSERT_TRUE(worker.WaitForEnd(60000));
    hart::g_pMainDlg = &worker;
    for (float ma : {4.0f, 12.0f, 20.0f}) {
        hart::SetRequestDataCount(4);
        hart::SetRequestFloat(0, ma);
        ASSERT_EQ(hart::ChannelTransaction(40), 1);
        ASSERT_EQ(hart::FixtureTransaction(2), 1);
        EXPECT_NEAR(hart::g_hartData.loopCurrent, fixture.TransmitterCurrent(4), 0.005f) << ma;
    }
}

// Consecutive equal frames once: a retry repeats its frame byte for byte.
std::vector<test::Request> WithoutRetries(const std::vector<test::Request>& frames) {
    std::vector<test::Request> out;
    for (const auto& f : frames) {
        if (out.empty() || out.back().command != f.command || out.back().data != f.data) {
            out.push_back(f);
        }
    }
    return out;
}

TEST_F(CalibrationTest, ACompletedWizardLeavesFixedCurrentBeforeTheUnplugInstruction) {
    std::vector<Frame> atUnplug;
    view.onBox = [&](const std::string& text) {
        if (text.find("请拔出") != std::string::npos) atUnplug = WithoutRetries(Frames());
    };
    ASSERT_NO_FATAL_FAILURE(CalibrateAsTheOperatorDoes());
    EXPECT_EQ(Calibration().size(), 12u);
    EXPECT_NEAR(fixture.TransmitterCurrent(4), 12.0f, 1e-4) << "its own current, not 20 mA";

    const auto leave = std::find_if(atUnplug.begin(), atUnplug.end(), IsLeaveFixedCurrent);
    ASSERT_NE(leave, atUnplug.end()) << "sent before the unplug instruction";
    EXPECT_EQ(std::count_if(atUnplug.begin(), atUnplug.end(), IsLeaveFixedCurrent), 1);
    // After the wizard's last fix (20 mA) and its readings, before the
    // fixture lets go of the channel.
    const auto before = std::prev(leave);
    EXPECT_TRUE(before->command == 33 || before->command == 40) << before->command;
    const auto next = std::next(leave);
    ASSERT_NE(next, atUnplug.end());
    EXPECT_EQ(next->command, 34);
    EXPECT_EQ(next->data, (Bytes{0x42, 0x00, 0x00, 0x00})) << "32.0: no channel";
    const auto all = WithoutRetries(Frames());
    EXPECT_EQ(std::count_if(all.begin(), all.end(), IsLeaveFixedCurrent), 1);
}

TEST_F(CalibrationTest, ACancelledWizardLeavesFixedCurrentAtOnce) {
    view.channelPrompt = [] { return IDOK; };
    view.wizardDriver = [this](CCalibrateWizard& wizard) {
        wizard.Start(wv);
        PlayOperator(wizard, 1);
        wizard.OnStop();
        FinishWizard(wizard);
        EXPECT_EQ(wizard.Result(), 2);
    };
    Calibrate();
    ASSERT_TRUE(WaitFor([&] { return Done(); }));
    ASSERT_TRUE(WaitFor([&] { return Frames().back().command == 2; }));
    EXPECT_NEAR(fixture.TransmitterCurrent(4), 12.0f, 1e-4) << "no longer fixed at 4 or 8 mA";

    // Step 00-00, the wizard's fixes and readings, the way out, then polling
    // and nothing else.
    const auto frames = WithoutRetries(Frames());
    const auto leave = std::find_if(frames.begin(), frames.end(), IsLeaveFixedCurrent);
    ASSERT_NE(leave, frames.end());
    ASSERT_NE(leave, frames.begin());
    const auto lastOfWizard = std::prev(leave);
    EXPECT_TRUE(lastOfWizard->command == 33 || lastOfWizard->command == 40)
        << lastOfWizard->command;
    const auto first =
        std::find_if(frames.begin(), frames.end(), [](const Frame& f) { return f.command == 201; });
    ASSERT_LT(first, leave);
    for (auto f = first; f != leave; ++f) EXPECT_NE(f->command, 2) << "not yet polling";
    for (auto f = std::next(leave); f != frames.end(); ++f) EXPECT_EQ(f->command, 2);
    EXPECT_TRUE(view.Boxes().empty());
}

TEST_F(CalibrationTest, ATransmitterThatDoesNotConfirmLeavingIsNotReported) {
    view.channelPrompt = [] { return IDOK; };
    view.wizardDriver = [this](CCalibrateWizard& wizard) {
        wizard.Start(wv);
        PlayOperator(wizard, 5);
        FinishWizard(wizard);
        // Every attempt of the way out goes unanswered.
        fixture.InjectFault(sim::Fault::kNoReply, hart::kAttempts, sim::Target::kTransmitter);
    };
    Calibrate();
    ASSERT_TRUE(WaitFor([&] { return Done(); }));
    const auto frames = Frames();
    EXPECT_EQ(std::count_if(frames.begin(), frames.end(), IsLeaveFixedCurrent), hart::kAttempts);
    EXPECT_EQ(Calibration().size(), 12u) << "the calibration goes on";
    const auto boxes = view.Boxes();
    ASSERT_EQ(boxes.size(), 3u) << "the two instructions and the offer to check, no error";
    EXPECT_EQ(boxes[1].text, "提示: 插回变送器, 并点击\"确定\"!");
}

TEST(ReferenceTest, APlainDecimalWithinTenPercentOfTheNominalCurrent) {
    const struct {
        const char* text;
        int nominal;
        float value;  // 0 for refused
    } cases[] = {
        {"4.012", 4, 4.012f},  {" 8.8\t", 8, 8.8f},
        {"7.2", 8, 7.2f},      {"8.", 8, 8.0f},
        {"012.0", 12, 12.0f},  {"22", 20, 22.0f},
        {"18.000", 20, 18.0f}, {"7.199", 8, 0},
        {"8.801", 8, 0},       {"0.012", 8, 0},
        {".012", 8, 0},        {"4.0004.012", 4, 0},
        {"+8", 8, 0},          {"-8", 8, 0},
        {"8e0", 8, 0},         {"0x8", 8, 0},
        {"8,1", 8, 0},         {"8 .1", 8, 0},
        {"inf", 8, 0},         {"nan", 8, 0},
        {".", 8, 0},           {"", 8, 0},
        {"   ", 8, 0},         {"\xEF\xBC\x98", 8, 0},  // a full-width 8
    };
    for (const auto& c : cases) {
        std::string reason;
        const std::optional<float> value = ParseReference(c.text, c.nominal, &reason);
        if (c.value != 0) {
            ASSERT_TRUE(value.has_value()) << c.text;
            EXPECT_FLOAT_EQ(*value, c.value) << c.text;
            EXPECT_TRUE(reason.empty()) << c.text;
        } else {
            EXPECT_FALSE(value.has_value()) << c.text;
            EXPECT_EQ(reason.rfind("错误: ", 0), 0u) << c.text;
        }
    }
}

TEST(ReferenceTest, TheReasonNamesTheEntryAndTheRange) {
    std::string reason;
    ParseReference("abc", 20, &reason);
    EXPECT_EQ(reason, "错误: 输入值\"abc\"无效, 第1个字符\"a\"不是数字, 请重新输入!");
    ParseReference("23", 20, &reason);
    EXPECT_EQ(reason,
              "错误: 输入值\"23\"超出范围, 实际电流值应在18.000至22.000 mA之间, 请重新输入!");
    ParseReference("  ", 4, &reason);
    EXPECT_EQ(reason, "错误: 未输入实际电流值, 应在3.600至4.400 mA之间, 请输入电流表的读数!");
    // A long entry is quoted in part, never cut inside a character.
    ParseReference("电流电流电流电流电流电流电流电流电流", 12, &reason);
    EXPECT_NE(reason.find("\"电流电流电流电流电流电流电流电流...\""), std::string::npos) << reason;
}

TEST_F(CalibrationTest, CancelInTheChannelPromptSendsNothingAndSaysNothing) {
    view.channelPrompt = [] { return IDCANCEL; };
    Calibrate();
    ASSERT_TRUE(WaitFor([&] { return Done(); }));
    EXPECT_EQ(view.Wizards(), 0);
    EXPECT_TRUE(view.Boxes().empty());
    EXPECT_EQ(view.Busy(), (std::vector<bool>{true, false})) << "the wait cursor flashes";
    for (const auto& f : Frames()) EXPECT_EQ(f.command, 2) << "only polling";
}

TEST_F(CalibrationTest, ACancelledWizardWritesNoMoreAndSaysNothing) {
    view.channelPrompt = [] { return IDOK; };
    view.wizardDriver = [this](CCalibrateWizard& wizard) {
        wizard.Start(wv);
        PlayOperator(wizard, 2);
        wizard.OnNext(wv.Measured(), "12.0");  // a Next and a stop together
        wizard.OnStop();
        FinishWizard(wizard);
        EXPECT_EQ(wizard.Result(), 2) << "a stop is never lost";
        EXPECT_EQ(FixedCurrent(), kStopMark);
    };
    Calibrate();
    ASSERT_TRUE(WaitFor([&] { return Done(); }));
    EXPECT_EQ(Calibration().size(), 1u) << "only step 00-00 before the wizard";
    EXPECT_TRUE(view.Boxes().empty());
}

TEST_F(CalibrationTest, AFailedFirstStepSkipsTheWizardReportsItAndLeavesAFailedRecord) {
    view.channelPrompt = [this] {
        fixture.SetFaultRate(sim::Fault::kNoReply, 1.0);
        return IDOK;
    };
    Calibrate();
    ASSERT_TRUE(WaitFor([&] { return !view.Boxes().empty(); }));
    fixture.ClearFaults();
    EXPECT_EQ(view.Wizards(), 0);
    EXPECT_EQ(view.Boxes()[0].text, "错误: 电流校准失败!");
    EXPECT_EQ(view.Boxes()[0].caption, "错误");
    EXPECT_EQ(view.Boxes()[0].icon, BoxIcon::kError);
    // A failed record with no points, told before the box.
    const auto records = view.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].outcome, RecordOutcome::kFailed);
    EXPECT_EQ(ResultText(records[0]), "failed");
    EXPECT_EQ(records[0].failedStep, "201 #1 (00-00)");
    EXPECT_TRUE(records[0].points.empty());
}

TEST_F(CalibrationTest, WithNoChannelTheWizardCannotFixACurrentButCanBeLeft) {
    worker.Start();
    ASSERT_TRUE(WaitFor([&] { return !view.CurrentTexts().empty(); }));
    view.SetChannel("00");
    view.channelPrompt = [] { return IDOK; };
    view.wizardDriver = [this](CCalibrateWizard& wizard) {
        wizard.Start(wv);
        ASSERT_TRUE(WaitFor([&] { return wv.Ended(); })) << "the error box's other answer ends it";
        wizard.OnTimer();
        wizard.StopAndJoin();
        EXPECT_EQ(wizard.Result(), 2);
    };
    fixture.ClearLineLog();
    worker.PostOperation(ModeCalibrate, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return Done(); }));
    EXPECT_EQ(view.Prompts(), std::vector<std::string>{"00"});
    ASSERT_EQ(wv.Errors().size(), 3u);
    EXPECT_EQ(wv.Errors()[0], "错误: 固定电流4.000 mA失败!");
    for (const auto& f : Frames()) EXPECT_NE(f.command, 40) << "no transmitter is addressed";
    EXPECT_TRUE(view.Boxes().empty()) << "cancelled: no failure reported";
}

// --- The record each run leaves ----------------------------------------

// The figures a record holds for what the wizard showed and the test typed.
double ShownDecimal(const std::string& text) { return std::atof(text.c_str()); }

TEST_F(CalibrationTest, AFullCalibrationLeavesARecordOfItsSixPoints) {
    std::vector<Frame> atUnplug;
    ASSERT_NO_FATAL_FAILURE(CalibrateAsTheOperatorDoes());
    const auto records = view.Records();
    ASSERT_EQ(records.size(), 1u);
    const CalibrationRecord& r = records[0];
    EXPECT_EQ(r.kind, RecordKind::kCalibration);
    EXPECT_EQ(r.outcome, RecordOutcome::kCompleted);
    EXPECT_EQ(ResultText(r), "written");
    EXPECT_EQ(r.deviceNumber, 1) << "as the fixture identified itself";
    EXPECT_EQ(r.port, "COM1");
    EXPECT_TRUE(r.failedStep.empty());

    // The points as they went to the fixture: point 0 unplugged, then the
    // wizard's five, each with the reading stored for it.
    const auto steps = Calibration();
    ASSERT_EQ(steps.size(), 12u);
    ASSERT_EQ(r.points.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        const RecordPoint& p = r.points[i];
        EXPECT_EQ(p.nominalMa, 4.0 * static_cast<double>(i));
        EXPECT_EQ(static_cast<float>(p.readingMa), FloatAt(steps[3 + i], 6)) << i;
        EXPECT_EQ(static_cast<float>(p.referenceMa), FloatAt(steps[3 + i], 11)) << i;
        if (i > 0) {
            EXPECT_EQ(p.readingMa, ShownDecimal(shown[i - 1])) << "the decimal shown, exactly";
            char typedText[32];
            std::snprintf(typedText, sizeof(typedText), "%.4f", typed[i - 1]);
            EXPECT_EQ(p.referenceMa, ShownDecimal(typedText)) << "the decimal typed, exactly";
        }
    }
    EXPECT_EQ(r.points[0].referenceMa, 0.0);
    // The converter reads 1.002 x + 0.013 before the table corrects it:
    // 0.08 % of span unplugged, 0.13-0.33 % at 4-20 mA.
    EXPECT_TRUE(PointPasses(r.points[0], 0.1));
    for (size_t i = 1; i < 6; ++i) {
        EXPECT_NEAR(ErrorMa(r.points[i]), 0.002 * r.points[i].referenceMa + 0.013, 0.0015) << i;
        EXPECT_FALSE(PointPasses(r.points[i], 0.1)) << i;
        EXPECT_TRUE(PointPasses(r.points[i], 0.5)) << i;
    }

    // Its files: the JSON carries the same figures, the errors and verdicts.
    namespace fs = std::filesystem;
    const fs::path folder = test::FreshTempPath("tarvok-records") / "records";
    std::string stem, error;
    ASSERT_TRUE(SaveRecord(folder.string(), r, "%PDF-1.4", &stem, &error)) << error;
    for (const char* extension : {".json", ".csv", ".pdf"})
        EXPECT_TRUE(fs::exists(folder / (stem + extension))) << extension;
    const auto json = nlohmann::json::parse(std::ifstream(folder / (stem + ".json")));
    EXPECT_EQ(json["result"], "written");
    EXPECT_EQ(json["fixture_device_number"], 1);
    ASSERT_EQ(json["points"].size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        const auto& p = json["points"][i];
        EXPECT_EQ(p["reading_mA"].get<double>(), r.points[i].readingMa);
        EXPECT_EQ(p["reference_mA"].get<double>(), r.points[i].referenceMa);
        EXPECT_EQ(p["error_mA"].get<double>(), ErrorMa(r.points[i]));
        EXPECT_EQ(p["pass"].get<bool>(), i == 0);
    }
    fs::remove_all(folder.parent_path());
}

TEST_F(CalibrationTest, AFailureAfterTheZeroPointNamesTheRequestAndKeepsEveryPoint) {
    view.onBox = [this](const std::string& text) {
        // The next request, the second 00-00, goes unanswered.
        if (text.find("插回") != std::string::npos)
            fixture.InjectFault(sim::Fault::kNoReply, hart::kAttempts);
    };
    ASSERT_NO_FATAL_FAILURE(CalibrateAsTheOperatorDoes());
    const auto records = view.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].outcome, RecordOutcome::kFailed);
    EXPECT_EQ(records[0].failedStep, "201 #2 (00-00)");
    EXPECT_EQ(records[0].points.size(), 6u);
    EXPECT_EQ(view.Boxes().back().text, "错误: 电流校准失败!");
}

TEST_F(CalibrationTest, AZeroPointThatIsNoReadingFailsTheCalibrationAndIsNotWritten) {
    view.onBox = [this](const std::string& text) {
        // Unplugged, the fixture's converter says "not available".
        if (text.find("请拔出") != std::string::npos)
            fixture.SetFaultRate(sim::Fault::kNotANumber, 1.0);
    };
    ASSERT_NO_FATAL_FAILURE(CalibrateAsTheOperatorDoes());
    fixture.ClearFaults();
    const auto records = view.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].outcome, RecordOutcome::kFailed);
    EXPECT_EQ(records[0].failedStep, "zero point");
    ASSERT_EQ(records[0].points.size(), 5u) << "the wizard's five, no zero point";
    for (const RecordPoint& p : records[0].points) EXPECT_NE(p.nominalMa, 0.0);
    EXPECT_EQ(Calibration().size(), 1u) << "nothing written after step 00-00";
    EXPECT_EQ(view.Boxes().back().text, "错误: 电流校准失败!");
}

TEST_F(CalibrationTest, AVerificationShowsNoValueThatIsNoReading) {
    view.channelPrompt = [] { return IDOK; };
    view.wizardDriver = [this](CCalibrateWizard& wizard) {
        // While the fixture reports 1e30 and then NaN, nothing is shown.
        fixture.SetFaultRate(sim::Fault::kHugeValue, 1.0);
        wizard.Start(wv);
        const auto hit = [this](sim::Fault f) {
            return fixture.FaultCounts()[static_cast<size_t>(f)];
        };
        ASSERT_TRUE(WaitFor([&] { return hit(sim::Fault::kHugeValue) >= 3; }));
        fixture.ClearFaults();
        fixture.SetFaultRate(sim::Fault::kNotANumber, 1.0);
        ASSERT_TRUE(WaitFor([&] { return hit(sim::Fault::kNotANumber) >= 3; }));
        EXPECT_EQ(wv.Measurements(), 0);
        EXPECT_EQ(wv.Instruction(), "") << "no prompt with a reading in it";
        fixture.ClearFaults();
        PlayOperator(wizard, 5);
        FinishWizard(wizard);
    };
    worker.Start();
    ASSERT_TRUE(WaitFor([&] { return !view.CurrentTexts().empty(); }));
    worker.PostOperation(ModeVerifyCalibration, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return view.Records().size() == 1; }));
    const CalibrationRecord record = view.Records()[0];
    ASSERT_EQ(record.points.size(), 5u);
    for (size_t i = 0; i < 5; ++i)
        EXPECT_NEAR(record.points[i].readingMa, 4.0 * static_cast<double>(i + 1), 0.1) << i;
}

TEST_F(CalibrationTest, ACancelAfterTwoPointsLeavesACancelledRecordOfThem) {
    view.channelPrompt = [] { return IDOK; };
    view.wizardDriver = [this](CCalibrateWizard& wizard) {
        wizard.Start(wv);
        PlayOperator(wizard, 2);
        wizard.OnStop();
        FinishWizard(wizard);
    };
    Calibrate();
    ASSERT_TRUE(WaitFor([&] { return Done(); }));
    const auto records = view.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(ResultText(records[0]), "cancelled");
    ASSERT_EQ(records[0].points.size(), 2u);
    EXPECT_EQ(records[0].points[0].nominalMa, 4.0);
    EXPECT_EQ(records[0].points[1].nominalMa, 8.0);
    EXPECT_EQ(records[0].points[1].readingMa, ShownDecimal(shown[1]));
    EXPECT_EQ(Calibration().size(), 1u) << "nothing written after the wizard";
}

TEST_F(CalibrationTest, ARunLeftBeforeAnyPointLeavesNoRecord) {
    view.channelPrompt = [] { return IDCANCEL; };
    Calibrate();
    ASSERT_TRUE(WaitFor([&] { return Done(); }));
    view.channelPrompt = [] { return IDOK; };
    view.wizardDriver = [this](CCalibrateWizard& wizard) {
        wizard.Start(wv);
        ASSERT_TRUE(WaitFor([&] { return wv.Placeholder() == "4.000"; }));
        wizard.OnStop();
        FinishWizard(wizard);
    };
    worker.PostOperation(ModeCalibrate, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return view.Wizards() == 1 && Done(); }));
    worker.PostOperation(ModeVerifyCalibration, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return view.Wizards() == 2 && Done(); }));
    EXPECT_TRUE(view.Records().empty());
}

// The verification: the same wizard, the fixture's corrected loop current
// as the reading, nothing written. Before a calibration the converter's
// error shows (as found); after it the table takes it out (as left).
TEST_F(CalibrationTest, AVerificationWritesNothingAndChecksTheCorrectedReading) {
    view.channelPrompt = [] { return IDOK; };
    view.wizardDriver = [this](CCalibrateWizard& wizard) {
        EXPECT_EQ(wizard.Reading(),
                  view.Wizards() == 2 ? WizardReading::kConverter : WizardReading::kLoopCurrent);
        shown.clear();
        typed.clear();
        wizard.Start(wv);
        PlayOperator(wizard, 5);
        FinishWizard(wizard);
    };
    worker.Start();
    ASSERT_TRUE(WaitFor([&] { return !view.CurrentTexts().empty(); }));
    const auto verify = [&](size_t records) {
        fixture.ClearLineLog();
        worker.PostOperation(ModeVerifyCalibration, 0, 0);
        ASSERT_TRUE(WaitFor([&] { return view.Records().size() == records; }));
        ASSERT_TRUE(WaitFor([&] { return worker.PendingOperation().mode == ModePollCurrent; }));
        ASSERT_TRUE(WaitFor([&] { return Frames().back().command == 2; }));
        const auto frames = WithoutRetries(Frames());
        for (const auto& f : frames) {
            EXPECT_NE(f.command, 201) << "nothing written to the fixture";
            EXPECT_NE(f.command, 34) << "the channel is left as it is";
            EXPECT_NE(f.command, 33) << "the reading is the loop current";
        }
        EXPECT_EQ(std::count_if(frames.begin(), frames.end(), IsLeaveFixedCurrent), 1);
    };

    verify(1);
    CalibrationRecord asFound = view.Records()[0];
    EXPECT_EQ(asFound.kind, RecordKind::kVerification);
    EXPECT_EQ(asFound.outcome, RecordOutcome::kCompleted);
    ASSERT_EQ(asFound.points.size(), 5u) << "the five live points, no zero point";
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(asFound.points[i].nominalMa, 4.0 * static_cast<double>(i + 1));
        EXPECT_EQ(asFound.points[i].readingMa, ShownDecimal(shown[i]));
    }
    EXPECT_EQ(ResultText(asFound), "fail") << "the converter's own error";
    asFound.settings.tolerancePercentOfSpan = 0.5;
    EXPECT_EQ(ResultText(asFound), "pass");

    fixture.ClearLineLog();
    worker.PostOperation(ModeCalibrate, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return view.Records().size() == 2; }));
    EXPECT_EQ(ResultText(view.Records()[1]), "written");
    ASSERT_TRUE(WaitFor([&] { return worker.PendingOperation().mode == ModePollCurrent; }));

    verify(3);
    const CalibrationRecord asLeft = view.Records()[2];
    EXPECT_EQ(ResultText(asLeft), "pass");
    for (const RecordPoint& p : asLeft.points) EXPECT_LE(std::fabs(ErrorMa(p)), 0.0015);
}

// A mistype is quoted as it was typed, and the first character that makes
// it no number is named by its place, counted in characters.
TEST(ReferenceTest, ARefusedTextIsQuotedAsTypedWithItsFirstOffendingCharacter) {
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"12.1O", "错误: 输入值\"12.1O\"无效, 第5个字符\"O\"不是数字, 请重新输入!"},
        {" 12.1O", "错误: 输入值\" 12.1O\"无效, 第6个字符\"O\"不是数字, 请重新输入!"},
        {"4.0004.012", "错误: 输入值\"4.0004.012\"无效, 第7个字符\".\"是第二个小数点, 请重新输入!"},
        {"8 .1", "错误: 输入值\"8 .1\"无效, 第2个字符\" \"不是数字, 请重新输入!"},
        {"电8", "错误: 输入值\"电8\"无效, 第1个字符\"电\"不是数字, 请重新输入!"},
        {"8电", "错误: 输入值\"8电\"无效, 第2个字符\"电\"不是数字, 请重新输入!"},
        {".", "错误: 输入值\".\"无效, 没有数字, 请重新输入!"},
    };
    for (const auto& c : cases) {
        std::string reason;
        EXPECT_FALSE(ParseReference(c.text, 12, &reason).has_value()) << c.text;
        EXPECT_EQ(reason, c.reason);
    }
}

// 0.5 % of the 16 mA span is 80 µA: beyond it the operator is asked.
TEST(ReferenceTest, AReferenceFarFromTheFixturesReadingIsQuestioned) {
    EXPECT_EQ(ImplausibilityQuestion(4.20, 4.021, 0.5),
              "与夹具读数相差 0.179 mA (1.12 % 量程), 确定使用该值吗?");
    EXPECT_EQ(ImplausibilityQuestion(3.9, 4.021, 0.5),
              "与夹具读数相差 0.121 mA (0.76 % 量程), 确定使用该值吗?");
    EXPECT_EQ(ImplausibilityQuestion(4.101, 4.021, 0.5), "") << "exactly at the limit";
    EXPECT_EQ(ImplausibilityQuestion(3.941, 4.021, 0.5), "");
    EXPECT_NE(ImplausibilityQuestion(4.102, 4.021, 0.5), "");
    EXPECT_EQ(ImplausibilityQuestion(4.102, 4.021, 1.0), "") << "the limit is a setting";
}

// Frames of command 40 (fixed current), as the currents they fix.
std::vector<float> FixedCurrents(const std::vector<test::Request>& frames) {
    std::vector<float> out;
    for (const auto& f : WithoutRetries(frames)) {
        if (f.command == 40 && f.data.size() == 4) out.push_back(FloatAt(f.data, 0));
    }
    return out;
}

// 上一步 at 12 mA: 8 mA is fixed again and read again, its point is taken
// anew, and the wizard goes on from there.
TEST_F(CalibrationTest, PreviousRedoesThePointBefore) {
    view.channelPrompt = [] { return IDOK; };
    std::vector<Frame> atRedo;
    view.wizardDriver = [&](CCalibrateWizard& wizard) {
        wizard.Start(wv);
        PlayOperator(wizard, 2);
        ASSERT_TRUE(WaitFor([&] { return wv.Placeholder() == "12.000"; }));
        const int begun = wv.PointsBegun();
        const int seen = wv.Measurements();
        ASSERT_TRUE(WaitFor([&] { return wv.Measurements() > seen; }));
        EXPECT_EQ(wizard.Nominal(), 12);
        ASSERT_TRUE(wizard.OnPrevious());
        ASSERT_TRUE(WaitFor([&] { return wv.PointsBegun() > begun; }));
        EXPECT_EQ(wv.Placeholder(), "8.000");
        EXPECT_EQ(wv.Reference(), "") << "retyped, not kept";
        const int again = wv.Measurements();
        ASSERT_TRUE(WaitFor([&] { return wv.Measurements() > again; }));
        atRedo = Frames();
        EXPECT_TRUE(wizard.OnNext(wv.Measured(), "8.0123"));
        ASSERT_TRUE(WaitFor([&] { return wv.Placeholder() == "12.000"; }));
        // 上一步 goes no further back than 4 mA.
        ASSERT_TRUE(wizard.OnPrevious());
        ASSERT_TRUE(WaitFor([&] { return wv.Placeholder() == "8.000"; }));
        ASSERT_TRUE(wizard.OnPrevious());
        ASSERT_TRUE(WaitFor([&] { return wv.Placeholder() == "4.000"; }));
        EXPECT_FALSE(wizard.OnPrevious());
        wizard.OnStop();
        FinishWizard(wizard);
    };
    Calibrate();
    ASSERT_TRUE(WaitFor([&] { return Done(); }));

    EXPECT_EQ(FixedCurrents(atRedo), (std::vector<float>{4.0f, 8.0f, 12.0f, 8.0f}));
    // After the second fix at 8 mA, the fixture is read again before the
    // point is taken.
    const auto redo = WithoutRetries(atRedo);
    auto last40 = std::find_if(redo.rbegin(), redo.rend(),
                               [](const Frame& f) { return f.command == 40; });
    ASSERT_NE(last40, redo.rbegin()) << "read after the fix";
    EXPECT_EQ(std::prev(last40)->command, 33);
    ASSERT_EQ(view.Records().size(), 1u);
    const CalibrationRecord record = view.Records()[0];
    ASSERT_EQ(record.points.size(), 2u);
    EXPECT_EQ(record.points[1].nominalMa, 8.0);
    EXPECT_EQ(record.points[1].referenceMa, 8.0123) << "the point retyped";
}

// 返回修改: nothing is written; the wizard reopens at 20 mA on the channel,
// a point is retyped, the summary comes again and then the table is
// written with the new figure.
TEST_F(CalibrationTest, TheSummarysReviseReopensTheWizardBeforeAnythingIsWritten) {
    view.channelPrompt = [] { return IDOK; };
    std::vector<Frame> atSummary;
    view.summary = [&](const std::vector<RecordPoint>& points) {
        atSummary = Frames();
        EXPECT_EQ(points.size(), 6u);
        return view.Summaries().size() == 1 ? IDNO : IDOK;
    };
    view.wizardDriver = [this](CCalibrateWizard& wizard) {
        wizard.Start(wv);
        if (view.Wizards() == 1) {
            PlayOperator(wizard, 5);
        } else {
            ASSERT_TRUE(WaitFor([&] { return wv.Placeholder() == "20.000"; }));
            ASSERT_TRUE(WaitFor([&] { return wv.Measurements() > 0 && !wv.Measured().empty(); }));
            ASSERT_TRUE(wizard.OnPrevious());
            ASSERT_TRUE(WaitFor([&] { return wv.Placeholder() == "16.000"; }));
            const int seen = wv.Measurements();
            ASSERT_TRUE(WaitFor([&] { return wv.Measurements() > seen; }));
            EXPECT_TRUE(wizard.OnNext(wv.Measured(), "16.0456"));
            ASSERT_TRUE(WaitFor([&] { return wv.Placeholder() == "20.000"; }));
            const int seen20 = wv.Measurements();
            ASSERT_TRUE(WaitFor([&] { return wv.Measurements() > seen20; }));
            EXPECT_TRUE(wizard.OnNext(wv.Measured(), "20.0011"));
        }
        FinishWizard(wizard);
        EXPECT_EQ(wizard.Result(), 1);
    };
    Calibrate();
    ASSERT_TRUE(WaitFor([&] { return Done(); }));
    ASSERT_EQ(view.Summaries().size(), 2u);
    EXPECT_EQ(view.Wizards(), 2);
    const auto first = view.Summaries()[0];
    ASSERT_EQ(first.size(), 6u);
    EXPECT_EQ(first[0].nominalMa, 0.0) << "the unplugged point";
    EXPECT_NEAR(first[4].referenceMa, typed[3], 1e-4);
    const auto second = view.Summaries()[1];
    EXPECT_EQ(second[4].referenceMa, 16.0456);
    EXPECT_EQ(second[5].referenceMa, 20.0011);
    EXPECT_EQ(second[1].referenceMa, first[1].referenceMa) << "the others kept";

    // Before the second summary only step 00-00 of the run was sent; the
    // channel was made active again for the wizard and let go after it.
    std::vector<Frame> sent = WithoutRetries(atSummary);
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const Frame& f) { return f.command == 201; }),
              1);
    const auto leave = std::find_if(sent.rbegin(), sent.rend(), IsLeaveFixedCurrent);
    ASSERT_NE(leave, sent.rend());
    ASSERT_NE(leave, sent.rbegin());
    EXPECT_EQ(std::prev(leave)->command, 34);
    EXPECT_EQ(std::prev(leave)->data, (Bytes{0x42, 0x00, 0x00, 0x00})) << "no channel again";
    EXPECT_EQ(FixedCurrents(sent).back(), 0.0f);

    const auto steps = Calibration();
    ASSERT_EQ(steps.size(), 12u) << (view.Boxes().empty() ? "" : view.Boxes().back().text)
                                 << " " << ResultText(view.Records()[0]) << " "
                                 << view.Records()[0].failedStep;
    EXPECT_NEAR(FloatAt(steps[7], 11), 16.0456f, 1e-6) << "point 4 as retyped";
    EXPECT_NEAR(FloatAt(steps[8], 11), 20.0011f, 1e-6);
    EXPECT_EQ(ResultText(view.Records()[0]), "written") << view.Records()[0].failedStep;
}

// Yes to the offer: the transmitter is asked for again and the
// verification's five points are read through the new table (command 2, no
// command 33); the record carries both tables and the check's verdict.
TEST_F(CalibrationTest, AnAsLeftCheckFollowsTheWrittenTableAndGivesTheVerdict) {
    view.yesTo = "是否立即进行校准后验证?";
    view.channelPrompt = [] { return IDOK; };
    std::vector<Frame> beforeCheck;
    view.wizardDriver = [&](CCalibrateWizard& wizard) {
        if (view.Wizards() == 2) {
            EXPECT_EQ(wizard.Reading(), WizardReading::kLoopCurrent);
            beforeCheck = Frames();
            shown.clear();
            typed.clear();
        }
        wizard.Start(wv);
        PlayOperator(wizard, 5);
        FinishWizard(wizard);
    };
    Calibrate();
    ASSERT_TRUE(WaitFor([&] { return Done(); }));
    ASSERT_EQ(view.Wizards(), 2);
    const auto boxes = view.Boxes();
    ASSERT_EQ(boxes.size(), 4u);
    EXPECT_EQ(boxes[2].text, "是否立即进行校准后验证?");
    EXPECT_EQ(boxes[3].text, "请重新接入变送器");

    // The check began after the whole table and the channel were written.
    EXPECT_EQ(Calibration().size(), 12u);
    const auto before = WithoutRetries(beforeCheck);
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(before.back().command, 34) << "the channel made active again";
    const auto all = WithoutRetries(Frames());
    const auto check = all.begin() + static_cast<long>(before.size());
    for (auto f = check; f != all.end(); ++f) {
        EXPECT_NE(f->command, 201);
        EXPECT_NE(f->command, 33) << "read through the new table";
    }
    EXPECT_EQ(std::count_if(check, all.end(), IsLeaveFixedCurrent), 1);

    ASSERT_EQ(view.Records().size(), 1u);
    const CalibrationRecord record = view.Records()[0];
    EXPECT_EQ(record.kind, RecordKind::kCalibration);
    EXPECT_EQ(record.points.size(), 6u) << "as found";
    ASSERT_EQ(record.asLeft.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(record.asLeft[i].nominalMa, 4.0 * static_cast<double>(i + 1));
        EXPECT_EQ(record.asLeft[i].readingMa, ShownDecimal(shown[i]));
        EXPECT_LE(std::fabs(ErrorMa(record.asLeft[i])), 0.0015) << "the new table holds";
    }
    EXPECT_FALSE(record.asLeftDeclined);
    EXPECT_EQ(ResultText(record), "pass");
    EXPECT_EQ(record.channel, 5);
    EXPECT_EQ(record.transmitter, "26-05-001005") << "its command 0: maker 0x26, type 5, id 00 10 05";
    const nlohmann::json j = nlohmann::json::parse(RecordJson(record));
    EXPECT_EQ(j["as_left"].size(), 5u);
    EXPECT_EQ(j["channel"], 5);
}

// No to the offer: the table stays written and unchecked.
TEST_F(CalibrationTest, ADeclinedCheckLeavesTheCalibrationWritten) {
    ASSERT_NO_FATAL_FAILURE(CalibrateAsTheOperatorDoes());
    EXPECT_EQ(view.Wizards(), 1);
    ASSERT_EQ(view.Records().size(), 1u);
    const CalibrationRecord record = view.Records()[0];
    EXPECT_TRUE(record.asLeftDeclined);
    EXPECT_TRUE(record.asLeft.empty());
    EXPECT_EQ(ResultText(record), "written");
    EXPECT_FALSE(nlohmann::json::parse(RecordJson(record)).contains("as_left"));
}

// The flow gave up waiting (the program closes) while the dialog was still
// opening: the worker that the dialog starts afterwards sends nothing.
TEST(CalibrateWizard, AWorkerStartedAfterTheFlowGaveUpEndsAtOnce) {
    hart::ResetHartState();
    CCalibrateWizard wizard;
    wizard.StopAndJoin();
    FakeWizardView wv;
    wizard.Start(wv);
    ASSERT_TRUE(WaitFor([&] { return wv.Ended(); }, 5000));
    wizard.OnTimer();
    wizard.StopAndJoin();
    EXPECT_EQ(wizard.Result(), 2);
    EXPECT_TRUE(wv.Errors().empty()) << "no current was fixed";
    EXPECT_EQ(wv.Measurements(), 0);
}

}  // namespace
}  // namespace engine
