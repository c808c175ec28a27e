#include <unistd.h>

#include <climits>

#include "platform/exe_dir.h"

namespace platform {

std::string ExecutableDirectory() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return {};
    std::string s(path, static_cast<size_t>(n));
    const auto slash = s.rfind('/');
    return slash == std::string::npos ? std::string() : s.substr(0, slash);
}

}  // namespace platform
