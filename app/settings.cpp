#include "app/settings.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "platform/exe_dir.h"
#include "platform/ini_file.h"
#include "platform/user_folders.h"

namespace app {
namespace {

constexpr size_t kMaxValueLength = 1023;  // the profile buffer of 1024 bytes

// atoi as the C library documents it, clamped instead of undefined on
// overflow.
int ParseLeadingInt(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    long long n = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        n = n * 10 + (s[i] - '0');
        if (n > static_cast<long long>(INT_MAX) + 1) break;
    }
    if (negative) n = -n;
    if (n > INT_MAX) return INT_MAX;
    if (n < INT_MIN) return INT_MIN;
    return static_cast<int>(n);
}

#ifndef _WIN32
bool IsUnder(const std::string& path, std::string_view root) {
    return path.compare(0, root.size(), root) == 0 &&
           (path.size() == root.size() || path[root.size()] == '/');
}

std::string WithoutTrailingSlashes(std::string path) {
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path;
}

// The folder with its symbolic links resolved (/bin is /usr/bin on most
// systems), or as given when it cannot be resolved.
std::string RealFolder(const std::string& dir) {
    if (char* real = ::realpath(dir.c_str(), nullptr)) {
        std::string s(real);
        std::free(real);
        return s;
    }
    const std::string s = WithoutTrailingSlashes(dir);
    return s.empty() ? "/" : s;
}

#endif

}  // namespace

std::string GetAppDirectory() {
    std::string dir = platform::ExecutableDirectory();
    if (dir.empty()) return dir;
#ifdef _WIN32
    dir.push_back('\\');
#else
    dir.push_back('/');
#endif
    return dir;
}

std::string ReadSetting(std::string_view section, std::string_view key, const std::string& file) {
    std::string value = platform::ReadIniValue(file, section, key).value_or(std::string());
    if (value.size() > kMaxValueLength) value.resize(kMaxValueLength);
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == 'n') {
            out.push_back('\n');
            ++i;
        } else {
            out.push_back(value[i]);
        }
    }
    return out;
}

int WriteSetting(std::string_view section, std::string_view key, const std::string& file,
                 std::string_view value) {
    return platform::WriteIniValue(file, section, key, value) ? 1 : 0;
}

int ReadPortSetting(const std::string& iniFile) {
    const int n = ParseLeadingInt(ReadSetting("CONFIG", "COM", iniFile));
    return n >= 1 && n <= 255 ? n : 0;
}

int WritePortSetting(const std::string& iniFile, int port) {
    char text[16];
    std::snprintf(text, sizeof(text), "%d", port);
    return WriteSetting("CONFIG", "COM", iniFile, text);
}

#ifdef _WIN32
bool IsPortableFolder(const std::string&) { return true; }

std::string UserSettingsFolder() { return {}; }
#else
bool IsPortableFolder(const std::string& dir) {
    const std::string real = RealFolder(dir.empty() ? "." : dir);
    for (std::string_view system : {"/usr", "/bin", "/sbin"})
        if (IsUnder(real, system)) return false;
#ifdef TARVOK_INSTALL_BINDIR
    if (real == RealFolder(TARVOK_INSTALL_BINDIR)) return false;
#endif
    // access() asks for the real user: what matters is who runs the program.
    return ::access(real.c_str(), W_OK | X_OK) == 0;
}

std::string UserSettingsFolder() {
    const std::string config = platform::UserConfigHome();
    return config.empty() ? std::string() : config + "/tarvok/";
}
#endif

SettingsLocation LocateSettings(const std::string& appDir) {
    if (IsPortableFolder(appDir)) return {appDir + "com.ini", false};
    const std::string folder = UserSettingsFolder();
    if (folder.empty()) return {appDir + "com.ini", false};
    return {folder + "com.ini", true};
}

namespace {

constexpr std::string_view kRecordsSection = "RECORDS";

bool MakeUserFolder(const SettingsLocation& where) {
#ifndef _WIN32
    if (where.userFolder) {
        const size_t slash = where.path.rfind('/');
        if (slash != std::string::npos &&
            !platform::MakePrivateFolders(where.path.substr(0, slash)))
            return false;
    }
#else
    (void)where;
#endif
    return true;
}

std::string Quoted(std::string text) {
    for (char& c : text)
        if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    return "\"" + text + "\"";
}

}  // namespace

