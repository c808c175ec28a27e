#include <windows.h>

#include "platform/append_file.h"

namespace platform {
namespace {

std::string SystemText(DWORD code) {
    char* text = nullptr;
    const DWORD n = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result =
        n > 0 && text != nullptr ? std::string(text, n) : "error " + std::to_string(code);
    if (text != nullptr) ::LocalFree(text);
    while (!result.empty() &&
           (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
        result.pop_back();
    return result;
}

bool Failed(std::string* error) {
    if (error != nullptr) *error = SystemText(::GetLastError());
    return false;
}

// Writes block on the log's own thread here: a stalled share holds that
// thread only, never the worker or the window.
class WinAppendFile final : public AppendFile {
public:
    explicit WinAppendFile(HANDLE file) : m_file(file) {}
    ~WinAppendFile() override { ::CloseHandle(m_file); }
    WinAppendFile(const WinAppendFile&) = delete;
    WinAppendFile& operator=(const WinAppendFile&) = delete;

    bool Size(uint64_t* size, std::string* error) override {
        LARGE_INTEGER n;
        if (!::GetFileSizeEx(m_file, &n)) return Failed(error);
        *size = static_cast<uint64_t>(n.QuadPart);
        return true;
    }

    bool ReadByte(uint64_t offset, char* byte, std::string* error) override {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD n = 0;
        if (!::ReadFile(m_file, byte, 1, &n, &at)) return Failed(error);
        if (n == 1) return true;
        ::SetLastError(ERROR_HANDLE_EOF);
        return Failed(error);
    }

    size_t Append(std::string_view data, std::string* error) override {
        size_t done = 0;
        while (done < data.size()) {
            // Offset all ones: at the end of the file, whoever wrote last.
            OVERLAPPED at{};
            at.Offset = 0xFFFFFFFF;
            at.OffsetHigh = 0xFFFFFFFF;
            const size_t left = data.size() - done;
            const DWORD chunk = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
            DWORD n = 0;
            if (!::WriteFile(m_file, data.data() + done, chunk, &n, &at)) {
                Failed(error);
                break;
            }
            if (n == 0) {
                ::SetLastError(ERROR_WRITE_FAULT);
                Failed(error);
                break;
            }
            done += n;
        }
        return done;
    }

    bool Truncate(uint64_t size, std::string* error) override {
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
        if (!::SetFileInformationByHandle(m_file, FileEndOfFileInfo, &end, sizeof(end)))
            return Failed(error);
        return true;
    }

private:
    const HANDLE m_file;
};

}  // namespace

std::unique_ptr<AppendFile> OpenAppendFile(const std::string& path, FileKind* refused,
                                           std::string* error) {
    *refused = FileKind::kRegular;
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        *refused = FileKind::kFolder;
        return nullptr;
    }
    const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Failed(error);
        return nullptr;
    }
    // NUL, COM1 and pipes open too, but are no disk file.
    const DWORD type = ::GetFileType(file);
    if (type != FILE_TYPE_DISK) {
        *refused = type == FILE_TYPE_PIPE ? FileKind::kFifo : FileKind::kDevice;
        ::CloseHandle(file);
        return nullptr;
    }
    return std::make_unique<WinAppendFile>(file);
}

}  // namespace platform
