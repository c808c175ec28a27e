// The readings log: one CSV row per poll, in the format of the console
// tool's `poll --csv`, appended to a file the operator chose. Rows reach the
// file as they are made, so a crash or a pulled plug loses at most the row
// being written.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "engine/main_window_view.h"

namespace engine {

inline constexpr const char* kPollCsvHeader = "time,channel,loop_current_mA";

// One row: the local time in ISO 8601 with milliseconds and UTC offset,
// the channel 01-32 or 00 for none (empty when unknown, -1), the reading
// with three decimals or empty for a failed poll.
std::string PollCsvRow(const PollSample& sample);

class ReadingsLog {
public:
    ReadingsLog() = default;
    ~ReadingsLog();
    ReadingsLog(const ReadingsLog&) = delete;
    ReadingsLog& operator=(const ReadingsLog&) = delete;

    // Opens the file for appending, creating it with the header when it is
    // new or empty. False with the system's reason otherwise.
    bool Open(const std::string& path, std::string* error);
    void Close();
    bool IsOpen() const;
    std::string Path() const;

    // From the worker. False when the row could not be written (disk full,
    // the medium gone): the log has closed itself then.
    bool Append(const PollSample& sample);
    uint64_t Rows() const;

private:
    mutable std::mutex m_mutex;
    std::FILE* m_file = nullptr;
    std::string m_path;
    uint64_t m_rows = 0;
};

}  // namespace engine