int SavePortSetting(const SettingsLocation& where, int port) {
    if (!MakeUserFolder(where)) return 0;
    return WritePortSetting(where.path, port);
}

std::string CapText(std::string text, int max) {
    int characters = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        // A character begins at every byte that does not continue one.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (characters++ == max) {
            text.resize(i);
            break;
        }
    }
    return text;
}

engine::RecordSettings ReadRecordSettings(const std::string& iniFile) {
    engine::RecordSettings s;
    const auto read = [&](std::string_view key) {
        return platform::ReadIniValue(iniFile, kRecordsSection, key).value_or(std::string());
    };
    s.operatorName = CapText(read("OPERATOR"), kMaxRecordTextLength);
    s.referenceMeter = CapText(read("REFERENCE_METER"), kMaxRecordTextLength);
    if (!engine::ParseTolerance(read("TOLERANCE"), &s.tolerancePercentOfSpan))
        s.tolerancePercentOfSpan = engine::kDefaultTolerancePercentOfSpan;
    s.meterModel = CapText(read("METER_MODEL"), kMaxRecordTextLength);
    s.meterSerial = CapText(read("METER_SERIAL"), kMaxRecordTextLength);
    // A due date that is no date reads as none: the check before a
    // calibration then names it as missing.
    std::chrono::year_month_day due;
    if (engine::ParseDate(read("METER_DUE"), &due)) s.meterDue = engine::FormatDate(due);
    if (!engine::ParseAccuracyPercent(read("METER_ACCURACY_PERCENT"), &s.meterAccuracyPercent))
        s.meterAccuracyPercent = 0.0;
    if (!engine::ParseAccuracyUa(read("METER_ACCURACY_UA"), &s.meterAccuracyUa))
        s.meterAccuracyUa = 0.0;
    if (!engine::ParsePlausibility(read("PLAUSIBILITY"), &s.plausibilityPercentOfSpan))
        s.plausibilityPercentOfSpan = engine::kDefaultPlausibilityPercentOfSpan;
    if (!engine::ParseIntervalMonths(read("INTERVAL_MONTHS"), &s.intervalMonths))
        s.intervalMonths = engine::kDefaultIntervalMonths;
    return s;
}

int SaveRecordSettings(const SettingsLocation& where, const engine::RecordSettings& settings) {
    if (!MakeUserFolder(where)) return 0;
    const bool ok =
        platform::WriteIniValue(where.path, kRecordsSection, "OPERATOR",
                                Quoted(settings.operatorName)) &&
        platform::WriteIniValue(where.path, kRecordsSection, "REFERENCE_METER",
                                Quoted(settings.referenceMeter)) &&
        platform::WriteIniValue(where.path, kRecordsSection, "TOLERANCE",
                                engine::FormatTolerance(settings.tolerancePercentOfSpan)) &&
        platform::WriteIniValue(where.path, kRecordsSection, "METER_MODEL",
                                Quoted(settings.meterModel)) &&
        platform::WriteIniValue(where.path, kRecordsSection, "METER_SERIAL",
                                Quoted(settings.meterSerial)) &&
        platform::WriteIniValue(where.path, kRecordsSection, "METER_DUE", settings.meterDue) &&
        platform::WriteIniValue(where.path, kRecordsSection, "METER_ACCURACY_PERCENT",
                                engine::FormatTolerance(settings.meterAccuracyPercent)) &&
        platform::WriteIniValue(where.path, kRecordsSection, "METER_ACCURACY_UA",
                                engine::FormatTolerance(settings.meterAccuracyUa)) &&
        platform::WriteIniValue(where.path, kRecordsSection, "PLAUSIBILITY",
                                engine::FormatTolerance(settings.plausibilityPercentOfSpan)) &&
        platform::WriteIniValue(where.path, kRecordsSection, "INTERVAL_MONTHS",
                                std::to_string(settings.intervalMonths));
    return ok ? 1 : 0;
}

}  // namespace app
