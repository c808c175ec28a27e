#include "engine/calibration_record.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string_view>
#include <system_error>

#include "engine/calibrate_wizard.h"
#include "platform/ini_file.h"
#include "platform/user_folders.h"
#include "platform/wall_clock.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

// Figures are kept to a millionth: far below what the meter or the fixture
// resolve, and enough that a rounding never moves a point across the
// tolerance.
constexpr double kResolution = 1e6;
// A record is a few kB; anything much larger in the folder is not one.
constexpr std::uintmax_t kMaxRecordBytes = 1024 * 1024;
// A record nests three levels (the record, its points, a point); this leaves
// room for what a later version adds and stops a file built to exhaust the
// stack of whatever walks the tree (dump() recurses once per level).
constexpr int kMaxRecordDepth = 32;
constexpr double kMaxTolerance = 10.0;

double Rounded(double v) { return std::round(v * kResolution) / kResolution; }

// The decimal a single float stands for: its shortest form read back.
double Decimal(float f) {
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof(text), f);
    if (ec != std::errc()) return f;
    double d = f;
    std::from_chars(text, end, d);
    return d;
}

std::string Number(double v) {
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof(text), v);
    return ec == std::errc() ? std::string(text, end) : std::string("0");
}

const char* KindText(RecordKind kind) {
    return kind == RecordKind::kCalibration ? "calibration" : "verification";
}

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Digits with at most one '.', at least one digit.
bool IsPlainDecimal(const std::string& s) {
    int dots = 0;
    int digits = 0;
    for (const char c : s) {
        if (c == '.')
            ++dots;
        else if (c >= '0' && c <= '9')
            ++digits;
        else
            return false;
    }
    return digits > 0 && dots <= 1;
}

// A plain decimal from `low` (kept when `lowIncluded`) up to `high`.
bool ParseDecimalIn(const std::string& text, double low, bool lowIncluded, double high,
                    double* value) {
    const std::string t = Trimmed(text);
    if (!IsPlainDecimal(t)) return false;
    double v = 0.0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || end != t.data() + t.size()) return false;
    if (lowIncluded ? v < low : !(v > low)) return false;
    if (v > high) return false;
    *value = v;
    return true;
}

template <class T>
bool ReadInt(const std::string& s, size_t at, size_t length, T* value) {
    if (at + length > s.size()) return false;
    const char* first = s.data() + at;
    const auto [end, ec] = std::from_chars(first, first + length, *value);
    return ec == std::errc() && end == first + length;
}

// "YYYY-MM-DDTHH:MM:SS[.fff](Z|+HH:MM|-HH:MM)" as seconds since 1970 (UTC).
bool ParseIsoTime(const std::string& s, long long* seconds) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0;
    if (s.size() < 20 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':')
        return false;
    if (!ReadInt(s, 0, 4, &y) || !ReadInt(s, 5, 2, &mo) || !ReadInt(s, 8, 2, &d) ||
        !ReadInt(s, 11, 2, &h) || !ReadInt(s, 14, 2, &mi) || !ReadInt(s, 17, 2, &se))
        return false;
    size_t at = 19;
    if (s[at] == '.') {
        ++at;
        while (at < s.size() && s[at] >= '0' && s[at] <= '9') ++at;
    }
    int offsetMinutes = 0;
    if (at < s.size() && s[at] == 'Z') {
        ++at;
    } else if (at < s.size() && (s[at] == '+' || s[at] == '-')) {
        int oh = 0, om = 0;
        if (!ReadInt(s, at + 1, 2, &oh) || at + 3 >= s.size() || s[at + 3] != ':' ||
            !ReadInt(s, at + 4, 2, &om))
            return false;
        offsetMinutes = (s[at] == '-' ? -1 : 1) * (oh * 60 + om);
        at += 6;
    } else {
        return false;
    }
    if (at != s.size()) return false;
    using namespace std::chrono;
    const year_month_day date{year{y} / month{static_cast<unsigned>(mo)} /
                              day{static_cast<unsigned>(d)}};
    if (!date.ok() || h > 23 || mi > 59 || se > 60) return false;
    const long long days = sys_days{date}.time_since_epoch().count();
    *seconds = days * 86400 + h * 3600 + mi * 60 + se - offsetMinutes * 60LL;
    return true;
}

