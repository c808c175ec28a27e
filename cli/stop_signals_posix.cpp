#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "cli/stop_signals.h"
#include "serial/posix_port.h"

namespace cli {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The handler writes each signal's number here; the watcher reads it and
// does what a handler may not (locks, the link's abort, stderr).
int g_pipe[2] = {-1, -1};
std::atomic<int> g_received{0};

extern "C" void OnStopSignal(int signal) {
    if (g_received.fetch_add(1) > 0) {
        // The second: at once, nothing put back.
        serial::ReleaseExclusiveUseForExit();
        ::_exit(128 + signal);
    }
    const int saved = errno;
    NoteStopSignal(signal);
    const auto byte = static_cast<unsigned char>(signal);
    (void)!::write(g_pipe[1], &byte, 1);
    errno = saved;
}

void Watch() {
    for (;;) {
        unsigned char byte = 0;
        const ssize_t n = ::read(g_pipe[0], &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        RequestStop(byte);
    }
}

bool Install() {
    if (::pipe2(g_pipe, O_CLOEXEC) != 0) return false;
    // The handler never blocks: one byte is all it ever writes.
    ::fcntl(g_pipe[1], F_SETFL, ::fcntl(g_pipe[1], F_GETFL) | O_NONBLOCK);
    try {
        // Blocked in read() for the life of the process, which ends it.
        std::thread(Watch).detach();
    } catch (const std::system_error&) {
        return false;
    }
    bool all = true;
    for (const int signal : kStopSignals) {
        struct sigaction action;
        std::memset(&action, 0, sizeof(action));
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        all = ::sigaction(signal, &action, nullptr) == 0 && all;
    }
    return all;
}

}  // namespace

bool InstallStopHandlers() {
    static std::once_flag once;
    static bool installed = false;
    std::call_once(once, [] { installed = Install(); });
    return installed;
}

}  // namespace cli
