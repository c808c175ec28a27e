// Serial line and TCP socket: LF-ended lines on a byte stream.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "meter/line_buffer.h"
#include "meter/posix_wait.h"
#include "meter/transport_factory.h"
#include "platform/clock.h"

namespace meter {
namespace {

IoResult Gone(std::string why) { return {IoStatus::kGone, std::move(why)}; }

IoResult FromReady(Ready r, const char* what) {
    switch (r) {
        case Ready::kReady:
            return {};
        case Ready::kTimeout:
            return {IoStatus::kTimeout, what};
        case Ready::kCancelled:
            return {IoStatus::kCancelled, "cancelled"};
        case Ready::kGone:
            break;
    }
    return Gone("hang-up");
}

class StreamTransport : public Transport {
public:
    ~StreamTransport() override { CloseFd(); }

    void Close() override { CloseFd(); }

    IoResult Send(std::string_view command, uint32_t timeoutMs) override {
        if (fd_ < 0) return Gone("not open");
        std::string line(command);
        line += '\n';
        const uint32_t start = platform::Tick();
        size_t done = 0;
        while (done < line.size()) {
            const ssize_t n =
                socket_ ? ::send(fd_, line.data() + done, line.size() - done, MSG_NOSIGNAL)
                        : ::write(fd_, line.data() + done, line.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) {
                const IoResult r = FromReady(WaitFor(fd_, POLLOUT, start, timeoutMs, cancel_),
                                             "the meter takes no input");
                if (r.status != IoStatus::kOk) return r;
                continue;
            }
            return Gone(ErrnoText(n < 0 ? errno : EIO));
        }
        return {};
    }

    IoResult Receive(uint32_t timeoutMs) override {
        if (fd_ < 0) return Gone("not open");
        const uint32_t start = platform::Tick();
        for (;;) {
            IoResult r;
            if (lines_.TakeLine(&r.text)) return r;
            r = FromReady(WaitFor(fd_, POLLIN, start, timeoutMs, cancel_), "no answer");
            if (r.status == IoStatus::kOk) r = Fill();
            if (r.status != IoStatus::kOk) return r;
        }
    }

    void DiscardInput() override {
        if (fd_ >= 0) (void)Fill();
        lines_.Clear();
    }

    void Cancel() override { cancel_.Raise(); }
    void ResetCancel() override { cancel_.Reset(); }

protected:
    // Takes over an open, non-blocking descriptor.
    void Adopt(int fd, bool socket) {
        fd_ = fd;
        socket_ = socket;
        lines_.Clear();
    }
    CancelPipe& CancelSignal() { return cancel_; }

    virtual void ReleaseFd(int fd) { ::close(fd); }

private:
    // Reads everything queued. kGone at the end of the stream.
    IoResult Fill() {
        char buffer[512];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof(buffer));
            if (n > 0) {
                lines_.Append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) return Gone(socket_ ? "connection closed by the meter" : "hang-up");
            if (errno == EINTR) continue;
            if (errno == EAGAIN) return {};
            return Gone(ErrnoText(errno));
        }
    }

    void CloseFd() {
        if (fd_ < 0) return;
        ReleaseFd(fd_);
        fd_ = -1;
        lines_.Clear();
    }

    int fd_ = -1;
    bool socket_ = false;
    LineBuffer lines_;
    CancelPipe cancel_;
};

speed_t SpeedOf(int baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B9600;
    }
}

class SerialTransport final : public StreamTransport {
public:
    SerialTransport(std::string path, int baud) : path_(std::move(path)), baud_(baud) {}
    ~SerialTransport() override { Close(); }

    IoResult Open(uint32_t) override {
        Close();
        struct stat st {};
        if (::stat(path_.c_str(), &st) != 0) return Gone(ErrnoText(errno));
        // A FIFO would block the open; another kind of device has effects of its own.
        if (!S_ISCHR(st.st_mode)) return Gone("not a serial port");
        const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            const int e = errno;
            std::string why = ErrnoText(e);
            if (e == EACCES) why += " (add the user to the dialout group)";
            return Gone(why);
        }
        std::string why;
        if (!::isatty(fd)) {
            why = "not a serial port";
        } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            why = ErrnoText(errno);
        } else if (!ConfigureLine(fd)) {
            why = "cannot set the line: " + ErrnoText(errno);
        }
        if (!why.empty()) {
            ::close(fd);
            return Gone(why);
        }
        (void)::ioctl(fd, TIOCEXCL);
        (void)::tcflush(fd, TCIOFLUSH);
        Adopt(fd, false);
        return {};
    }

private:
    bool ConfigureLine(int fd) const {
        termios t{};
        if (::tcgetattr(fd, &t) != 0) return false;
        ::cfmakeraw(&t);
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
#ifdef CRTSCTS
        t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
        t.c_cflag |= CS8 | CREAD | CLOCAL;
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
        // VMIN 1: an empty queue reads as EAGAIN, so a 0 is a real end.
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        const speed_t speed = SpeedOf(baud_);
        return ::cfsetispeed(&t, speed) == 0 && ::cfsetospeed(&t, speed) == 0 &&
               ::tcsetattr(fd, TCSANOW, &t) == 0;
    }

    void ReleaseFd(int fd) override {
        // The flag belongs to the tty, not to this descriptor.
        (void)::ioctl(fd, TIOCNXCL);
        ::close(fd);
    }

    std::string path_;
    int baud_;
};

class TcpTransport final : public StreamTransport {
public:
    TcpTransport(std::string host, uint16_t port) : host_(std::move(host)), port_(port) {}
    ~TcpTransport() override { Close(); }

    IoResult Open(uint32_t timeoutMs) override {
        Close();
        const uint32_t start = platform::Tick();
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* found = nullptr;
        const std::string port = std::to_string(port_);
        // Name resolution blocks and cannot be cancelled; an address does not resolve.
        if (const int rc = ::getaddrinfo(host_.c_str(), port.c_str(), &hints, &found); rc != 0)
            return Gone("cannot resolve " + host_ + ": " + ::gai_strerror(rc));
        IoResult result = Gone("no address");
        for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
            result = Connect(*a, start, timeoutMs);
            if (result.status == IoStatus::kOk || result.status == IoStatus::kCancelled) break;
        }
        ::freeaddrinfo(found);
        return result;
    }

private:
    IoResult Connect(const addrinfo& a, uint32_t start, uint32_t timeoutMs) {
        const int fd =
            ::socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol);
        if (fd < 0) return Gone(ErrnoText(errno));
        int error = 0;
        if (::connect(fd, a.ai_addr, a.ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                const Ready r = WaitFor(fd, POLLOUT, start, timeoutMs, CancelSignal());
                if (r == Ready::kTimeout || r == Ready::kCancelled) {
                    ::close(fd);
                    return FromReady(r, "no connection");
                }
                socklen_t length = sizeof(error);
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
            }
        }
        if (error != 0) {
            ::close(fd);
            return Gone(ErrnoText(error));
        }
        // Commands are a few bytes each: send them at once.
        const int on = 1;
        (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        Adopt(fd, true);
        return {};
    }

    std::string host_;
    uint16_t port_;
};

}  // namespace

std::unique_ptr<Transport> CreateSerialTransport(const std::string& path, int baud) {
    return std::make_unique<SerialTransport>(path, baud);
}

std::unique_ptr<Transport> CreateTcpTransport(const std::string& host, uint16_t port) {
    return std::make_unique<TcpTransport>(host, port);
}

}  // namespace meter