std::string SystemError() { return std::strerror(errno); }

std::string Join(const std::string& folder, const std::string& name) {
#ifdef _WIN32
    constexpr char kSeparator = '\\';
#else
    constexpr char kSeparator = '/';
#endif
    if (!folder.empty() && (folder.back() == '/' || folder.back() == kSeparator))
        return folder + name;
    return folder + kSeparator + name;
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::path(path), ec);
}

// The whole file, or false when it cannot be read or holds more than a
// record may: never more than the cap is read, whatever the file grew to
// since its size was looked at.
bool ReadWholeFile(const fs::path& path, std::string* text) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec || size > kMaxRecordBytes) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text->clear();
    char chunk[16384];
    while (in.read(chunk, sizeof(chunk)) || in.gcount() > 0) {
        text->append(chunk, static_cast<size_t>(in.gcount()));
        if (text->size() > kMaxRecordBytes) return false;
    }
    return !in.bad();
}

// Whether no array or object in `text` lies deeper than `limit`, counted as
// JSON's lexer reads the text (brackets inside strings do not count) and
// without recursion. Up to the first error a parser meets, it sees the same
// brackets, so it never goes deeper than this count.
bool NestingWithin(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

bool KnownResult(const std::string& kind, const std::string& result) {
    if (kind == "calibration")
        return result == "written" || result == "pass" || result == "fail" ||
               result == "failed" || result == "cancelled";
    if (kind == "verification")
        return result == "pass" || result == "fail" || result == "cancelled";
    return false;
}

// The length of the UTF-8 sequence at text[i] and its code point; 0 when
// the bytes there are no well-formed sequence (overlong, surrogate, cut
// short, beyond U+10FFFF).
size_t DecodeUtf8(std::string_view text, size_t i, char32_t* cp) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b = byte(i);
    size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
        *cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        *cp = b & 0x0F;
        if (b == 0xE0) low = 0xA0;
        if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        *cp = b & 0x07;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char c = byte(i + k);
        if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return 0;
        *cp = (*cp << 6) | (c & 0x3F);
    }
    return length;
}

// Characters that steer a terminal or reorder the text around them.
bool IsControl(char32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 ||
           (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

// A written calibration's due date as its record gives it; one from before
// due dates were kept falls due the default interval after its date.
std::string SummaryDueDate(const Json& j, const RecordSummary& s) {
    if (s.kind != "calibration" ||
        (s.result != "written" && s.result != "pass" && s.result != "fail"))
        return {};
    std::chrono::year_month_day date;
    const auto due = j.find("due_date");
    if (due != j.end() && due->is_string() && ParseDate(due->get<std::string>(), &date))
        return FormatDate(date);
    if (!ParseDate(s.time.substr(0, 10), &date)) return {};
    return FormatDate(AddMonths(date, kDefaultIntervalMonths));
}

}  // namespace

double ErrorMa(const RecordPoint& p) { return Rounded(p.readingMa - p.referenceMa); }

double ErrorPercentOfSpan(const RecordPoint& p) { return Rounded(ErrorMa(p) / kSpanMa * 100.0); }

bool PointPasses(const RecordPoint& p, double tolerancePercentOfSpan) {
    return std::fabs(ErrorPercentOfSpan(p)) <= tolerancePercentOfSpan + 1e-9;
}

bool ParseTolerance(const std::string& text, double* value) {
    const std::string t = Trimmed(text);
    if (!IsPlainDecimal(t)) return false;
    double v = 0.0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || end != t.data() + t.size() || !(v > 0.0) || v > kMaxTolerance)
        return false;
    *value = v;
    return true;
}

std::string FormatTolerance(double value) { return Number(value); }

bool ParsePlausibility(const std::string& text, double* value) {
    return ParseDecimalIn(text, 0.0, false, 100.0, value);
}

