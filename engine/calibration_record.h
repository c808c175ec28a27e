// What a calibration or a verification run leaves behind: the record of
// the points taken (reference typed, the fixture's reading, the error in %
// of span against a tolerance) and the outcome, kept as JSON, CSV and a PDF
// certificate under the user's data folder. The PDF is drawn by the window
// layer; everything else lives here.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace engine {

class CCalibrateWizard;

enum class RecordKind { kCalibration, kVerification };
// A calibration that completed has written its table; a verification that
// completed passes or fails against the tolerance.
enum class RecordOutcome { kCompleted, kFailed, kCancelled };

// The span the errors are given in % of: 4-20 mA.
inline constexpr double kSpanMa = 16.0;
inline constexpr double kDefaultTolerancePercentOfSpan = 0.1;

// Where a point's reference came from.
enum class ReferenceSource { kTyped, kMeter };

struct RecordPoint {
    RecordPoint() = default;
    RecordPoint(double nominal, double reference, double reading)
        : nominalMa(nominal), referenceMa(reference), readingMa(reading) {}

    double nominalMa = 0.0;
    double referenceMa = 0.0;  // what the operator typed off the reference meter
    double readingMa = 0.0;    // what the fixture read (see the README for which reading)
    ReferenceSource referenceSource = ReferenceSource::kTyped;
    // With kMeter: the meter's stable readings behind referenceMa (their
    // mean), their standard deviation and count.
    double meterStddevMa = 0.0;
    int meterCount = 0;
};

// reading - reference, in mA and in % of the span, rounded to what the
// figures carry (1e-6 mA, 1e-6 %) so that a point exactly at the tolerance
// passes.
double ErrorMa(const RecordPoint& p);
double ErrorPercentOfSpan(const RecordPoint& p);
bool PointPasses(const RecordPoint& p, double tolerancePercentOfSpan);

inline constexpr double kDefaultPlausibilityPercentOfSpan = 0.5;
inline constexpr int kDefaultIntervalMonths = 12;

// What the operator sets once: kept in the settings file by the window.
struct RecordSettings {
    RecordSettings() = default;
    RecordSettings(std::string op, std::string meter, double tolerance)
        : operatorName(std::move(op)),
          referenceMeter(std::move(meter)),
          tolerancePercentOfSpan(tolerance) {}

    std::string operatorName;
    std::string referenceMeter;  // free text, as records have always carried it
    double tolerancePercentOfSpan = kDefaultTolerancePercentOfSpan;
    // A typed reference further than this from the fixture's own reading of
    // the point is questioned before it is taken.
    double plausibilityPercentOfSpan = kDefaultPlausibilityPercentOfSpan;
    // The reference meter: model, serial number, due date (YYYY-MM-DD) and
    // its accuracy, ± (% of reading + µA).
    std::string meterModel;
    std::string meterSerial;
    std::string meterDue;
    double meterAccuracyPercent = 0.0;
    double meterAccuracyUa = 0.0;
    int intervalMonths = kDefaultIntervalMonths;
};

// A tolerance as typed or stored: a plain decimal number above 0 and at most
// 10 (% of span).
bool ParseTolerance(const std::string& text, double* value);
std::string FormatTolerance(double value);

// A plausibility limit as typed or stored: a plain decimal above 0 up to 100
// (% of span).
bool ParsePlausibility(const std::string& text, double* value);
// A meter accuracy term, % of reading or µA: a plain decimal from 0 up to
// 10 % or 1000 µA.
bool ParseAccuracyPercent(const std::string& text, double* value);
bool ParseAccuracyUa(const std::string& text, double* value);
// A calibration interval: whole months from 1 to 120.
bool ParseIntervalMonths(const std::string& text, int* value);

// "YYYY-MM-DD" as a real date (2026-02-30 is none).
bool ParseDate(const std::string& text, std::chrono::year_month_day* date);
std::string FormatDate(std::chrono::year_month_day date);
// `date` plus whole months, the day kept or, past the month's end, its last
// day (2026-01-31 + 1 month is 2026-02-28).
std::chrono::year_month_day AddMonths(std::chrono::year_month_day date, int months);
// Today in local time.
std::chrono::year_month_day LocalToday();

// Why a calibration or a verification may not start with these settings,
// the setting named ("记录设置中未填写标准表编号"), or the meter's date
// passed ("标准表已于2026-01-01到期"); empty when they are complete.
// `today` is the local date.
std::string RecordSettingsProblem(const RecordSettings& settings, std::chrono::year_month_day today);

// The settings a demo run comes with: a demo operator and meter, due a year
// from `today`.
RecordSettings DemoRecordSettings(std::chrono::year_month_day today);

// The expanded uncertainty (k = 2) of a point's error, in mA: the reference
// meter's accuracy ± (% of reading + µA) as a rectangular distribution, the
// resolution of the shown reading (0.001 mA, half of it either way) as
// another, and, for a reference the meter averaged, the standard deviation
// of its mean.
double ExpandedUncertaintyMa(const RecordPoint& p, const RecordSettings& settings);

// How a point is judged against its tolerance: the error alone, the
// uncertainty stated beside it.
inline constexpr const char* kDecisionRuleJson = "simple acceptance (ILAC-G8)";

