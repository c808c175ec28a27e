#include "platform/trace.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/wall_clock.h"

namespace platform {
namespace {

// -1: not decided yet, read the environment on first use.
std::atomic<int> g_traceOn{-1};

bool SwitchOn() {
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

struct Listeners {
    // Held while the listeners are called, so that a removal waits for a
    // call in progress.
    std::mutex mutex;
    std::vector<std::pair<int, TraceListener>> list;
    int nextId = 1;
};

// Never destroyed: a port closed at exit may still trace after static
// objects have gone.
Listeners& TheListeners() {
    static Listeners* const listeners = new Listeners;
    return *listeners;
}

// Read without the lock on every trace call: most of the time nobody listens.
std::atomic<int> g_listenerCount{0};

thread_local std::string t_label;

void Emit(std::string line) {
    if (g_listenerCount.load() > 0) {
        Listeners& l = TheListeners();
        std::lock_guard lock(l.mutex);
        for (const auto& [id, listener] : l.list) listener(line);
    }
    if (SwitchOn()) {
        line += '\n';
        // One write a line, so that lines of different threads do not mix.
        WriteTraceText(line);
    }
}

std::string Stamp() { return FormatTimeOfDay(LocalNow()); }

}  // namespace

bool TraceEnabled() { return g_listenerCount.load() > 0 || SwitchOn(); }

void EnableTrace(bool on) { g_traceOn.store(on ? 1 : 0); }

void Trace(std::string_view text) {
    if (!TraceEnabled()) return;
    while (!text.empty() && (text.front() == '\n' || text.front() == '\r')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    std::string line = Stamp();
    line += ' ';
    line += text;
    Emit(std::move(line));
}

void TraceHex(std::string_view prefix, const uint8_t* data, size_t length) {
    if (!TraceEnabled()) return;
    TraceHex(prefix, t_label, data, length);
}

void TraceHex(std::string_view prefix, std::string_view label, const uint8_t* data, size_t length) {
    if (!TraceEnabled()) return;
    if (!prefix.empty() && prefix.back() == ':') prefix.remove_suffix(1);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string line = Stamp();
    line.reserve(line.size() + prefix.size() + label.size() + length * 3 + 2);
    line += ' ';
    line += prefix;
    if (!label.empty()) {
        line += ' ';
        line += label;
    }
    for (size_t i = 0; i < length; ++i) {
        line += ' ';
        line += kHex[data[i] >> 4];
        line += kHex[data[i] & 0x0F];
    }
    Emit(std::move(line));
}

TraceLabel::TraceLabel(std::string label) : previous_(std::exchange(t_label, std::move(label))) {}

TraceLabel::~TraceLabel() { t_label = std::move(previous_); }

int AddTraceListener(TraceListener listener) {
    if (!listener) return 0;
    Listeners& l = TheListeners();
    std::lock_guard lock(l.mutex);
    const int id = l.nextId++;
    l.list.emplace_back(id, std::move(listener));
    g_listenerCount.store(static_cast<int>(l.list.size()));
    return id;
}

void RemoveTraceListener(int id) {
    Listeners& l = TheListeners();
    std::lock_guard lock(l.mutex);
    std::erase_if(l.list, [id](const auto& entry) { return entry.first == id; });
    g_listenerCount.store(static_cast<int>(l.list.size()));
}

}  // namespace platform