bool ParseAccuracyPercent(const std::string& text, double* value) {
    return ParseDecimalIn(text, 0.0, true, 10.0, value);
}

bool ParseAccuracyUa(const std::string& text, double* value) {
    return ParseDecimalIn(text, 0.0, true, 1000.0, value);
}

bool ParseIntervalMonths(const std::string& text, int* value) {
    const std::string t = Trimmed(text);
    int v = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (t.empty() || t[0] == '-' || t[0] == '+' || ec != std::errc() ||
        end != t.data() + t.size() || v < 1 || v > 120)
        return false;
    *value = v;
    return true;
}

bool ParseDate(const std::string& text, std::chrono::year_month_day* date) {
    using namespace std::chrono;
    const std::string t = Trimmed(text);
    int y = 0, m = 0, d = 0;
    if (t.size() != 10 || t[4] != '-' || t[7] != '-' || !ReadInt(t, 0, 4, &y) ||
        !ReadInt(t, 5, 2, &m) || !ReadInt(t, 8, 2, &d) || y < 1900 || m < 1 || d < 1)
        return false;
    const year_month_day ymd{year{y}, month{static_cast<unsigned>(m)},
                             day{static_cast<unsigned>(d)}};
    if (!ymd.ok()) return false;
    *date = ymd;
    return true;
}

