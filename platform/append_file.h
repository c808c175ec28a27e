// A file that a log appends to. Only a regular file is opened: a FIFO
// nobody reads, a terminal or a device would take a writer's rows and never
// give its thread back. The calls of an open file may wait as long as the
// medium does (a stalled network share): make them on a thread of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

// What a path names, as far as a log cares.
enum class FileKind { kMissing, kRegular, kFolder, kFifo, kDevice, kSocket, kOther };

class AppendFile {
public:
    virtual ~AppendFile() = default;

    // The file's size now; false with the system's reason.
    virtual bool Size(uint64_t* size, std::string* error) = 0;
    // The byte at `offset`; false with the system's reason.
    virtual bool ReadByte(uint64_t offset, char* byte, std::string* error) = 0;
    // Writes `data` at the end. Returns how many bytes reached the file;
    // fewer than data.size() only with the system's reason in *error.
    virtual size_t Append(std::string_view data, std::string* error) = 0;
    // Cuts the file back to `size` bytes.
    virtual bool Truncate(uint64_t size, std::string* error) = 0;
};

// Opens `path` for appending, creating it when missing. Refuses anything
// but a regular file without opening it in a way that could wait or wake a
// device: nullptr with *refused set to what is there (kRegular or kMissing
// when the open itself failed, with the system's reason in *error).
std::unique_ptr<AppendFile> OpenAppendFile(const std::string& path, FileKind* refused,
                                           std::string* error);

}  // namespace platform
