#include "serial/posix_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/capability.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "serial/port_factory.h"

namespace serial {
namespace {

// A write that the driver will not take within this many clock milliseconds
// is abandoned: at 1200 baud a whole frame leaves in a fraction of that.
constexpr uint32_t kWriteBudgetMs = 1000;

constexpr short kGoneEvents = POLLHUP | POLLERR | POLLNVAL;

// The descriptor whose tty carries this program's exclusive-use flag, for
// ReleaseExclusiveUseForExit; -1 for none.
std::atomic<int> g_exclusiveFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

int PollTimeoutMs(uint32_t clockMs) {
    const long long us = platform::RealDuration(clockMs).count();
    return static_cast<int>(std::clamp((us + 999) / 1000, 1LL, static_cast<long long>(INT_MAX)));
}

// Pseudo-terminals and some adapters have no modem lines; their ioctls fail
// with ENOTTY or EINVAL. The port still works, so that is no failure.
void ChangeModemLines(int fd, int bits, bool on) {
    (void)::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

// Pseudo-terminals take the settings but drop PARENB, and the C library
// then reports EINVAL for a change it did make (depending on what was set
// before). The line is as asked in every other respect: that is no failure.
bool OnlyParityDropped(int fd, const termios& asked) {
    termios now{};
    if (errno != EINVAL || ::tcgetattr(fd, &now) != 0) return false;
    constexpr tcflag_t kParity = PARENB | PARODD;
    return (now.c_cflag & ~kParity) == (asked.c_cflag & ~kParity) && now.c_iflag == asked.c_iflag &&
           now.c_lflag == asked.c_lflag && ::cfgetospeed(&now) == ::cfgetospeed(&asked);
}

bool SetNonBlockingCloseOnExec(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
           ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// The one place that reads meaning into an errno of finding, opening or
// locking a port.
OpenError OpenErrorOf(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV:
        case EIO:  // a serial driver without its hardware
            return OpenError::kNoSuchDevice;
        case EBUSY:        // TIOCEXCL
        case EWOULDBLOCK:  // flock
            return OpenError::kInUse;
        case EACCES:
        case EPERM:
            return OpenError::kPermissionDenied;
        case EISDIR:
        case ENOTTY:
            return OpenError::kNotSerialPort;
        default:
            return OpenError::kOther;
    }
}

// Linux lists each character device that has a class under /sys/dev/char.
// Pseudo-terminal slaves are not there, nor is anything without sysfs:
// those are opened and asked (isatty), which no terminal minds.
bool MayBeTerminal(dev_t device) {
    char link[64];
    std::snprintf(link, sizeof(link), "/sys/dev/char/%u:%u/subsystem", ::major(device),
                  ::minor(device));
    char target[256];
    const ssize_t n = ::readlink(link, target, sizeof(target) - 1);
    if (n <= 0) return true;
    target[n] = '\0';
    const char* name = std::strrchr(target, '/');
    return std::strcmp(name != nullptr ? name + 1 : target, "tty") == 0;
}

// What the port entry is, before anything opens it: a FIFO would block an
// open for reading on some systems, and opening a device of another kind
// (a watchdog, a tape) has effects of its own.
OpenError CheckDeviceNode(const std::string& device) {
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) return OpenErrorOf(errno);
    if (!S_ISCHR(st.st_mode) || !MayBeTerminal(st.st_rdev)) return OpenError::kNotSerialPort;
    return OpenError::kNone;
}

#ifdef __linux__
// Root passes another holder's TIOCEXCL, and the driver's open then raises
// DTR and RTS on that holder's line before anything could look at the flag.
// With CAP_SYS_ADMIN out of this thread's effective set for the open, the
// kernel refuses (EBUSY) as it does for anyone else, before the driver runs.
// Capabilities are per thread, so no other thread of the program notices.
class ExclusiveUseRespected {
public:
    ExclusiveUseRespected() {
        header_.version = _LINUX_CAPABILITY_VERSION_3;
        header_.pid = 0;  // this thread
        if (::syscall(SYS_capget, &header_, saved_) != 0) return;
        const unsigned index = CAP_TO_INDEX(CAP_SYS_ADMIN);
        const unsigned mask = CAP_TO_MASK(CAP_SYS_ADMIN);
        if ((saved_[index].effective & mask) == 0) return;
        __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
        lowered[index].effective &= ~mask;
        lowered_ = ::syscall(SYS_capset, &header_, lowered) == 0;
    }
    ~ExclusiveUseRespected() {
        // Still in the permitted set, so it can always be taken back.
        if (lowered_) (void)::syscall(SYS_capset, &header_, saved_);
    }
    ExclusiveUseRespected(const ExclusiveUseRespected&) = delete;
    ExclusiveUseRespected& operator=(const ExclusiveUseRespected&) = delete;

private:
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_[2]{};
    bool lowered_ = false;
};
#else
struct ExclusiveUseRespected {};
#endif

// Opens a terminal that nobody holds: not held with TIOCEXCL (refused by
// the kernel, root included) nor locked with flock (another instance of
// this program, or a process of it that ignores TIOCEXCL). The descriptor
// comes back locked; nothing else about the terminal has been touched.
// *fd is -1 unless the result is kNone.
OpenError OpenFreeTerminal(const std::string& device, int* fd) {
    *fd = -1;
    if (const OpenError e = CheckDeviceNode(device); e != OpenError::kNone) return e;
    int f;
    {
        ExclusiveUseRespected respected;
        f = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    if (f < 0) return OpenErrorOf(errno);
    OpenError e = OpenError::kNone;
    int exclusive = 0;
    if (!::isatty(f)) {
        e = OpenError::kNotSerialPort;
    } else if (::ioctl(f, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        // Only where the capability could not be lowered.
        e = OpenError::kInUse;
    } else if (::flock(f, LOCK_EX | LOCK_NB) != 0) {
        // TIOCEXCL alone does not stop a second open in this process.
        e = OpenErrorOf(errno);
    }
    if (e != OpenError::kNone) {
        ::close(f);
        return e;
    }
    *fd = f;
    return OpenError::kNone;
}

}  // namespace

PosixPort::PosixPort() {
    int fds[2];
    if (::pipe(fds) != 0) return;
    if (!SetNonBlockingCloseOnExec(fds[0]) || !SetNonBlockingCloseOnExec(fds[1])) {
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    cancelRead_ = fds[0];
    cancelWrite_ = fds[1];
}

PosixPort::~PosixPort() {
    Close();
    if (cancelRead_ >= 0) ::close(cancelRead_);
    if (cancelWrite_ >= 0) ::close(cancelWrite_);
}

bool PosixPort::Open(const std::string& device) {
    if (cancelRead_ < 0) {
        lastOpenError_ = OpenError::kOther;
        return false;
    }
    {
        // An open port may have a wait pending, which the exclusive lock
        // would wait for.
        std::shared_lock check(lifeMutex_);
        if (fd_ >= 0) {
            lastOpenError_ = OpenError::kInUse;
            return false;
        }
    }
    std::unique_lock life(lifeMutex_);
    if (fd_ >= 0) {
        lastOpenError_ = OpenError::kInUse;
        return false;
    }

    int fd;
    const OpenError e = OpenFreeTerminal(device, &fd);
    lastOpenError_ = e;
    if (e != OpenError::kNone) return false;
    // Later openers are refused (root too, if it respects the flag as the
    // probe and this open do); the flock stops the rest of this program.
    (void)::ioctl(fd, TIOCEXCL);
    g_exclusiveFd.store(fd);
    // Opening a tty raises DTR and RTS; on an RTS-keyed modem that puts a
    // carrier on the loop until the link takes the lines over.
    ChangeModemLines(fd, TIOCM_DTR | TIOCM_RTS, false);
    (void)::tcflush(fd, TCIOFLUSH);

    fd_ = fd;
    vanished_ = false;
    closing_ = false;
    {
        std::lock_guard lock(readMutex_);
        decoder_.Reset();
        decoded_.clear();
        decodedHead_ = 0;
    }
    DrainCancel();  // a cancel from before this open concerns no wait of it
    return true;
}

// Opens and closes, nothing in between: no TIOCEXCL, no lines, no flush,
// so nothing is left changed. A terminal held as this program holds its
// port (TIOCEXCL, flock) is refused before its driver runs. Any open that
// reaches the driver raises DTR and RTS; on a terminal nobody holds, HUPCL
// (the default) drops them again at the close, as the last closer left
// them. Restoring them by hand instead would need to know what they were
// before the open, which nothing tells, and would move the lines of a
// holder that claimed nothing and so cannot be seen.
OpenError PosixPort::Probe(const std::string& device) {
    int fd;
    const OpenError e = OpenFreeTerminal(device, &fd);
    if (e == OpenError::kNone) ::close(fd);
    return e;
}

void PosixPort::Close() {
    closing_ = true;
    CancelWait();
    std::unique_lock life(lifeMutex_);
    if (fd_ < 0) return;
    // The exclusive flag belongs to the tty, not to this descriptor: left
    // set, it would keep refusing opens while anyone else holds the tty.
    int held = fd_;
    g_exclusiveFd.compare_exchange_strong(held, -1);
    (void)::ioctl(fd_, TIOCNXCL);
    ::close(fd_);  // releases the flock with the description
    fd_ = -1;
    std::lock_guard lock(readMutex_);
    decoder_.Reset();
    decoded_.clear();
    decodedHead_ = 0;
}

bool PosixPort::IsOpen() const {
    std::shared_lock life(lifeMutex_);
    return fd_ >= 0;
}

bool PosixPort::ConfigureLine() {
    std::shared_lock life(lifeMutex_);
    if (fd_ < 0) return false;
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return false;
    ::cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB);
#ifdef CRTSCTS
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    t.c_cflag |= CS8 | PARENB | PARODD | CREAD | CLOCAL;
    // INPCK|PARMRK without IGNPAR marks errored characters in the stream
    // (and doubles real 0xFF bytes); the decoder turns the marks into 'F'.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNPAR | IGNBRK | BRKINT | ISTRIP | IXON | IXOFF | IXANY);
    t.c_iflag |= INPCK | PARMRK;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, B1200) != 0 || ::cfsetospeed(&t, B1200) != 0) return false;
    if (::tcsetattr(fd_, TCSANOW, &t) != 0 && !OnlyParityDropped(fd_, t)) return false;
    ChangeModemLines(fd_, TIOCM_DTR, true);
    return true;
}

// termios has no driver-toggled RTS: it has been the program's from the open.
bool PosixPort::ReleaseRts() { return IsOpen(); }

void PosixPort::SetModemLines(int bits, bool on) {
    std::shared_lock life(lifeMutex_);
    if (fd_ >= 0) ChangeModemLines(fd_, bits, on);
}

void PosixPort::SetDtr(bool on) { SetModemLines(TIOCM_DTR, on); }

void PosixPort::SetRts(bool on) { SetModemLines(TIOCM_RTS, on); }

bool PosixPort::CarrierDetect() {
    std::shared_lock life(lifeMutex_);
    if (fd_ < 0) return false;
    int bits = 0;
    if (::ioctl(fd_, TIOCMGET, &bits) != 0) return false;
    return (bits & TIOCM_CAR) != 0;
}

size_t PosixPort::QueuedInput() {
    std::shared_lock life(lifeMutex_);
    if (fd_ < 0 || vanished_) return 0;
    std::lock_guard lock(readMutex_);
    // FIONREAD counts escape bytes too, so this may overstate by a few;
    // a Read then simply returns less.
    size_t n = decoded_.size() - decodedHead_;
    int raw = 0;
    if (::ioctl(fd_, FIONREAD, &raw) == 0 && raw > 0) n += static_cast<size_t>(raw);
    return n;
}

long PosixPort::Read(uint8_t* buffer, size_t max) {
    std::shared_lock life(lifeMutex_);
    if (fd_ < 0 || vanished_) return -1;
    std::lock_guard lock(readMutex_);
    size_t count = 0;
    while (count < max) {
        if (decodedHead_ == decoded_.size()) {
            decoded_.clear();
            decodedHead_ = 0;
            const long raw = FillDecoded();
            if (raw < 0) return count > 0 ? static_cast<long>(count) : -1;
            if (raw == 0) break;
            continue;  // the raw bytes may all have been an unfinished escape
        }
        const size_t take = std::min(max - count, decoded_.size() - decodedHead_);
        std::memcpy(buffer + count, decoded_.data() + decodedHead_, take);
        decodedHead_ += take;
        count += take;
    }
    return static_cast<long>(count);
}

long PosixPort::FillDecoded() {
    uint8_t raw[256];
    for (;;) {
        const ssize_t n = ::read(fd_, raw, sizeof(raw));
        if (n > 0) {
            const size_t at = decoded_.size();
            decoded_.resize(at + static_cast<size_t>(n) + 1);
            decoded_.resize(at +
                            decoder_.Decode(raw, static_cast<size_t>(n), decoded_.data() + at));
            return static_cast<long>(n);
        }
        if (n == 0) {
            // With VMIN = VTIME = 0 an empty queue reads as 0 too; only a
            // hang-up tells the two apart.
            if (!HungUp()) return 0;
            vanished_ = true;
            return -1;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        vanished_ = true;  // EIO: the far end or the adapter is gone
        return -1;
    }
}

bool PosixPort::HungUp() {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & kGoneEvents) != 0;
}

long PosixPort::Write(const uint8_t* data, size_t length) {
    std::shared_lock life(lifeMutex_);
    if (fd_ < 0 || vanished_) return -1;
    if (length == 0) return 0;
    std::lock_guard lock(writeMutex_);
    const uint32_t start = platform::Tick();
    size_t total = 0;
    while (total < length) {
        const ssize_t n = ::write(fd_, data + total, length - total);
        if (n > 0) {
            total += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const uint32_t elapsed = platform::Tick() - start;
            if (elapsed >= kWriteBudgetMs) break;
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, PollTimeoutMs(kWriteBudgetMs - elapsed)) < 0 && errno != EINTR) break;
            if (p.revents & kGoneEvents) {
                vanished_ = true;
                break;
            }
            continue;
        }
        if (n < 0 && errno == EIO) vanished_ = true;
        break;
    }
    return total > 0 ? static_cast<long>(total) : -1;
}

