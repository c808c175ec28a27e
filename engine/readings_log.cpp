#include "engine/readings_log.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace engine {
namespace {

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool LocalTime(std::time_t t, std::tm* out) {
#ifdef _WIN32
    return localtime_s(out, &t) == 0;
#else
    return localtime_r(&t, out) != nullptr;
#endif
}

}  // namespace

std::string FormatLocalTimeIso(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    // Whole seconds toward minus infinity, so times before 1970 keep
    // milliseconds 0-999.
    int64_t seconds = ms / 1000;
    int64_t millis = ms % 1000;
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    std::tm tm{};
    if (!LocalTime(static_cast<std::time_t>(seconds), &tm)) return {};
    // The offset from the local fields themselves: %z is not an offset on
    // every C library.
    const int64_t asUtc = DaysFromCivil(tm.tm_year + 1900, static_cast<unsigned>(tm.tm_mon + 1),
                                        static_cast<unsigned>(tm.tm_mday)) *
                              86400 +
                          tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    const int64_t offsetMinutes = (asUtc - seconds) / 60;
    const int64_t absOffset = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char text[48];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d",
                  tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(millis), offsetMinutes < 0 ? '-' : '+',
                  static_cast<int>(absOffset / 60), static_cast<int>(absOffset % 60));
    return text;
}

std::string PollCsvRow(const PollSample& sample) {
    char tail[48];
    const int channel = sample.channel >= 1 && sample.channel <= 32 ? sample.channel : 0;
    if (sample.ok)
        std::snprintf(tail, sizeof(tail), ",%02d,%.3f", channel,
                      static_cast<double>(sample.milliamps));
    else
        std::snprintf(tail, sizeof(tail), ",%02d,", channel);
    return FormatLocalTimeIso(sample.time) + tail;
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
