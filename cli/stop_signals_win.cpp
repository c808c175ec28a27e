#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdlib>

#include "cli/stop_signals.h"

namespace cli {
namespace {

std::atomic<int> g_received{0};

// The console's events as the signals they stand for: Ctrl+C and
// Ctrl+Break as the C runtime numbers them, the console closed as a hang-up
// (SIGHUP's number), the session ending as SIGTERM.
int SignalOf(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            return SIGINT;
        case CTRL_BREAK_EVENT:
            return SIGBREAK;
        case CTRL_CLOSE_EVENT:
            return 1;
        default:
            return SIGTERM;
    }
}

// Runs on a thread the system starts for it, so it may do what a POSIX
// handler may not.
BOOL WINAPI OnControlEvent(DWORD event) {
    const int signal = SignalOf(event);
    if (g_received.fetch_add(1) > 0) std::_Exit(128 + signal);
    RequestStop(signal);
    // The system ends the process as soon as this returns from these three:
    // wait here instead, and the tool's own exit ends it (the system's
    // grace of a few seconds still applies).
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::Sleep(INFINITE);
    return TRUE;
}

}  // namespace

bool InstallStopHandlers() { return ::SetConsoleCtrlHandler(OnControlEvent, TRUE) != 0; }

}  // namespace cli