void PosixPort::Purge(bool input, bool output) {
    std::shared_lock life(lifeMutex_);
    if (fd_ < 0 || (!input && !output)) return;
    (void)::tcflush(fd_, input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH);
    if (input) {
        std::lock_guard lock(readMutex_);
        decoder_.Reset();
        decoded_.clear();
        decodedHead_ = 0;
    }
}

WaitResult PosixPort::WaitForInput() {
    std::shared_lock life(lifeMutex_);
    if (fd_ < 0 || vanished_) return WaitResult::kVanished;
    {
        std::lock_guard lock(readMutex_);
        if (decodedHead_ < decoded_.size()) return WaitResult::kInput;
    }
    for (;;) {
        // Close wakes the wait through the pipe too; this catches a wait
        // that starts after Close has begun but before it takes the lock.
        if (closing_) return WaitResult::kCancelled;
        pollfd fds[2] = {{fd_, POLLIN, 0}, {cancelRead_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            vanished_ = true;
            return WaitResult::kVanished;
        }
        if (fds[1].revents != 0) {
            DrainCancel();
            return WaitResult::kCancelled;
        }
        // A hang-up reports itself on every poll from now on; remember it so
        // that the receive loop stops instead of spinning on it.
        if (fds[0].revents & kGoneEvents) {
            vanished_ = true;
            return WaitResult::kVanished;
        }
        if (fds[0].revents & POLLIN) return WaitResult::kInput;
    }
}

void PosixPort::CancelWait() {
    if (cancelWrite_ < 0) return;
    const uint8_t token = 1;
    // A full pipe (EAGAIN) is a cancel already pending.
    while (::write(cancelWrite_, &token, 1) < 0 && errno == EINTR) {
    }
}

void PosixPort::DrainCancel() {
    uint8_t sink[64];
    for (;;) {
        const ssize_t n = ::read(cancelRead_, sink, sizeof(sink));
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        return;
    }
}

std::unique_ptr<ComPort> CreateSystemPort() { return std::make_unique<PosixPort>(); }

void ReleaseExclusiveUseForExit() {
    const int fd = g_exclusiveFd.load();
    if (fd >= 0) (void)::ioctl(fd, TIOCNXCL);
}

}  // namespace serial
