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

bool AllPointsPass(const CalibrationRecord& record) {
    return std::all_of(record.points.begin(), record.points.end(), [&](const RecordPoint& p) {
        return PointPasses(p, record.settings.tolerancePercentOfSpan);
    });
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
        // Checked after it was written: the check is the verdict.
        if (record.asLeft.empty()) return "written";
        const double tolerance = record.settings.tolerancePercentOfSpan;
        return std::all_of(record.asLeft.begin(), record.asLeft.end(),
                           [&](const RecordPoint& p) { return PointPasses(p, tolerance); })
                   ? "pass"
                   : "fail";
    }
    return AllPointsPass(record) ? "pass" : "fail";
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

std::string RecordJson(const CalibrationRecord& record) {
    const double tolerance = record.settings.tolerancePercentOfSpan;
    Json j;
    j["kind"] = KindText(record.kind);
    j["time"] = RecordTimeText(record);
    j["fixture_device_number"] = record.deviceNumber >= 0 ? Json(record.deviceNumber) : Json();
    j["port"] = record.port;
    j["operator"] = record.settings.operatorName;
    j["reference_meter"] = record.settings.referenceMeter;
    j["tolerance_percent_of_span"] = tolerance;
    j["channel"] = record.channel > 0 ? Json(record.channel) : Json();
    j["transmitter"] = record.transmitter.empty() ? Json() : Json(record.transmitter);
    const auto pointsJson = [tolerance](const std::vector<RecordPoint>& list) {
        Json points = Json::array();
        for (const RecordPoint& p : list) {
            Json point;
            point["nominal_mA"] = p.nominalMa;
            point["reference_mA"] = p.referenceMa;
            point["reading_mA"] = p.readingMa;
            point["error_mA"] = ErrorMa(p);
            point["error_percent_of_span"] = ErrorPercentOfSpan(p);
            point["pass"] = PointPasses(p, tolerance);
            points.push_back(std::move(point));
        }
        return points;
    };
    j["points"] = pointsJson(record.points);
    // The check made right after the table was written; absent when none was.
    if (!record.asLeft.empty()) j["as_left"] = pointsJson(record.asLeft);
    j["result"] = ResultText(record);
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

bool SaveRecord(const std::string& folder, const CalibrationRecord& record, const std::string& pdf,
                std::string* stem, std::string* error) {
    std::string reason;
    if (folder.empty()) {
        reason = "no home folder";
    } else if (platform::MakePrivateFolders(folder, &reason)) {
        const std::string base = RecordStem(record);
        std::string name = base;
        // Two records in one second for one fixture: neither replaces the
        // other.
        for (int n = 2; Exists(Join(folder, name + ".json")) ||
                        Exists(Join(folder, name + ".csv")) || Exists(Join(folder, name + ".pdf"));
             ++n)
            name = base + "-" + std::to_string(n);
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
