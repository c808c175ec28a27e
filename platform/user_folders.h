// The user's own folders: where a program keeps its settings and its data
// for one user. POSIX follows the XDG base directories, Windows the
// per-user application-data folders.
#pragma once

#include <string>

namespace platform {

// $XDG_CONFIG_HOME, else ~/.config (Windows: %APPDATA%); empty when there
// is no such folder to name (no absolute path in the variables, no home).
std::string UserConfigHome();
// $XDG_DATA_HOME, else ~/.local/share (Windows: %LOCALAPPDATA%).
std::string UserDataHome();

// Every missing folder of the absolute path `dir`, made private to the user
// (mode 0700). True when `dir` is a folder afterwards; otherwise false with
// the system's reason in *error (when given).
bool MakePrivateFolders(const std::string& dir, std::string* error = nullptr);

}  // namespace platform
