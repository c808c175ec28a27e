#include "engine/readings_log.h"

#include <condition_variable>
#include <deque>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/channel_scan.h"
#include "platform/append_file.h"
#include "platform/clock.h"
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

// Why the writer runs detached and owns its state with the log: a regular
// file ignores O_NONBLOCK and is always ready to poll(), and a stalled share
// holds write() in the kernel whatever the flags, so nothing can call a
// writer back from a write. Neither the log nor the program waits for it
// beyond a bounded time: the log lets go of its share of this state, the
// thread ends once its write returns, and a program that ends first takes
// the thread with it. It touches nothing but this state, so it may outlive
// every other object of the program. Its lock is never held during a write.
struct ReadingsLog::Writer {
    std::unique_ptr<platform::AppendFile> file;  // the writer thread's alone once started

    std::mutex mutex;
    std::condition_variable queued;    // a row, or the close
    std::condition_variable progress;  // a write done, or the end
    std::deque<std::string> rows;
    size_t capacity = 0;
    bool writing = false;  // a batch is out of the queue, on its way to the file
    bool closed = false;
    bool failed = false;
    bool ended = false;
    bool dropReported = false;
    uint64_t written = 0;
    uint64_t dropped = 0;
    Listener listener;

    // mutex held.
    void Tell(LogReport::Kind kind, const std::string& reason) {
        if (listener) listener({kind, reason, dropped});
    }
};

namespace {

// Writes `pieces` in one go, each whole or not at all: a failed write cuts
// the file back to the end of the last whole piece. How many pieces are in
// the file; *error says why when not all.
size_t WriteWhole(platform::AppendFile& file, const std::vector<std::string>& pieces,
                  std::string* error) {
    uint64_t before = 0;
    if (!file.Size(&before, error)) return 0;
    std::string joined;
    for (const std::string& p : pieces) joined += p;
    const size_t n = file.Append(joined, error);
    if (n == joined.size()) return pieces.size();
    size_t keep = 0;
    size_t whole = 0;
    while (whole < pieces.size() && keep + pieces[whole].size() <= n)
        keep += pieces[whole++].size();
    // Only what this write left is cut: bytes someone else appended since
    // are theirs.
    uint64_t after = 0;
    std::string ignored;
    if (n > keep && file.Size(&after, &ignored) && after == before + n) {
        std::string truncateError;
        if (!file.Truncate(before + keep, &truncateError)) *error += "; " + truncateError;
    }
    return whole;
}

std::string RefusalText(platform::FileKind kind) {
    switch (kind) {
        case platform::FileKind::kFolder:
            return "这是一个文件夹, 不是普通文件";
        case platform::FileKind::kFifo:
            return "这是一个命名管道(FIFO), 不是普通文件";
        case platform::FileKind::kDevice:
            return "这是一个设备, 不是普通文件";
        case platform::FileKind::kSocket:
            return "这是一个套接字, 不是普通文件";
        default:
            return "这不是普通文件";
    }
}

}  // namespace

void ReadingsLog::WriterThread(std::shared_ptr<Writer> w) {
    std::string error;
    bool ok = true;
    // The file's end first: a new file gets the header, and one that ends
    // in a cut row a line end, so that no row is glued onto it.
    {
        uint64_t size = 0;
        char last = '\n';
        ok = w->file->Size(&size, &error) &&
             (size == 0 || w->file->ReadByte(size - 1, &last, &error));
        std::string start = size == 0      ? std::string(kPollCsvHeader) + "\n"
                            : last != '\n' ? "\n"
                                           : "";
        if (ok && !start.empty()) ok = WriteWhole(*w->file, {start}, &error) == 1;
    }
    while (ok) {
        std::vector<std::string> batch;
        {
            std::unique_lock lock(w->mutex);
            w->writing = false;
            w->progress.notify_all();
            w->queued.wait(lock, [&] { return !w->rows.empty() || w->closed; });
            if (w->rows.empty()) break;  // closed, and everything written
            batch.assign(std::make_move_iterator(w->rows.begin()),
                         std::make_move_iterator(w->rows.end()));
            w->rows.clear();
            w->writing = true;
        }
        const size_t whole = WriteWhole(*w->file, batch, &error);
        ok = whole == batch.size();
        std::lock_guard lock(w->mutex);
        w->written += whole;
    }
    std::lock_guard lock(w->mutex);
    if (!ok) {
        w->failed = true;
        w->rows.clear();
        w->Tell(LogReport::kFailed, error);
    }
    // Closed here, not wherever the last owner lets go: a close may flush
    // to a slow medium too.
    w->file.reset();
    w->writing = false;
    w->ended = true;
    w->progress.notify_all();
}

