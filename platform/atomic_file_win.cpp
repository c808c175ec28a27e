#include <windows.h>

#include <string>

#include "platform/ini_file.h"

namespace platform {

FileReadResult ReadFileContents(const std::string& path, size_t maxSize, std::string* content) {
    content->clear();
    // A folder does not open without FILE_FLAG_BACKUP_SEMANTICS; devices
    // (NUL, COM1) and pipes open but are no disk file.
    const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? FileReadResult::kMissing
                   : FileReadResult::kFailed;
    }
    FileReadResult result =
        ::GetFileType(file) == FILE_TYPE_DISK ? FileReadResult::kOk : FileReadResult::kFailed;
    char buffer[16 * 1024];
    while (result == FileReadResult::kOk) {
        DWORD n = 0;
        if (!::ReadFile(file, buffer, sizeof(buffer), &n, nullptr)) {
            result = FileReadResult::kFailed;
            break;
        }
        if (n == 0) break;
        content->append(buffer, n);
        if (content->size() > maxSize) result = FileReadResult::kFailed;
    }
    ::CloseHandle(file);
    if (result != FileReadResult::kOk) content->clear();
    return result;
}

bool ReplaceFileContents(const std::string& path, std::string_view data) {
    if (path.empty()) return false;
    // A read-only file is kept as it is (MoveFileEx would refuse it too),
    // and so is a folder in the file's place.
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return false;
    }
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
