#include "meter/nr3.h"

#include <charconv>
#include <cmath>

namespace meter {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

size_t SkipDigits(std::string_view s, size_t at) {
    while (at < s.size() && IsDigit(s[at])) ++at;
    return at;
}

}  // namespace

Number ParseNumber(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);

    // The syntax is checked here: from_chars alone would take "nan", "inf"
    // and a number followed by anything.
    size_t at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    const size_t mantissa = at;
    const size_t intEnd = SkipDigits(text, at);
    size_t digits = intEnd - at;
    at = intEnd;
    if (at < text.size() && text[at] == '.') {
        const size_t fracEnd = SkipDigits(text, at + 1);
        digits += fracEnd - at - 1;
        at = fracEnd;
    }
    if (digits == 0) return {};
    bool negativeExponent = false;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-'))
            negativeExponent = text[at++] == '-';
        const size_t expEnd = SkipDigits(text, at);
        if (expEnd == at) return {};
        at = expEnd;
    }
    if (at != text.size()) return {};

    // from_chars takes no '+'; the sign is put back below.
    double magnitude = 0.0;
    const char* first = text.data() + mantissa;
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(first, last, magnitude);
    if (end != last) return {};
    if (ec == std::errc::result_out_of_range) {
        // Too large is an overload; too small is zero.
        if (negativeExponent) return {Number::kValue, negative ? -0.0 : 0.0};
        return {Number::kOverload, negative ? -HUGE_VAL : HUGE_VAL};
    }
    if (ec != std::errc()) return {};
    const double value = negative ? -magnitude : magnitude;
    if (magnitude >= kOverloadMark) return {Number::kOverload, value};
    return {Number::kValue, value};
}

}  // namespace meter
