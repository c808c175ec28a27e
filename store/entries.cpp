#include "store/entries.h"

namespace store {
namespace {

constexpr struct {
    Verdict verdict;
    const char* text;
} kVerdicts[] = {
    {Verdict::kEmpty, "empty"}, {Verdict::kNoHart, "no-hart"}, {Verdict::kPass, "pass"},
    {Verdict::kFail, "fail"},   {Verdict::kError, "error"},
};

}  // namespace

const char* VerdictText(Verdict verdict) {
    for (const auto& v : kVerdicts)
        if (v.verdict == verdict) return v.text;
    return "error";
}

bool ParseVerdict(std::string_view text, Verdict* verdict) {
    for (const auto& v : kVerdicts) {
        if (text == v.text) {
            *verdict = v.verdict;
            return true;
        }
    }
    return false;
}

}  // namespace store
