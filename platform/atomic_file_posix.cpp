#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ini_file.h"

namespace platform {
namespace {

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// The rename is durable only once the directory entry is on the disk too.
void SyncDirectory(const std::string& file) {
    const auto slash = file.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : file.substr(0, slash + 1);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

bool ReplaceFileContents(const std::string& path, std::string_view data) {
    if (path.empty()) return false;
    // Through a symlink the file it names is replaced, not the link.
    std::string target = path;
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        target = resolved;
        std::free(resolved);
    }

    std::vector<char> temp(target.begin(), target.end());
    static constexpr char kSuffix[] = ".XXXXXX";
    temp.insert(temp.end(), kSuffix, kSuffix + sizeof(kSuffix));  // with the terminator
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;

    // The new file keeps the old one's permissions (mkostemp makes 0600).
    struct stat old {};
    const mode_t mode = ::stat(target.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, data) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.data(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.data());
        return false;
    }
    SyncDirectory(target);
    return true;
}

}  // namespace platform
