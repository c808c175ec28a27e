#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ini_file.h"
#include "platform/regular_file_posix.h"

namespace platform {
namespace {

// As many links in a row as the kernel follows before it says ELOOP.
constexpr int kMaxLinks = 40;

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

std::string FolderOf(const std::string& file) {
    const auto slash = file.rfind('/');
    return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

// The rename is durable only once the directory entry is on the disk too.
void SyncDirectory(const std::string& file) {
    const std::string folder = FolderOf(file);
    const int fd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// The path the links starting at `path` end in, whether or not a file is
// there yet; false for a loop or a link that cannot be read. Only the last
// component is followed: the folders on the way resolve by themselves, and
// the temporary file beside the result is then on the same file system.
bool FollowLinks(const std::string& path, std::string* target) {
    std::string current = path;
    for (int hops = 0; hops <= kMaxLinks; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0) {
            if (errno != ENOENT) return false;
            *target = current;  // dangling: the file to create
            return true;
        }
        if (!S_ISLNK(st.st_mode)) {
            *target = current;
            return true;
        }
        std::vector<char> text(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
        ssize_t n;
        // A link that grew since lstat: read it again with room to spare.
        while ((n = ::readlink(current.c_str(), text.data(), text.size())) >= 0 &&
               static_cast<size_t>(n) == text.size()) {
            text.resize(text.size() * 2);
        }
        if (n <= 0) return false;
        const std::string next(text.data(), static_cast<size_t>(n));
        current = next.front() == '/' ? next : FolderOf(current) + next;
    }
    return false;
}

}  // namespace

FileReadResult ReadFileContents(const std::string& path, size_t maxSize, std::string* content) {
    content->clear();
    // Only a regular file is opened: opening a FIFO for reading waits for
    // a writer, and opening a device can do anything the device likes.
    FileKind kind = FileKind::kRegular;
    const int fd = OpenRegularFile(path, O_RDONLY, 0, &kind);
    if (fd < 0) {
        return kind == FileKind::kRegular && errno == ENOENT ? FileReadResult::kMissing
                                                             : FileReadResult::kFailed;
    }
    FileReadResult result = FileReadResult::kOk;
    char buffer[16 * 1024];
    while (result == FileReadResult::kOk) {
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            result = FileReadResult::kFailed;
            break;
        }
        content->append(buffer, static_cast<size_t>(n));
        if (content->size() > maxSize) result = FileReadResult::kFailed;
    }
    ::close(fd);
    if (result != FileReadResult::kOk) content->clear();
    return result;
}

bool ReplaceFileContents(const std::string& path, std::string_view data) {
    if (path.empty()) return false;
    // Through a link the file it names is replaced, never the link.
    std::string target;
    if (!FollowLinks(path, &target)) return false;

    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (!exists && errno != ENOENT) return false;
    if (exists) {
        if (!S_ISREG(old.st_mode)) return false;
        // The folder may allow the rename, but a file the user may not write
        // is not theirs to replace. access() says yes to root for anything,
        // so a file nobody may write counts as read-only for root too.
        if ((old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
            ::access(target.c_str(), W_OK) != 0) {
            return false;
        }
    }

    std::vector<char> temp(target.begin(), target.end());
    static constexpr char kSuffix[] = ".XXXXXX";
    temp.insert(temp.end(), kSuffix, kSuffix + sizeof(kSuffix));  // with the terminator
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;

    // The new file keeps the old one's permissions (mkostemp makes 0600).
    const mode_t mode = exists ? (old.st_mode & 07777) : 0644;
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
