// What the store keeps, as plain values: a transmitter test run with each
// channel's result and its points, and the key columns of a calibration
// record beside the record's JSON.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace store {

// Times are kept to the millisecond, in UTC; the database also holds each
// as local ISO 8601 text for a person reading it with other tools.
using Time = std::chrono::sys_time<std::chrono::milliseconds>;

// A channel's outcome. Stored as its text.
enum class Verdict { kEmpty, kNoHart, kPass, kFail, kError };

// "empty", "no-hart", "pass", "fail", "error".
const char* VerdictText(Verdict verdict);
bool ParseVerdict(std::string_view text, Verdict* verdict);

struct PointResult {
    double nominalMa = 0.0;  // the current the transmitter was told to put out
    // The figures are NaN when the point could not be read (stored as NULL).
    double readingMa = 0.0;
    double errorMa = 0.0;
    double errorPercentOfSpan = 0.0;
    bool pass = false;
};

struct DeviceResult {
    int channel = 0;
    std::string identity;  // "MM-TT-DDDDDD" in hex, from command 0; empty when none answered
    std::string tag;
    std::string descriptor;
    std::string date;
    std::string longTag;
    Verdict verdict = Verdict::kEmpty;
    std::string reason;  // why, with kError (and wherever the caller has one)
    std::vector<PointResult> points;
};

struct TestRun {
    long long id = 0;  // given by the store when the run is written
    Time time{};
    int deviceNumber = -1;  // the fixture's; -1 when it was never identified
    std::string port;       // "COM3"
    std::string operatorName;
    std::string softwareVersion;
    // The settings it ran with.
    std::vector<double> pointsMa;
    int settleMs = 0;
    double tolerancePercentOfSpan = 0.0;
    // Written with the run; the list of runs leaves it empty.
    std::vector<DeviceResult> results;
};

// One transmitter's result in one run, for its history.
struct HistoryEntry {
    TestRun run;  // without its results
    DeviceResult result;
};

struct CalibrationEntry {
    std::string stem;  // the record's file name without extension; unique
    std::string kind;  // "calibration" or "verification"
    Time time{};
    int deviceNumber = -1;          // the fixture's; -1 when unknown
    std::string result;             // "written", "failed", "cancelled", "pass", "fail"
    std::string certificateNumber;  // may be empty
    std::string dueDate;            // may be empty
    std::string json;               // the whole record
};

}  // namespace store
