// The bench's database: every transmitter test run with its channels'
// results and points, and every calibration record (whose files stay as
// exports). One SQLite file in the user's data folder, WAL journal, the
// schema's version in its user_version. No SQL leaves store/, so the same
// interface can sit on a server database when several benches share one
// history.
//
// Threads: every call is serialised on the object, so one Store may be
// shared. A call that waits for another program's lock holds the object
// for up to the busy timeout, though; a thread that must not wait that long
// behind a writer (the GUI thread reading history while the worker writes a
// run) opens a Store of its own on the same file. WAL lets it read while
// the other writes.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "store/entries.h"
#include "store/status.h"

namespace store {

namespace detail {
class Connection;
}

inline constexpr uint32_t kDefaultBusyTimeoutMs = 5000;

class Store {
public:
    Store();
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // $XDG_DATA_HOME/tarvok/tarvok.db (~/.local/share/tarvok/tarvok.db;
    // %LOCALAPPDATA%\tarvok\tarvok.db on Windows). Empty when there is no
    // home folder.
    static std::string DefaultPath();

    // Opens (or creates, making missing folders with mode 0700) the
    // database at `path`, DefaultPath() when empty, and brings an older
    // schema up to date. A database of a newer schema or of another
    // program is refused and left as it is. A read-only file, folder or
    // disk opens for reading (ReadOnly()). Waits for another program's
    // lock for up to `busyTimeoutMs` clock milliseconds, here and in every
    // later call. A failed open is kept: every later call returns it.
    Status Open(const std::string& path = {}, uint32_t busyTimeoutMs = kDefaultBusyTimeoutMs);
    void Close();

    std::string Path() const;
    // The last Open made the database: the moment to import what exists
    // only as files. Only one of several programs opening a new file at
    // once sees it.
    bool CreatedNow() const;
    bool ReadOnly() const;

    // The run, its results and their points, in one transaction: all of it
    // is stored or none. `id`, when given, receives the run's id.
    Status WriteRun(const TestRun& run, long long* id = nullptr);
    // Newest first, without their results; at most `limit` when above 0.
    Status Runs(std::vector<TestRun>* runs, int limit = 0) const;
    // The run's results by channel, each with its points.
    Status RunResults(long long runId, std::vector<DeviceResult>* results) const;
    // Every result whose identity or tag is `key` (letter case aside), newest
    // run first. An empty key finds nothing.
    Status DeviceHistory(const std::string& key, std::vector<HistoryEntry>* entries) const;
    // Every result whose tag contains `part` (letter case aside), newest run
    // first. An empty part finds nothing.
    Status TagHistory(const std::string& part, std::vector<HistoryEntry>* entries) const;

    // kExists when a record of that stem is stored already.
    Status AddCalibration(const CalibrationEntry& entry);
    // The records that exist only as files: those whose stem is not stored
    // yet go in, in one transaction; the others (and any without a stem)
    // are left out. `imported`, when given, receives how many went in.
    Status ImportCalibrations(const std::vector<CalibrationEntry>& entries,
                              int* imported = nullptr);
    // Newest first; at most `limit` when above 0.
    Status Calibrations(std::vector<CalibrationEntry>* entries, int limit = 0) const;
    // The newest calibration that wrote its table for that fixture device
    // number; nullopt when there is none.
    Status LastWrittenCalibration(int deviceNumber, std::optional<CalibrationEntry>* entry) const;

    // Reads the whole file and reports a damaged one as kCorrupt. A damaged
    // page otherwise shows only when a call reaches it.
    Status Check() const;

private:
    // Holds m_mutex: the open connection, or the reason there is none.
    detail::Connection* Ready(Status* status) const;

    mutable std::mutex m_mutex;
    std::unique_ptr<detail::Connection> m_connection;
    Status m_openStatus;
    std::string m_path;
    bool m_createdNow = false;
};

}  // namespace store
