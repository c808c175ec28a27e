#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/append_file.h"
#include "platform/regular_file_posix.h"

namespace platform {
namespace {

FileKind KindOfMode(mode_t mode) {
    if (S_ISREG(mode)) return FileKind::kRegular;
    if (S_ISDIR(mode)) return FileKind::kFolder;
    if (S_ISFIFO(mode)) return FileKind::kFifo;
    if (S_ISCHR(mode) || S_ISBLK(mode)) return FileKind::kDevice;
    if (S_ISSOCK(mode)) return FileKind::kSocket;
    return FileKind::kOther;
}

// strerror_r comes in two flavours: the XSI one fills the buffer, the GNU
// one may return a text of its own.
[[maybe_unused]] const char* ChosenText(int result, const char* buffer) {
    return result == 0 ? buffer : "unknown error";
}
[[maybe_unused]] const char* ChosenText(const char* text, const char*) { return text; }

class PosixAppendFile final : public AppendFile {
public:
    explicit PosixAppendFile(int fd) : m_fd(fd) {}
    ~PosixAppendFile() override { ::close(m_fd); }
    PosixAppendFile(const PosixAppendFile&) = delete;
    PosixAppendFile& operator=(const PosixAppendFile&) = delete;

    bool Size(uint64_t* size, std::string* error) override {
        struct stat st {};
        if (::fstat(m_fd, &st) != 0) return Failed(errno, error);
        *size = static_cast<uint64_t>(st.st_size);
        return true;
    }

    bool ReadByte(uint64_t offset, char* byte, std::string* error) override {
        for (;;) {
            const ssize_t n = ::pread(m_fd, byte, 1, static_cast<off_t>(offset));
            if (n == 1) return true;
            if (n < 0 && errno == EINTR) continue;
            return Failed(n < 0 ? errno : EIO, error);  // 0: cut short meanwhile
        }
    }

    size_t Append(std::string_view data, std::string* error) override {
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(m_fd, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                Failed(n < 0 ? errno : EIO, error);
                break;
            }
            done += static_cast<size_t>(n);
        }
        return done;
    }

    bool Truncate(uint64_t size, std::string* error) override {
        while (::ftruncate(m_fd, static_cast<off_t>(size)) != 0) {
            if (errno != EINTR) return Failed(errno, error);
        }
        return true;
    }

private:
    static bool Failed(int code, std::string* error) {
        if (error != nullptr) *error = ErrnoText(code);
        return false;
    }

    const int m_fd;
};

}  // namespace

std::string ErrnoText(int error) {
    char buffer[256] = "";
    return ChosenText(::strerror_r(error, buffer, sizeof(buffer)), buffer);
}

FileKind KindOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return FileKind::kMissing;
    return KindOfMode(st.st_mode);
}

int OpenRegularFile(const std::string& path, int flags, mode_t mode, FileKind* kind) {
    *kind = FileKind::kRegular;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            *kind = KindOfMode(st.st_mode);
            errno = 0;
            return -1;
        }
    } else if (errno != ENOENT || (flags & O_CREAT) == 0) {
        return -1;
    }
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    if (::fstat(fd, &st) != 0) {
        const int statError = errno;
        ::close(fd);
        errno = statError;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *kind = KindOfMode(st.st_mode);
        ::close(fd);
        errno = 0;
        return -1;
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status >= 0) ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    return fd;
}

std::unique_ptr<AppendFile> OpenAppendFile(const std::string& path, FileKind* refused,
                                           std::string* error) {
    // Read access for the last byte: a log reopened on a cut row starts
    // with a line end of its own.
    const int fd = OpenRegularFile(path, O_RDWR | O_APPEND | O_CREAT, 0666, refused);
    if (fd < 0) {
        if (*refused == FileKind::kRegular && error != nullptr) *error = ErrnoText(errno);
        return nullptr;
    }
    return std::make_unique<PosixAppendFile>(fd);
}

}  // namespace platform