std::string FormatDate(std::chrono::year_month_day date) {
    char text[16];
    std::snprintf(text, sizeof(text), "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text;
}

std::chrono::year_month_day AddMonths(std::chrono::year_month_day date, int months) {
    using namespace std::chrono;
    const year_month ym = year_month{date.year(), date.month()} + std::chrono::months{months};
    const day last = year_month_day_last{ym.year(), month_day_last{ym.month()}}.day();
    return {ym.year(), ym.month(), std::min(date.day(), last)};
}

namespace {

std::chrono::year_month_day LocalDate(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const platform::LocalTime local = platform::ToLocalTime(t);
    return {year{local.year}, month{static_cast<unsigned>(local.month)},
            day{static_cast<unsigned>(local.day)}};
}

}  // namespace

std::chrono::year_month_day LocalToday() { return LocalDate(std::chrono::system_clock::now()); }

std::string RecordSettingsProblem(const RecordSettings& s, std::chrono::year_month_day today) {
    const std::pair<const std::string*, const char*> texts[] = {
        {&s.operatorName, "操作员"},
        {&s.meterModel, "标准表型号"},
        {&s.meterSerial, "标准表编号"},
        {&s.meterDue, "标准表有效期"},
    };
    for (const auto& [text, name] : texts)
        if (Trimmed(*text).empty()) return std::string("记录设置中未填写") + name;
    std::chrono::year_month_day due;
    if (!ParseDate(s.meterDue, &due)) return "记录设置中标准表有效期不是日期 (YYYY-MM-DD)";
    if (due < today) return "标准表已于" + FormatDate(due) + "到期";
    // Zero on both terms is no accuracy at all: the uncertainty would be a
    // fiction.
    if (!(s.meterAccuracyPercent > 0.0) && !(s.meterAccuracyUa > 0.0))
        return "记录设置中未填写标准表准确度";
    if (!(s.tolerancePercentOfSpan > 0.0)) return "记录设置中未填写允差";
    if (!(s.plausibilityPercentOfSpan > 0.0)) return "记录设置中未填写合理性界限";
    if (s.intervalMonths < 1) return "记录设置中未填写校准周期";
    return {};
}

RecordSettings DemoRecordSettings(std::chrono::year_month_day today) {
    // The free text stays empty: model, serial and date say it all.
    RecordSettings s("演示操作员", "", kDefaultTolerancePercentOfSpan);
    s.meterModel = "演示标准表 DM-1";
    s.meterSerial = "DEMO-0001";
    s.meterDue = FormatDate(AddMonths(today, 12));
    s.meterAccuracyPercent = 0.02;
    s.meterAccuracyUa = 2.0;
    return s;
}

double ExpandedUncertaintyMa(const RecordPoint& p, const RecordSettings& s) {
    // Half-widths of rectangular distributions, in mA.
    const double accuracy =
        std::fabs(p.referenceMa) * s.meterAccuracyPercent / 100.0 + s.meterAccuracyUa / 1000.0;
    const double resolution = 0.0005;
    const double sqrt3 = std::sqrt(3.0);
    double variance = std::pow(accuracy / sqrt3, 2) + std::pow(resolution / sqrt3, 2);
    if (p.referenceSource == ReferenceSource::kMeter && p.meterCount > 1 && p.meterStddevMa > 0.0)
        variance += std::pow(p.meterStddevMa / std::sqrt(static_cast<double>(p.meterCount)), 2);
    return Rounded(2.0 * std::sqrt(variance));
}

std::string RecordPortText(int port) { return port > 0 ? "COM" + std::to_string(port) : ""; }

std::vector<RecordPoint> WizardPoints(const CCalibrateWizard& wizard) {
    std::vector<RecordPoint> points;
    for (int i = 0; i < 6; ++i) {
        if (!wizard.PointTaken(i)) continue;
        const CalibrationPoint p = wizard.Point(i);
        points.push_back({4.0 * i, Decimal(p.reference), Decimal(p.measured)});
    }
    return points;
}

namespace {

bool AllPass(const std::vector<RecordPoint>& points, double tolerance) {
    return std::all_of(points.begin(), points.end(),
                       [&](const RecordPoint& p) { return PointPasses(p, tolerance); });
}

}  // namespace

bool AllPointsPass(const CalibrationRecord& record) {
    return AllPass(record.points, record.settings.tolerancePercentOfSpan);
}

bool AllAsLeftPass(const CalibrationRecord& record) {
    return AllPass(record.asLeft, record.settings.tolerancePercentOfSpan);
}

std::string ResultText(const CalibrationRecord& record) {
    switch (record.outcome) {
        case RecordOutcome::kCancelled:
            return "cancelled";
        case RecordOutcome::kFailed:
            return "failed";
        case RecordOutcome::kCompleted:
            break;
    }
    if (record.kind == RecordKind::kCalibration) {
        if (record.asLeft.empty()) return "written";
        return AllAsLeftPass(record) ? "pass" : "fail";
    }
    return AllPointsPass(record) ? "pass" : "fail";
}

std::string DueDateText(const CalibrationRecord& record) {
    if (record.kind != RecordKind::kCalibration || record.outcome != RecordOutcome::kCompleted)
        return {};
    const int months =
        record.settings.intervalMonths >= 1 ? record.settings.intervalMonths : kDefaultIntervalMonths;
    return FormatDate(AddMonths(LocalDate(record.time), months));
}

std::string RecordTimeText(const CalibrationRecord& record) {
    using namespace std::chrono;
    std::string text = platform::FormatIso8601(platform::ToLocalTime(floor<seconds>(record.time)));
    // Whole seconds: the milliseconds are always ".000" here.
    if (text.size() > 23 && text[19] == '.') text.erase(19, 4);
    return text;
}

std::string RecordStem(const CalibrationRecord& record) {
    const std::string t = RecordTimeText(record);
    std::string stem = "00000000-000000";
    if (t.size() >= 19) {
        stem = t.substr(0, 4) + t.substr(5, 2) + t.substr(8, 2) + "-" + t.substr(11, 2) +
               t.substr(14, 2) + t.substr(17, 2);
    }
    return stem + "-" +
           (record.deviceNumber >= 0 ? std::to_string(record.deviceNumber) : "unknown");
}

namespace {

Json PointsJson(const std::vector<RecordPoint>& list, const RecordSettings& settings) {
    Json points = Json::array();
    for (const RecordPoint& p : list) {
        Json point;
        point["nominal_mA"] = p.nominalMa;
        point["reference_mA"] = p.referenceMa;
        point["reading_mA"] = p.readingMa;
        point["error_mA"] = ErrorMa(p);
        point["error_percent_of_span"] = ErrorPercentOfSpan(p);
        point["uncertainty_mA"] = ExpandedUncertaintyMa(p, settings);
        point["pass"] = PointPasses(p, settings.tolerancePercentOfSpan);
        points.push_back(std::move(point));
    }
    return points;
}

}  // namespace

std::string RecordJson(const CalibrationRecord& record) {
    const double tolerance = record.settings.tolerancePercentOfSpan;
    const RecordSettings& s = record.settings;
    Json j;
    j["kind"] = KindText(record.kind);
    j["time"] = RecordTimeText(record);
    j["fixture_device_number"] = record.deviceNumber >= 0 ? Json(record.deviceNumber) : Json();
    j["port"] = record.port;
    j["operator"] = record.settings.operatorName;
    j["reference_meter"] = record.settings.referenceMeter;
    j["tolerance_percent_of_span"] = tolerance;
    j["certificate_number"] = record.certificateNumber;
    j["software_version"] = record.softwareVersion;
    j["channel"] = record.channel >= 1 && record.channel <= 32 ? Json(record.channel) : Json();
    j["transmitter"] = record.transmitter;
    j["reference_meter_model"] = s.meterModel;
    j["reference_meter_serial"] = s.meterSerial;
    j["reference_meter_due"] = s.meterDue;
    // 2 µA reads "2", as typed, not "2.0".
    const auto figure = [](double v) {
        return v == std::floor(v) && std::fabs(v) < 1e9 ? Json(static_cast<long long>(v)) : Json(v);
    };
    j["reference_accuracy"] = {{"percent_of_reading", figure(s.meterAccuracyPercent)},
                               {"uA", figure(s.meterAccuracyUa)}};
    j["plausibility_percent_of_span"] = s.plausibilityPercentOfSpan;
    j["decision_rule"] = kDecisionRuleJson;
    j["points"] = PointsJson(record.points, s);
    if (!record.asLeft.empty()) j["as_left"] = PointsJson(record.asLeft, s);
    if (record.kind == RecordKind::kCalibration && record.asLeftDeclined)
        j["as_left_declined"] = true;
    j["result"] = ResultText(record);
    const std::string due = DueDateText(record);
    j["due_date"] = due.empty() ? Json() : Json(due);
    if (record.outcome == RecordOutcome::kFailed) j["failed_step"] = record.failedStep;
    // Texts typed by the operator are UTF-8; a stray byte must not lose the
    // record.
    return j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string RecordCsv(const CalibrationRecord& record) {
    std::string csv = "nominal_mA,reference_mA,reading_mA,error_mA,error_percent_of_span,pass\n";
    for (const RecordPoint& p : record.points) {
        csv += Number(p.nominalMa) + "," + Number(p.referenceMa) + "," + Number(p.readingMa) + "," +
               Number(ErrorMa(p)) + "," + Number(ErrorPercentOfSpan(p)) + "," +
               (PointPasses(p, record.settings.tolerancePercentOfSpan) ? "true" : "false") + "\n";
    }
    return csv;
}

std::string RecordsFolder() {
    const std::string data = platform::UserDataHome();
    return data.empty() ? std::string() : Join(Join(data, "tarvok"), "records");
}

std::string FreeRecordStem(const std::string& folder, const CalibrationRecord& record) {
    const std::string base = RecordStem(record);
    std::string name = base;
    // Two records in one second for one fixture: neither replaces the
    // other.
    for (int n = 2; Exists(Join(folder, name + ".json")) || Exists(Join(folder, name + ".csv")) ||
                    Exists(Join(folder, name + ".pdf"));
         ++n)
        name = base + "-" + std::to_string(n);
    return name;
}

bool SaveRecord(const std::string& folder, const CalibrationRecord& record, const std::string& pdf,
                std::string* stem, std::string* error) {
    std::string reason;
    if (folder.empty()) {
        reason = "no home folder";
    } else if (platform::MakePrivateFolders(folder, &reason)) {
        const std::string name = FreeRecordStem(folder, record);
        // The JSON last: a record that lists has its other files.
        const std::pair<const char*, std::string> files[] = {
            {".csv", RecordCsv(record)}, {".pdf", pdf}, {".json", RecordJson(record)}};
        for (const auto& [extension, contents] : files) {
            const std::string path = Join(folder, name + extension);
            if (!platform::ReplaceFileContents(path, contents)) {
                reason = path + ": " + SystemError();
                break;
            }
        }
        if (reason.empty()) {
            if (stem != nullptr) *stem = name;
            return true;
        }
    }
    if (error != nullptr) *error = reason;
    return false;
}

bool LastWrittenCalibration(const std::string& folder, int deviceNumber, RecordSummary* last) {
    if (deviceNumber < 0) return false;
    // Newest first: the first that matches is the last written.
    for (RecordSummary& s : ListRecords(folder)) {
        if (s.deviceNumber != deviceNumber || s.dueDate.empty()) continue;
        *last = std::move(s);
        return true;
    }
    return false;
}

DueState CalibrationDueState(const std::string& due, std::chrono::year_month_day today) {
    using namespace std::chrono;
    year_month_day date;
    if (!ParseDate(due, &date)) return DueState::kNone;
    if (sys_days{today} > sys_days{date}) return DueState::kOverdue;
    if (sys_days{date} - sys_days{today} <= days{kDueSoonDays}) return DueState::kSoon;
    return DueState::kNone;
}

std::string EscapeControls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char escape[16];
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        char32_t cp = b;
        size_t length = 1;
        if (b >= 0x80 && (length = DecodeUtf8(text, i, &cp)) == 0) {
            std::snprintf(escape, sizeof(escape), "\\x%02x", b);
            out += escape;
            ++i;
            continue;
        }
        if (IsControl(cp)) {
            std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(cp));
            out += escape;
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out;
}

std::vector<RecordSummary> ListRecords(const std::string& folder,
                                       std::vector<std::string>* problems) {
    std::vector<RecordSummary> records;
    const auto firstProblem =
        problems != nullptr ? static_cast<std::ptrdiff_t>(problems->size()) : 0;
    std::error_code ec;
    fs::directory_iterator it(fs::path(folder), ec);
    if (ec) return records;
    for (const fs::directory_entry& entry : it) {
        const fs::path& path = entry.path();
        if (path.extension() != ".json" || !entry.is_regular_file(ec)) continue;
        std::string text;
        RecordSummary s;
        s.stem = path.stem().string();
        // Nothing recursive sees a tree before its depth is known.
        bool ok = ReadWholeFile(path, &text) && NestingWithin(text, kMaxRecordDepth);
        if (ok) {
            const Json j = Json::parse(text, nullptr, false);
            ok = j.is_object() && j.contains("kind") && j["kind"].is_string() &&
                 j.contains("time") && j["time"].is_string() && j.contains("result") &&
                 j["result"].is_string();
            if (ok) {
                s.kind = j["kind"].get<std::string>();
                s.time = j["time"].get<std::string>();
                s.result = j["result"].get<std::string>();
                ok = KnownResult(s.kind, s.result) && ParseIsoTime(s.time, &s.sortKey);
                const auto number = j.find("fixture_device_number");
                if (number != j.end() && number->is_number_integer()) {
                    const auto n = number->get<long long>();
                    s.deviceNumber = n >= 0 && n <= 0xFFFFFF ? static_cast<int>(n) : -1;
                }
                if (ok) s.dueDate = SummaryDueDate(j, s);
                // The operator's texts go out as typed, but never as a
                // terminal's control sequence: JSON escapes C0 itself.
                if (ok)
                    s.json = EscapeControls(j.dump(-1, ' ', false, Json::error_handler_t::replace));
            }
        }
        if (ok)
            records.push_back(std::move(s));
        else if (problems != nullptr)
            problems->push_back(path.string());
    }
    // In the folder's own order they would come out differently each time.
    if (problems != nullptr) std::sort(problems->begin() + firstProblem, problems->end());
    std::sort(records.begin(), records.end(), [](const RecordSummary& a, const RecordSummary& b) {
        if (a.sortKey != b.sortKey) return a.sortKey > b.sortKey;
        return a.stem > b.stem;
    });
    return records;
}

}  // namespace engine
