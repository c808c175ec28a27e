#include "app/settings.h"

#include <climits>
#include <cstdio>

#include "platform/exe_dir.h"
#include "platform/ini_file.h"

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

}  // namespace app
