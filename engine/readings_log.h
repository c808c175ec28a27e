// The readings log: one CSV row per poll, in the format of the console
// tool's `poll --csv`, appended to a file the operator chose.
//
// The worker only queues a row; a thread of the log's own writes it at
// once, so a file that stops taking writes (a stalled network share, a
// medium gone slow) holds that thread alone: polling goes on, and neither
// the window nor its close ever waits for a write. A row reaches the file
// whole or not at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "engine/main_window_view.h"

namespace platform {
class AppendFile;
}

namespace engine {

inline constexpr const char* kPollCsvHeader = "time,channel,loop_current_mA";

// One row: the local time in ISO 8601 with milliseconds and UTC offset,
// the channel 01-32 or 00 for none (empty when unknown, -1), the reading
// with three decimals or empty for a failed poll.
std::string PollCsvRow(const PollSample& sample);

// What the log tells its owner, at most once of each kind per file opened.
struct LogReport {
    enum Kind {
        kDropping,  // the file does not keep up: rows are being dropped
        kFailed,    // a write failed: the log has stopped
    };
    Kind kind = kFailed;
    std::string reason;    // kFailed: the system's reason
    uint64_t dropped = 0;  // rows dropped so far
};

class ReadingsLog {
public:
    // Rows that wait for the file before new ones are dropped: 25 minutes
    // of polls, about 100 kB.
    static constexpr size_t kQueueRows = 2048;
    // How long the log's end gives the writer for rows already queued.
    static constexpr uint32_t kFinishWaitMs = 500;

    // Called on the worker's or the writer's thread with the log's lock
    // held: it must not wait, nor call the log.
    using Listener = std::function<void(const LogReport&)>;

    explicit ReadingsLog(size_t queueRows = kQueueRows);
    // Closes the log and gives the writer kFinishWaitMs clock milliseconds
    // to finish the rows queued; a writer stuck in the file is left behind.
    ~ReadingsLog();
    ReadingsLog(const ReadingsLog&) = delete;
    ReadingsLog& operator=(const ReadingsLog&) = delete;

    // Opens the file (a new one is made, an existing one appended to) and
    // starts its writer. Only a regular file is taken: false with the reason
    // for anything else, or with the system's reason. Waits for no write:
    // the header or the line end a cut last row needs is the writer's work.
    bool Open(const std::string& path, Listener listener, std::string* error);
    // The same on a file the caller opened (tests: one that blocks or fails).
    void Open(std::unique_ptr<platform::AppendFile> file, const std::string& path,
              Listener listener);
    // Stops taking rows and returns at once. The rows already queued are
    // still written; the writer then ends by itself.
    void Close();
    // Open, and no write has failed.
    bool IsOpen() const;
    std::string Path() const;

    // From the worker: queues the row, never waits for the file. A row that
    // finds the queue full is dropped and counted.
    void Append(const PollSample& sample);

    // Of the file opened last: rows written and rows dropped.
    uint64_t Rows() const;
    uint64_t Dropped() const;
    // Waits up to ms clock milliseconds until the writer has nothing left
    // to write (or has stopped); true when so.
    bool WaitUntilWritten(uint32_t ms) const;

private:
    struct Writer;
    static void WriterThread(std::shared_ptr<Writer> writer);
    std::shared_ptr<Writer> Current() const;

    const size_t m_capacity;
    // Guards the two fields below only; never held while the file is used.
    mutable std::mutex m_mutex;
    std::shared_ptr<Writer> m_writer;
    std::string m_path;
};

}  // namespace engine
