#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <csignal>
#include <cstring>

#include "app/signal_notifier.h"

namespace app {
namespace {

int g_signalSockets[2] = {-1, -1};

extern "C" void OnTerminationSignal(int) {
    const int saved = errno;
    const char byte = 1;
    // Async-signal-safe: a full socket already has a close pending.
    (void)!::write(g_signalSockets[0], &byte, 1);
    errno = saved;
}

bool InstallHandler(int signal) {
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(signal, &action, nullptr) == 0;
}

}  // namespace

SignalNotifier::SignalNotifier(std::function<void()> onSignal, QObject* parent)
    : QObject(parent), m_onSignal(std::move(onSignal)) {
    if (g_signalSockets[0] < 0 &&
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalSockets) != 0)
        return;
    ::fcntl(g_signalSockets[0], F_SETFL, ::fcntl(g_signalSockets[0], F_GETFL) | O_NONBLOCK);
    m_notifier = new QSocketNotifier(g_signalSockets[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        const ssize_t n = ::read(g_signalSockets[1], bytes, sizeof(bytes));
        if (n > 0 && m_onSignal) m_onSignal();
    });
    m_installed = InstallHandler(SIGTERM) && InstallHandler(SIGINT);
}

SignalNotifier::~SignalNotifier() {
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = SIG_DFL;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

}  // namespace app
