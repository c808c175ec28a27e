#include <windows.h>

#include <string>

#include "platform/ini_file.h"

namespace platform {

bool ReplaceFileContents(const std::string& path, std::string_view data) {
    if (path.empty()) return false;
    const auto slash = path.find_last_of("\\/");
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    char temp[MAX_PATH];
    // Creates the (empty) temporary file in the same directory, so that the
    // final move is a rename on one volume.
    if (::GetTempFileNameA(dir.c_str(), "ini", 0, temp) == 0) return false;

    const HANDLE file = ::CreateFileA(temp, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = file != INVALID_HANDLE_VALUE;
    if (ok) {
        while (ok && !data.empty()) {
            const DWORD chunk =
                data.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(data.size());
            DWORD written = 0;
            ok = ::WriteFile(file, data.data(), chunk, &written, nullptr) != 0 && written > 0;
            data.remove_prefix(written);
        }
        ok = ok && ::FlushFileBuffers(file) != 0;
        ok = ::CloseHandle(file) != 0 && ok;
    }
    ok = ok &&
         ::MoveFileExA(temp, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) {
        ::DeleteFileA(temp);
        return false;
    }
    return true;
}

}  // namespace platform
