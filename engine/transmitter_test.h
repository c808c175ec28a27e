// The transmitter test: for each channel of a range, who is on it and whether
// its output holds fixed currents within tolerance, as the fixture measures
// them. One operation on the thread that runs it (the console tool's, or a
// worker's), channel by channel; no user interface.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hart/failure.h"
#include "hart/fixture_commands.h"

namespace engine {

// The loop span the error is a percentage of.
inline constexpr float kTestSpanMa = 16.0f;

enum class TestVerdict { kPass, kFail, kError, kEmpty, kNoHart };

// "pass", "fail", "error", "empty", "no-hart": the CSV's and the database's.
std::string TestVerdictText(TestVerdict verdict);

struct TestSettings {
    std::vector<float> pointsMa{4.0f, 12.0f, 20.0f};
    double tolerancePercent = 0.1;  // of span, either way
    uint32_t settleMs = 1000;       // clock milliseconds after each command 40
};

// What is wrong with the settings, or empty: one to eight points, each from
// 3.5 to 24 mA; a tolerance above 0 and at most 100 %; a settle time of at
// most 60 s.
std::string CheckTestSettings(const TestSettings& settings);

struct TestPoint {
    float pointMa = 0.0f;
    float readingMa = 0.0f;
    double errorMa = 0.0;       // reading - point
    double errorPercent = 0.0;  // of kTestSpanMa
    bool pass = false;
};

struct TransmitterResult {
    int channel = 0;  // 1-32
    TestVerdict verdict = TestVerdict::kError;
    std::optional<float> loopCurrentMa;  // the reading before any fixed current
    std::optional<hart::DeviceIdentity> transmitter;
    std::string tag;         // command 13
    std::string descriptor;  // command 13
    std::string date;        // command 13, "2026-12-11" or empty
    std::string longTag;     // command 20, universal revision 6 on
    std::vector<TestPoint> points;
    // kError: what failed, "fixing 12.000 mA: rejected (response code 11)".
    std::string reason;
    // The command 40 with 0.0 that let a fixed current go did not get
    // through: why. Empty when it did, or no fixed current was accepted.
    std::string releaseProblem;
    std::chrono::system_clock::time_point time;  // when the channel was done
};

struct TestOptions {
    int first = 1;  // channels first..last, within 1-32
    int last = hart::kChannelCount;
    TestSettings settings;
    // Each channel's result, as soon as it is complete.
    std::function<void(const TransmitterResult&)> onResult;
    // After each channel: channels done, of how many.
    std::function<void(int done, int total)> onProgress;
    // Asked after each exchange and during the settle waits; true ends the
    // test: the fixed current is let go and the channel put back.
    std::function<bool()> stopRequested;
};

struct TestRunResult {
    std::vector<TransmitterResult> results;  // the channels finished
    // The channel active before the run (1-32, hart::kNoChannel, or
    // hart::kUnknownChannel), and whether it is active again.
    int previousChannel = hart::kUnknownChannel;
    bool restored = false;
    bool stopped = false;  // the channel under way when stopped has no result
    // The fixture stopped answering (or the port went): the first such
    // failure, and what was being done. Reason kNone when it did not.
    hart::Failure failure;
    std::string failedStep;
    // A failed restore after an earlier failure, reason kNone otherwise.
    hart::Failure restoreFailure;

    bool Ok() const { return failure.reason == hart::Reason::kNone; }
};

// Reads the active channel (15); for each channel: makes it active (34),
// reads its loop current (2): below kLoopPresentMa `empty`; identifies its
// transmitter (0, short frame, polling address 0): no answer `no-hart`; reads
// its tag (13) and, from universal revision 6, its long tag (20); then for
// each point fixes the current (40), waits the settle time, reads the loop
// current (2) and judges it; lets the fixed current go (40 with 0.0) on
// every way out of the channel. At the end the channel active before is made
// active again (34; none when the reading named no channel). A failed
// exchange with the fixture ends the run; the channel under way is then an
// `error`. Settings CheckTestSettings refuses end it before any exchange
// (reason kBadArgument).
TestRunResult RunTransmitterTest(const TestOptions& options);

// The CSV, as the console tool writes it and an export should:
// "channel,transmitter,tag,verdict,point_mA,reading_mA,error_mA,
// error_percent_of_span,pass"; one row per point of a tested device, one row
// with the point fields empty for any other. Text fields are quoted when
// they need it.
std::string TestCsvHeader();
std::vector<std::string> TestCsvRows(const TransmitterResult& result);
std::string TestCsvText(const std::vector<TransmitterResult>& results);

}  // namespace engine