ReadingsLog::ReadingsLog(size_t queueRows) : m_capacity(queueRows > 0 ? queueRows : 1) {}

ReadingsLog::~ReadingsLog() {
    const std::shared_ptr<Writer> w = Current();
    Close();
    if (w == nullptr) return;
    const uint32_t start = platform::Tick();
    std::unique_lock lock(w->mutex);
    while (!w->ended) {
        const uint32_t elapsed = platform::Tick() - start;
        if (elapsed >= kFinishWaitMs) break;
        w->progress.wait_for(lock, platform::RealDuration(kFinishWaitMs - elapsed));
    }
}

bool ReadingsLog::Open(const std::string& path, Listener listener, std::string* error) {
    platform::FileKind refused = platform::FileKind::kRegular;
    std::string reason;
    std::unique_ptr<platform::AppendFile> file = platform::OpenAppendFile(path, &refused, &reason);
    if (file == nullptr) {
        if (error != nullptr)
            *error = refused == platform::FileKind::kRegular ? reason : RefusalText(refused);
        return false;
    }
    try {
        Open(std::move(file), path, std::move(listener));
    } catch (const std::system_error& e) {  // no thread to be had
        if (error != nullptr) *error = e.what();
        return false;
    }
    return true;
}

void ReadingsLog::Open(std::unique_ptr<platform::AppendFile> file, const std::string& path,
                       Listener listener) {
    Close();
    auto w = std::make_shared<Writer>();
    w->file = std::move(file);
    w->capacity = m_capacity;
    w->listener = std::move(listener);
    w->writing = true;  // the file's end is looked at first
    std::thread(WriterThread, w).detach();
    std::lock_guard lock(m_mutex);
    m_writer = std::move(w);
    m_path = path;
}

void ReadingsLog::Close() {
    const std::shared_ptr<Writer> w = Current();
    if (w == nullptr) return;
    std::lock_guard lock(w->mutex);
    w->closed = true;
    w->listener = nullptr;  // nothing is told once closed
    w->queued.notify_all();
}

std::shared_ptr<ReadingsLog::Writer> ReadingsLog::Current() const {
    std::lock_guard lock(m_mutex);
    return m_writer;
}

bool ReadingsLog::IsOpen() const {
    const std::shared_ptr<Writer> w = Current();
    if (w == nullptr) return false;
    std::lock_guard lock(w->mutex);
    return !w->closed && !w->failed;
}

std::string ReadingsLog::Path() const {
    std::lock_guard lock(m_mutex);
    return m_path;
}

void ReadingsLog::Append(const PollSample& sample) {
    const std::shared_ptr<Writer> w = Current();
    if (w == nullptr) return;
    std::string row = PollCsvRow(sample) + "\n";
    std::lock_guard lock(w->mutex);
    if (w->closed || w->failed || w->ended) return;  // not logging: nothing to lose
    if (w->rows.size() >= w->capacity) {
        ++w->dropped;
        if (!w->dropReported) {
            w->dropReported = true;
            w->Tell(LogReport::kDropping, {});
        }
        return;
    }
    w->rows.push_back(std::move(row));
    w->queued.notify_one();
}

uint64_t ReadingsLog::Rows() const {
    const std::shared_ptr<Writer> w = Current();
    if (w == nullptr) return 0;
    std::lock_guard lock(w->mutex);
    return w->written;
}

uint64_t ReadingsLog::Dropped() const {
    const std::shared_ptr<Writer> w = Current();
    if (w == nullptr) return 0;
    std::lock_guard lock(w->mutex);
    return w->dropped;
}

bool ReadingsLog::WaitUntilWritten(uint32_t ms) const {
    const std::shared_ptr<Writer> w = Current();
    if (w == nullptr) return true;
    const uint32_t start = platform::Tick();
    std::unique_lock lock(w->mutex);
    for (;;) {
        if (w->ended || (w->rows.empty() && !w->writing)) return true;
        const uint32_t elapsed = platform::Tick() - start;
        if (elapsed >= ms) return false;
        w->progress.wait_for(lock, platform::RealDuration(ms - elapsed));
    }
}

}  // namespace engine
