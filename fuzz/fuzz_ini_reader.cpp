// Parses arbitrary bytes as an INI file, looks keys up and saves one: no
// crash, the saved value reads back, and the save changes one line or adds
// lines, leaving every other line as it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ini_file.h"

namespace {

constexpr std::string_view kBlanks = " \t\r\v\f";

// Lines with their '\n'; the last one may lack it.
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        const size_t n = nl == std::string_view::npos ? text.size() : nl + 1;
        lines.push_back(text.substr(0, n));
        text.remove_prefix(n);
    }
    return lines;
}

// What the profile API returns for a stored value.
std::string_view AsRead(std::string_view v) {
    const size_t first = v.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    v = v.substr(first, v.find_last_not_of(kBlanks) - first + 1);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v = v.substr(1, v.size() - 2);
    }
    return v;
}

bool OnlyOneLineChangedOrLinesAdded(std::string_view before, std::string_view after) {
    const auto a = Lines(before);
    const auto b = Lines(after);
    if (a.size() == b.size()) {
        int changed = 0;
        for (size_t i = 0; i < a.size(); ++i) changed += a[i] != b[i];
        return changed <= 1;
    }
    // Additions: the old lines appear in order; a last line may have gained
    // its line end.
    size_t j = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        while (j < b.size() && b[j] != a[i] && b[j].substr(0, a[i].size()) != a[i]) ++j;
        if (j == b.size()) return false;
        ++j;
    }
    return b.size() - a.size() <= 3;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first three lines name the section, the key and the value to save;
    // the rest is the file.
    std::string_view input(reinterpret_cast<const char*>(data), size);
    auto take = [&input]() {
        const size_t nl = input.find('\n');
        const std::string_view part = input.substr(0, nl);
        input.remove_prefix(nl == std::string_view::npos ? input.size() : nl + 1);
        return std::string(part.substr(0, 16));
    };
    const std::string section = take();
    const std::string key = take();
    const std::string value = take();
    const std::string_view content = input;

    platform::IniText ini(content);
    (void)ini.Get("CONFIG", "COM");
    (void)ini.Get(section, key);
    if (ini.Text() != content) std::abort();  // parsing alone changes nothing

    if (ini.Set(section, key, value)) {
        const std::string saved = ini.Text();
        const auto back = platform::IniText(saved).Get(section, key);
        if (!back || *back != AsRead(value)) std::abort();
        if (!OnlyOneLineChangedOrLinesAdded(content, saved)) std::abort();
    }
    return 0;
}
