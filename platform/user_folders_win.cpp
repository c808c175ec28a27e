#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/user_folders.h"

namespace platform {
namespace {

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

std::string UserConfigHome() { return Variable("APPDATA"); }

std::string UserDataHome() { return Variable("LOCALAPPDATA"); }

// The folders of a user's profile are private to the user already.
bool MakePrivateFolders(const std::string& dir, std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(dir), ec);
    if (std::filesystem::is_directory(std::filesystem::path(dir))) return true;
    if (error != nullptr) *error = ec ? ec.message() : "not a folder";
    return false;
}

}  // namespace platform
