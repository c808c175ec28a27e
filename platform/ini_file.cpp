#include "platform/ini_file.h"

namespace platform {
namespace {

constexpr size_t npos = std::string::npos;
constexpr std::string_view kBlanks = " \t\r\v\f";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view s) {
    const size_t first = s.find_first_not_of(kBlanks);
    if (first == npos) return {};
    const size_t last = s.find_last_not_of(kBlanks);
    return s.substr(first, last - first + 1);
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// ASCII only: bytes of GBK or UTF-8 text compare as they are.
bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

enum class LineKind { kOther, kSection, kKey };

struct ParsedLine {
    LineKind kind = LineKind::kOther;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // key value, trimmed
};

// Blank lines and comments (';') are neither sections nor keys. A line
// without '=' is a key with an empty value, as the profile API takes it.
ParsedLine ParseLine(std::string_view content, bool firstLine) {
    if (firstLine && content.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
        content.remove_prefix(kUtf8Bom.size());
    }
    const std::string_view text = Trim(content);
    ParsedLine parsed;
    if (text.empty() || text.front() == ';') return parsed;
    if (text.front() == '[') {
        const size_t close = text.rfind(']');
        if (close != npos) {
            parsed.kind = LineKind::kSection;
            parsed.name = Trim(text.substr(1, close - 1));
        }
        return parsed;
    }
    parsed.kind = LineKind::kKey;
    const size_t eq = text.find('=');
    if (eq == npos) {
        parsed.name = text;
    } else {
        parsed.name = Trim(text.substr(0, eq));
        parsed.value = Trim(text.substr(eq + 1));
    }
    return parsed;
}

bool HasLineBreakOrNul(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != npos;
}

#ifdef _WIN32
constexpr std::string_view kNativeLineEnd = "\r\n";
#else
constexpr std::string_view kNativeLineEnd = "\n";
#endif

}  // namespace

IniText::IniText(std::string_view content) {
    while (!content.empty()) {
        const size_t nl = content.find('\n');
        Line line;
        if (nl == npos) {
            line.content.assign(content);
            content = {};
        } else {
            const bool crlf = nl > 0 && content[nl - 1] == '\r';
            line.content.assign(content.substr(0, crlf ? nl - 1 : nl));
            line.end = crlf ? "\r\n" : "\n";
            content.remove_prefix(nl + 1);
        }
        m_lines.push_back(std::move(line));
    }
}

size_t IniText::FindSection(std::string_view section) const {
    for (size_t i = 0; i < m_lines.size(); ++i) {
        const ParsedLine p = ParseLine(m_lines[i].content, i == 0);
        if (p.kind == LineKind::kSection && EqualNoCase(p.name, section)) return i;
    }
    return npos;
}

size_t IniText::FindKey(size_t header, std::string_view key) const {
    for (size_t i = header + 1; i < m_lines.size(); ++i) {
        const ParsedLine p = ParseLine(m_lines[i].content, false);
        if (p.kind == LineKind::kSection) break;
        if (p.kind == LineKind::kKey && EqualNoCase(p.name, key)) return i;
    }
    return npos;
}

std::optional<std::string> IniText::Get(std::string_view section, std::string_view key) const {
    section = Trim(section);
    key = Trim(key);
    if (section.empty() || key.empty()) return std::nullopt;
    const size_t header = FindSection(section);
    if (header == npos) return std::nullopt;
    const size_t line = FindKey(header, key);
    if (line == npos) return std::nullopt;
    std::string_view value = ParseLine(m_lines[line].content, false).value;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

std::string IniText::NewLineEnd() const {
    for (const Line& line : m_lines) {
        if (!line.end.empty()) return line.end;
    }
    return std::string(kNativeLineEnd);
}

bool IniText::Set(std::string_view section, std::string_view key, std::string_view value) {
    section = Trim(section);
    key = Trim(key);
    if (section.empty() || key.empty() || HasLineBreakOrNul(section) || HasLineBreakOrNul(key) ||
        HasLineBreakOrNul(value) || key.find('=') != npos || key.front() == ';' ||
        key.front() == '[') {
        return false;
    }
    std::string entry;
    entry.append(key).append("=").append(value);
    const std::string end = NewLineEnd();

    const size_t header = FindSection(section);
    if (header != npos) {
        const size_t line = FindKey(header, key);
        if (line != npos) {
            // Keep the key's spelling as it stands in the file.
            const ParsedLine p = ParseLine(m_lines[line].content, line == 0);
            m_lines[line].content.assign(p.name).append("=").append(value);
            return true;
        }
        // After the section's last non-blank line, before any blank lines
        // that separate it from the next section.
        size_t after = header;
        for (size_t i = header + 1; i < m_lines.size(); ++i) {
            if (ParseLine(m_lines[i].content, false).kind == LineKind::kSection) break;
            if (!Trim(m_lines[i].content).empty()) after = i;
        }
        if (m_lines[after].end.empty()) m_lines[after].end = end;
        m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(after) + 1,
                       Line{std::move(entry), end});
        return true;
    }

    if (!m_lines.empty()) {
        Line& last = m_lines.back();
        if (last.end.empty()) last.end = end;
        std::string_view lastText = last.content;
        if (m_lines.size() == 1 && lastText.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
            lastText.remove_prefix(kUtf8Bom.size());
        }
        if (!Trim(lastText).empty()) m_lines.push_back(Line{std::string(), end});
    }
    std::string headerText = "[";
    headerText.append(section).append("]");
    m_lines.push_back(Line{std::move(headerText), end});
    m_lines.push_back(Line{std::move(entry), end});
    return true;
}

std::string IniText::Text() const {
    std::string text;
    for (const Line& line : m_lines) {
        text.append(line.content).append(line.end);
    }
    return text;
}

std::optional<std::string> ReadIniValue(const std::string& path, std::string_view section,
                                        std::string_view key) {
    std::string content;
    if (ReadFileContents(path, kMaxIniFileSize, &content) != FileReadResult::kOk) {
        return std::nullopt;
    }
    return IniText(content).Get(section, key);
}

bool WriteIniValue(const std::string& path, std::string_view section, std::string_view key,
                   std::string_view value) {
    std::string content;
    // A file that exists but cannot be read is not rewritten: its other
    // entries would be lost.
    if (ReadFileContents(path, kMaxIniFileSize, &content) == FileReadResult::kFailed) return false;
    IniText text(content);
    if (!text.Set(section, key, value)) return false;
    return ReplaceFileContents(path, text.Text());
}

}  // namespace platform