struct CalibrationRecord {
    RecordKind kind = RecordKind::kCalibration;
    std::chrono::system_clock::time_point time;
    int deviceNumber = -1;  // as the fixture last reported it; -1 when never identified
    std::string port;       // "COM7"
    RecordSettings settings;
    std::vector<RecordPoint> points;
    RecordOutcome outcome = RecordOutcome::kCompleted;
    std::string failedStep;  // with kFailed: which request failed
    // The channel calibrated or verified (1-32, 0 unknown) and the
    // transmitter on it, "MM-TT-DDDDDD" from its command 0 (empty unknown).
    int channel = 0;
    std::string transmitter;
    // A calibration's as-left check: the five points read through the new
    // table right after it was written. Empty when none was made;
    // asLeftDeclined when the operator declined it.
    std::vector<RecordPoint> asLeft;
    bool asLeftDeclined = false;
    // The record's file stem, which its certificate is numbered by (set
    // once the stem is free), and the program's version.
    std::string certificateNumber;
    std::string softwareVersion;
};

// Port n as the operator knows it, "COM7"; empty for none.
std::string RecordPortText(int port);

// The points the wizard's table holds, in index order: point 0 (nominal and
// reference 0, read with the transmitter unplugged) when the flow took it,
// then those taken at 4, 8, 12, 16 and 20 mA. Each figure is the decimal
// its single float stands for (4.012, not 4.0120000839).
std::vector<RecordPoint> WizardPoints(const CCalibrateWizard& wizard);

// "written", "failed", "cancelled" for a calibration; "pass", "fail",
// "cancelled" for a verification. A calibration checked after its table was
// written passes or fails by its as-left points.
std::string ResultText(const CalibrationRecord& record);
// Every point within the tolerance.
bool AllPointsPass(const CalibrationRecord& record);
bool AllAsLeftPass(const CalibrationRecord& record);

// When the fixture is next due: the record's local date plus the interval
// (YYYY-MM-DD); empty unless the record is of a calibration whose table
// was written.
std::string DueDateText(const CalibrationRecord& record);

// Local ISO 8601 to the second with the offset: 2026-05-04T09:30:12+08:00.
std::string RecordTimeText(const CalibrationRecord& record);
// <YYYYMMDD-HHMMSS>-<device number> ("unknown" for none).
std::string RecordStem(const CalibrationRecord& record);

std::string RecordJson(const CalibrationRecord& record);
std::string RecordCsv(const CalibrationRecord& record);

// $XDG_DATA_HOME/tarvok/records when that is absolute, else under
// $HOME/.local/share (the account's home when $HOME is not absolute);
// %LOCALAPPDATA%\tarvok\records on Windows. Empty when there is no home.
std::string RecordsFolder();

// Makes the records folder (mode 0700, as every parent it makes) and writes
// the record's .csv, the `pdf` bytes as .pdf and then its .json, each to a
// temporary file renamed over the name, so no file is ever half-written.
// The stem gets "-2", "-3", ... when a record of that stem exists already.
// False with the reason when a file could not be written.
// RecordStem, or with "-2", "-3", ... the first that no file in `folder`
// has: what SaveRecord will name the record as long as nothing else writes
// there meanwhile.
std::string FreeRecordStem(const std::string& folder, const CalibrationRecord& record);
bool SaveRecord(const std::string& folder, const CalibrationRecord& record, const std::string& pdf,
                std::string* stem, std::string* error);

// One record as the listing shows it.
struct RecordSummary {
    std::string stem;  // the file name without .json
    std::string time;  // as stored
    int deviceNumber = -1;
    std::string kind;       // "calibration" or "verification"
    std::string result;     // one of ResultText's words for that kind
    std::string json;       // the whole record, compact, with EscapeControls applied
    long long sortKey = 0;  // seconds since 1970 (UTC) of `time`
    // A calibration's due date: its due_date, or for a record written
    // before those were kept, its date plus the default interval. Empty for
    // a verification and for a table never written.
    std::string dueDate;
};

// The records in `folder`, newest first. A file that is no record is
// skipped and named in *problems (in order of name): not JSON, larger than 1 MiB, nested deeper
// than 32 levels (refused before it is parsed), a kind, time or result that
// is not one a record has. A missing folder lists nothing.
std::vector<RecordSummary> ListRecords(const std::string& folder,
                                       std::vector<std::string>* problems = nullptr);

// The newest calibration of fixture `deviceNumber` whose table was written,
// from the records in `folder`; false when there is none.
bool LastWrittenCalibration(const std::string& folder, int deviceNumber, RecordSummary* last);

enum class DueState { kNone, kSoon, kOverdue };
inline constexpr int kDueSoonDays = 30;
// kOverdue once `today` is past `due`, kSoon within kDueSoonDays of it;
// kNone for an empty or unreadable date.
DueState CalibrationDueState(const std::string& due, std::chrono::year_month_day today);

// A text from the records folder as a listing prints it: control characters
// (C0, DEL, C1) and the line separators and bidirectional overrides, which
// would steer a terminal or reorder what is shown around them, become
// \u001b, \u202e...; a byte that is no UTF-8 becomes \xff. All else stays.
std::string EscapeControls(std::string_view text);

}  // namespace engine
