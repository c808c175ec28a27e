#include "platform/trace.h"

#include <atomic>
#include <cstdlib>
#include <string>

namespace platform {
namespace {

// -1: not decided yet, read the environment on first use.
std::atomic<int> g_traceOn{-1};

}  // namespace

bool TraceEnabled() {
    int on = g_traceOn.load(std::memory_order_relaxed);
    if (on < 0) {
        const char* env = std::getenv("TARVOK_TRACE");
        on = (env != nullptr && *env != '\0' && std::string_view(env) != "0") ? 1 : 0;
        int expected = -1;
        g_traceOn.compare_exchange_strong(expected, on);
        on = g_traceOn.load(std::memory_order_relaxed);
    }
    return on == 1;
}

void EnableTrace(bool on) { g_traceOn.store(on ? 1 : 0); }

void Trace(std::string_view text) {
    if (TraceEnabled()) WriteTraceText(text);
}

void TraceHex(std::string_view prefix, const uint8_t* data, size_t length) {
    if (!TraceEnabled()) return;
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string line(prefix);
    line.reserve(prefix.size() + length * 3 + 1);
    for (size_t i = 0; i < length; ++i) {
        line += ' ';
        line += kHex[data[i] >> 4];
        line += kHex[data[i] & 0x0F];
    }
    line += '\n';
    WriteTraceText(line);
}

}  // namespace platform
