#include "meter/posix_wait.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/clock.h"

namespace meter {
namespace {

int PollTimeoutMs(uint32_t clockMs) {
    const long long us = platform::RealDuration(clockMs).count();
    return static_cast<int>(std::clamp((us + 999) / 1000, 1LL, static_cast<long long>(INT_MAX)));
}

}  // namespace

CancelPipe::CancelPipe() {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return;
    read_ = fds[0];
    write_ = fds[1];
}

CancelPipe::~CancelPipe() {
    if (read_ >= 0) ::close(read_);
    if (write_ >= 0) ::close(write_);
}

void CancelPipe::Raise() {
    raised_ = true;
    const char token = 1;
    // A full pipe already wakes every wait.
    while (write_ >= 0 && ::write(write_, &token, 1) < 0 && errno == EINTR) {
    }
}

void CancelPipe::Reset() {
    raised_ = false;
    DrainStale();
}

void CancelPipe::DrainStale() {
    char sink[64];
    while (read_ >= 0) {
        const ssize_t n = ::read(read_, sink, sizeof(sink));
        if (n > 0 || (n < 0 && errno == EINTR)) continue;
        return;
    }
}

Ready WaitFor(int fd, short events, uint32_t startTick, uint32_t timeoutMs, CancelPipe& cancel) {
    for (;;) {
        if (cancel.Raised()) return Ready::kCancelled;
        const uint32_t elapsed = platform::Tick() - startTick;
        if (elapsed >= timeoutMs) return Ready::kTimeout;
        pollfd fds[2] = {{fd, events, 0}, {cancel.ReadFd(), POLLIN, 0}};
        const nfds_t count = cancel.ReadFd() >= 0 ? 2 : 1;
        const int n = ::poll(fds, count, PollTimeoutMs(timeoutMs - elapsed));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Ready::kGone;
        }
        if (n == 0) continue;  // the clock decides, above
        if (count == 2 && fds[1].revents != 0) {
            if (cancel.Raised()) return Ready::kCancelled;
            cancel.DrainStale();
        }
        // Data left before a hang-up is still read: the read reports the end.
        if (fds[0].revents & events) return Ready::kReady;
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return Ready::kGone;
    }
}

std::string ErrnoText(int error) {
    switch (error) {
        case ECONNRESET:
            return "connection reset";
        case EPIPE:
            return "connection closed by the meter";
        case ECONNREFUSED:
            return "connection refused";
        case EHOSTUNREACH:
            return "host unreachable";
        case ENETUNREACH:
            return "network unreachable";
        case ETIMEDOUT:
            return "timed out";
        case EIO:
            return "input/output error (unplugged?)";
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return "no such device";
        case EACCES:
        case EPERM:
            return "permission denied";
        case EBUSY:
        case EWOULDBLOCK:
            return "in use by another program";
        default:
            return std::strerror(error);
    }
}

}  // namespace meter
