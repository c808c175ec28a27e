#include "cli/stop_signals.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>

#include "serial/serial_link.h"

namespace cli {
namespace {

std::atomic<int> g_signal{0};
// Written by signal handlers.
static_assert(std::atomic<int>::is_always_lock_free);

// Guards the abort this module raises, so that it is lowered exactly once
// whichever of the signal's thread and the command's comes first.
std::mutex g_mutex;
bool g_cutShort = false;
bool g_abortRaised = false;
bool g_told = false;

// g_mutex held.
void UpdateAbort() {
    const bool wanted = g_cutShort && g_signal.load() != 0;
    if (wanted && !g_abortRaised)
        serial::RaiseAbort();
    else if (!wanted && g_abortRaised)
        serial::LowerAbort();
    g_abortRaised = wanted;
}

}  // namespace

void NoteStopSignal(int signal) {
    int none = 0;
    g_signal.compare_exchange_strong(none, signal);
}

void RequestStop(int signal) {
    NoteStopSignal(signal);
    std::lock_guard lock(g_mutex);
    UpdateAbort();
    if (g_told) return;
    g_told = true;
    // At once, from this thread: the command's may be waiting on the line.
    std::fprintf(stderr, "tarvok-hart: %s: stopping (again to quit at once)\n",
                 StopSignalName(g_signal.load()).c_str());
    std::fflush(stderr);
}

int StopSignal() { return g_signal.load(); }

void SetCutShortOnStop(bool on) {
    std::lock_guard lock(g_mutex);
    g_cutShort = on;
    UpdateAbort();
}

void ClearStop() {
    std::lock_guard lock(g_mutex);
    g_signal.store(0);
    g_told = false;
    UpdateAbort();
}

std::string StopSignalName(int signal) {
    if (signal == SIGINT) return "SIGINT";
    if (signal == SIGTERM) return "SIGTERM";
#ifdef SIGHUP
    if (signal == SIGHUP) return "SIGHUP";
#endif
#ifdef SIGBREAK
    if (signal == SIGBREAK) return "SIGBREAK";
#endif
    return "signal " + std::to_string(signal);
}

}  // namespace cli
