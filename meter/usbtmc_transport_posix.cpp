// A USBTMC character device: the kernel's driver wraps each write into one
// device message and each read into one answer. The same transport also
// runs on a pseudo-terminal that stands in for the device in tests.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/usb/tmc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <string>

#include "meter/posix_wait.h"
#include "meter/transport_factory.h"
#include "platform/clock.h"

namespace meter {
namespace {

IoResult Gone(std::string why) { return {IoStatus::kGone, std::move(why)}; }

class UsbtmcTransport final : public Transport {
public:
    explicit UsbtmcTransport(std::string path) : path_(std::move(path)) {}
    ~UsbtmcTransport() override { Close(); }

    IoResult Open(uint32_t) override {
        Close();
        struct stat st {};
        if (::stat(path_.c_str(), &st) != 0) return Gone(ErrnoText(errno));
        if (!S_ISCHR(st.st_mode)) return Gone("not a device");
        fd_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            const int e = errno;
            std::string why = ErrnoText(e);
            if (e == EACCES) why += " (a udev rule must grant access to usbtmc devices)";
            return Gone(why);
        }
        driver_ = false;
#ifdef __linux__
        uint32_t ms = 0;
        driver_ = ::ioctl(fd_, USBTMC_IOCTL_GET_TIMEOUT, &ms) == 0;
#endif
        // The driver's reads wait for the answer under a timeout of its own
        // and cannot be polled for; everything else (the stand-in) is.
        if (driver_) (void)::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        return {};
    }

    void Close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    IoResult Send(std::string_view command, uint32_t timeoutMs) override {
        if (fd_ < 0) return Gone("not open");
        const std::string message = std::string(command) + '\n';
        SetDriverTimeout(timeoutMs);
        const uint32_t start = platform::Tick();
        size_t done = 0;
        while (done < message.size()) {
            // One write is one message to the device.
            const ssize_t n = ::write(fd_, message.data() + done, message.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) {
                const Ready r = WaitFor(fd_, POLLOUT, start, timeoutMs, cancel_);
                if (r == Ready::kReady) continue;
                if (r == Ready::kTimeout) return {IoStatus::kTimeout, "the meter takes no input"};
                if (r == Ready::kCancelled) return {IoStatus::kCancelled, "cancelled"};
                return Gone("hang-up");
            }
            if (n < 0 && errno == ETIMEDOUT)
                return {IoStatus::kTimeout, "the meter takes no input"};
            return Gone(ErrnoText(n < 0 ? errno : EIO));
        }
        return {};
    }

    IoResult Receive(uint32_t timeoutMs) override {
        if (fd_ < 0) return Gone("not open");
        if (cancel_.Raised()) return {IoStatus::kCancelled, "cancelled"};
        if (!driver_) {
            switch (WaitFor(fd_, POLLIN, platform::Tick(), timeoutMs, cancel_)) {
                case Ready::kReady:
                    break;
                case Ready::kTimeout:
                    return {IoStatus::kTimeout, "no answer"};
                case Ready::kCancelled:
                    return {IoStatus::kCancelled, "cancelled"};
                case Ready::kGone:
                    return Gone("hang-up");
            }
        }
        // A cancel does not end the driver's read: its timeout, set to
        // ours, does.
        SetDriverTimeout(timeoutMs);
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof(buffer));
            if (n > 0) {
                std::string answer(buffer, static_cast<size_t>(n));
                while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r'))
                    answer.pop_back();
                return {IoStatus::kOk, std::move(answer)};
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == ETIMEDOUT) {
                ClearDevice();
                return {IoStatus::kTimeout, "no answer"};
            }
            if (n < 0 && errno == EAGAIN) return {IoStatus::kTimeout, "no answer"};
            return Gone(n == 0 ? "hang-up" : ErrnoText(errno));
        }
    }

    void DiscardInput() override {
        if (fd_ < 0 || driver_) return;
        char sink[512];
        for (;;) {
            const ssize_t n = ::read(fd_, sink, sizeof(sink));
            if (n > 0 || (n < 0 && errno == EINTR)) continue;
            return;
        }
    }

    void Cancel() override { cancel_.Raise(); }
    void ResetCancel() override { cancel_.Reset(); }

private:
    void SetDriverTimeout(uint32_t clockMs) {
#ifdef __linux__
        if (!driver_) return;
        // The driver takes whole real milliseconds, 100 at least.
        const auto real = platform::RealDuration(clockMs).count() / 1000;
        uint32_t ms = static_cast<uint32_t>(std::clamp<long long>(real, 100, 3600000));
        (void)::ioctl(fd_, USBTMC_IOCTL_SET_TIMEOUT, &ms);
#else
        (void)clockMs;
#endif
    }

    // After a timeout the answer may still come: a device clear drops it, so
    // that it does not pass for the answer to the next command.
    void ClearDevice() {
#ifdef __linux__
        if (driver_) (void)::ioctl(fd_, USBTMC_IOCTL_CLEAR);
#endif
    }

    std::string path_;
    int fd_ = -1;
    bool driver_ = false;
    CancelPipe cancel_;
};

}  // namespace

std::unique_ptr<Transport> CreateUsbtmcTransport(const std::string& path) {
    return std::make_unique<UsbtmcTransport>(path);
}

}  // namespace meter
