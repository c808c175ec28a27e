#include "pseudo_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace e2e {
namespace {

using SteadyClock = std::chrono::steady_clock;

bool Fail(std::string* error, const std::string& what) {
    if (error != nullptr) *error = what + ": " + std::strerror(errno);
    return false;
}

int RemainingMs(SteadyClock::time_point end) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

PseudoTerminal::~PseudoTerminal() { Destroy(); }

bool PseudoTerminal::Create(const std::string& linkPath, std::string* error) {
    Destroy();
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return Fail(error, "posix_openpt");
    const char* name = nullptr;
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        (name = ::ptsname(master_)) == nullptr) {
        Destroy();
        return Fail(error, "pseudo-terminal setup");
    }
    slavePath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        Destroy();
        return Fail(error, "open " + slavePath_);
    }
    termios t{};
    if (::tcgetattr(slave_, &t) == 0) {
        ::cfmakeraw(&t);
        (void)::tcsetattr(slave_, TCSANOW, &t);
    }
    const int flags = ::fcntl(master_, F_GETFL);
    if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
        Destroy();
        return Fail(error, "fcntl");
    }
    if (!linkPath.empty()) {
        (void)::unlink(linkPath.c_str());
        if (::symlink(slavePath_.c_str(), linkPath.c_str()) != 0) {
            Destroy();
            return Fail(error, "symlink " + linkPath);
        }
        linkPath_ = linkPath;
    }
    return true;
}

void PseudoTerminal::Hangup() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
    if (slave_ >= 0) ::close(slave_);
    slave_ = -1;
}

void PseudoTerminal::Destroy() {
    Hangup();
    if (!linkPath_.empty()) (void)::unlink(linkPath_.c_str());
    linkPath_.clear();
    slavePath_.clear();
}

bool PseudoTerminal::Send(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{master_, POLLOUT, 0};
            (void)::poll(&p, 1, 100);
        } else {
            return false;
        }
    }
    return true;
}

std::vector<uint8_t> PseudoTerminal::Receive(size_t count, int timeoutMs) {
    std::vector<uint8_t> got;
    const auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < count && master_ >= 0) {
        pollfd p{master_, POLLIN, 0};
        const int left = RemainingMs(end);
        if (::poll(&p, 1, left) <= 0) {
            if (left == 0) break;
            continue;
        }
        uint8_t buffer[4096];
        const ssize_t n = ::read(master_, buffer, std::min(sizeof(buffer), count - got.size()));
        if (n > 0) got.insert(got.end(), buffer, buffer + n);
        if (n <= 0 && errno != EAGAIN && errno != EINTR) break;
    }
    return got;
}

std::vector<uint8_t> PseudoTerminal::Drain(int quietMs) {
    std::vector<uint8_t> got;
    for (;;) {
        const std::vector<uint8_t> more = Receive(1 << 20, quietMs);
        if (more.empty()) return got;
        got.insert(got.end(), more.begin(), more.end());
    }
}

}  // namespace e2e
