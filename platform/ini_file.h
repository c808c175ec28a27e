// Private-profile (INI) files as the Windows profile API reads and writes
// them: section and key names match case-insensitively (ASCII), blanks
// around names and values are ignored, the first section of a name and the
// first key of a name in it count. A save changes or adds exactly one line
// and keeps every other byte of the file, comments and line ends included.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Larger files are not settings files: they read as empty and are never
// rewritten.
constexpr size_t kMaxIniFileSize = 1024 * 1024;

// The text of one INI file, edited in memory.
class IniText {
public:
    IniText() = default;
    explicit IniText(std::string_view content);

    // The value of the first key `key` in the first section `section`, with
    // its surrounding blanks removed and one pair of matching quotes ("..."
    // or '...') taken off; nullopt when the section or the key is missing.
    std::optional<std::string> Get(std::string_view section, std::string_view key) const;

    // Sets the key, adding it (and its section, at the end) when missing.
    // False, with nothing changed, for a name or value that the file cannot
    // hold: an empty name, a line break anywhere, '=' in the key, a key that
    // would read as a comment or a section header.
    bool Set(std::string_view section, std::string_view key, std::string_view value);

    std::string Text() const;

private:
    struct Line {
        std::string content;  // without its line end
        std::string end;      // "\r\n", "\n" or "" (last line of the file)
    };
    // Index of the header line of the first section `section`, or npos.
    size_t FindSection(std::string_view section) const;
    // Index of the line of the first key `key` of the section whose header
    // is at `header`, or npos.
    size_t FindKey(size_t header, std::string_view key) const;
    std::string NewLineEnd() const;

    std::vector<Line> m_lines;
};

// Reads one value from the file at `path`. A missing, unreadable or
// oversized file reads as a missing key.
std::optional<std::string> ReadIniValue(const std::string& path, std::string_view section,
                                        std::string_view key);

// Sets one value in the file at `path`, creating the file if it does not
// exist. The file is replaced in one step (ReplaceFileContents), so it is
// either the old or the new text, never a mix. False when the file exists
// but cannot be read, is oversized, or cannot be replaced, or when IniText::Set
// refuses the names; the file is then left as it was.
bool WriteIniValue(const std::string& path, std::string_view section, std::string_view key,
                   std::string_view value);

// The two file operations below live in one file per platform.

enum class FileReadResult { kOk, kMissing, kFailed };

// Reads the whole of a regular file (through links) of at most `maxSize`
// bytes. kMissing when nothing is there (a dangling link included);
// kFailed for a file that cannot be read or is larger, and for anything
// that is not a regular file (a FIFO, a device, a folder), which is never
// opened in a way that could block.
FileReadResult ReadFileContents(const std::string& path, size_t maxSize, std::string* content);

// Writes `data` to a temporary file beside `path`, flushes it to the disk
// and renames it over `path`. A link at `path` is followed to the file it
// names, even one that does not exist yet; the temporary file goes beside
// that file and the link stays. Refused, with nothing changed: a file the
// user cannot write or that has no write permission at all (root included),
// and anything that is not a regular file. On failure the temporary file
// is removed and `path` keeps its old contents.
bool ReplaceFileContents(const std::string& path, std::string_view data);

}  // namespace platform
