#include "engine/readings_log.h"

#include <cerrno>
#include <cstring>

#include "engine/channel_scan.h"
#include "platform/wall_clock.h"

namespace engine {
std::string PollCsvRow(const PollSample& sample) {
    std::string channel;
    if (sample.channel >= 0) {
        char text[8];
        std::snprintf(text, sizeof(text), "%02d", sample.channel <= 32 ? sample.channel : 0);
        channel = text;
    }
    return platform::FormatIso8601(platform::ToLocalTime(sample.time)) + "," + channel + "," +
           (sample.ok ? FormatReadingMa(sample.milliamps) : std::string());
}

ReadingsLog::~ReadingsLog() { Close(); }

bool ReadingsLog::Open(const std::string& path, std::string* error) {
    std::lock_guard lock(m_mutex);
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (file == nullptr) {
        if (error != nullptr) *error = std::strerror(errno);
        return false;
    }
    std::fseek(file, 0, SEEK_END);
    if (std::ftell(file) == 0) {
        const std::string header = std::string(kPollCsvHeader) + "\n";
        if (std::fwrite(header.data(), 1, header.size(), file) != header.size() ||
            std::fflush(file) != 0) {
            if (error != nullptr) *error = std::strerror(errno);
            std::fclose(file);
            return false;
        }
    }
    m_file = file;
    m_path = path;
    m_rows = 0;
    return true;
}

void ReadingsLog::Close() {
    std::lock_guard lock(m_mutex);
    if (m_file != nullptr) std::fclose(m_file);
    m_file = nullptr;
}

bool ReadingsLog::IsOpen() const {
    std::lock_guard lock(m_mutex);
    return m_file != nullptr;
}

std::string ReadingsLog::Path() const {
    std::lock_guard lock(m_mutex);
    return m_path;
}

uint64_t ReadingsLog::Rows() const {
    std::lock_guard lock(m_mutex);
    return m_rows;
}

bool ReadingsLog::Append(const PollSample& sample) {
    const std::string row = PollCsvRow(sample) + "\n";
    std::lock_guard lock(m_mutex);
    if (m_file == nullptr) return true;  // not logging: nothing to lose
    // Flushed row by row: a poll comes at most every few hundred ms, and
    // the row is then in the system's hands, whatever happens to us.
    if (std::fwrite(row.data(), 1, row.size(), m_file) != row.size() || std::fflush(m_file) != 0) {
        std::fclose(m_file);
        m_file = nullptr;
        return false;
    }
    ++m_rows;
    return true;
}

}  // namespace engine
