#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/user_folders.h"

namespace platform {
namespace {

// A relative path in these variables is invalid and ignored, as the base
// directory rules say.
bool IsAbsolute(const char* path) { return path != nullptr && path[0] == '/'; }

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Home() {
    if (const char* h = std::getenv("HOME"); IsAbsolute(h)) return WithoutTrailingSlashes(h);
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && IsAbsolute(pw->pw_dir))
        return WithoutTrailingSlashes(pw->pw_dir);
    return {};
}

std::string BaseFolder(const char* variable, const char* underHome) {
    if (const char* xdg = std::getenv(variable); IsAbsolute(xdg))
        return WithoutTrailingSlashes(xdg);
    const std::string home = Home();
    if (home.empty()) return {};
    return (home == "/" ? std::string() : home) + underHome;
}

}  // namespace

std::string UserConfigHome() { return BaseFolder("XDG_CONFIG_HOME", "/.config"); }

std::string UserDataHome() { return BaseFolder("XDG_DATA_HOME", "/.local/share"); }

bool MakePrivateFolders(const std::string& dir, std::string* error) {
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        const std::string part = dir.substr(0, slash);
        if (!part.empty() && !IsFolder(part) && ::mkdir(part.c_str(), 0700) != 0 &&
            errno != EEXIST) {
            if (error != nullptr) *error = std::strerror(errno);
            return false;
        }
        if (slash == std::string::npos) break;
    }
    if (IsFolder(dir)) return true;
    if (error != nullptr) *error = "not a folder";
    return false;
}

}  // namespace platform
