// SQLite's C API as store/ uses it: one connection with its busy wait on the
// platform clock, prepared statements, write transactions, and the one place
// where SQLite's result codes become the store's errors.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "store/status.h"

namespace store::detail {

class Statement {
public:
    Statement(sqlite3* db, const std::string& sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Binding indexes and columns count from 1 and 0, as in SQLite. A
    // failed prepare or bind is kept and returned by the next Step().
    void BindInt(int index, long long value);
    // NaN is bound as NULL.
    void BindReal(int index, double value);
    void BindText(int index, const std::string& value);
    void BindNull(int index);

    // SQLITE_ROW, SQLITE_DONE or the error.
    int Step();
    // For the next row of bindings; keeps the bindings.
    void Reset();

    bool IsNull(int column) const;
    long long Int(int column) const;
    // NULL reads as NaN.
    double Real(int column) const;
    std::string Text(int column) const;

private:
    sqlite3_stmt* m_statement = nullptr;
    int m_result = SQLITE_OK;
};

class Connection {
public:
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Opens `path` for reading and writing, creating it when missing. With
    // `immutable`, opens it for reading only, for a folder where SQLite
    // cannot make the WAL's companion files: then it assumes nobody changes
    // the file, which holds on a read-only disk. The SQLite result code.
    static int Open(const std::string& path, bool immutable, uint32_t busyTimeoutMs,
                    std::unique_ptr<Connection>* connection);

    sqlite3* Handle() const { return m_db; }
    bool ReadOnly() const;

    // `rc` with this connection's last message, as the store's error.
    Status Error(int rc) const;
    // Runs a script without results.
    int Execute(const char* sql);

    // BEGIN IMMEDIATE (the lock taken before anything is read, so the
    // busy wait applies and no read turns stale), `body`, COMMIT. A failure
    // of any of them rolls back.
    Status Write(const std::function<Status()>& body);

private:
    Connection() = default;
    static int Busy(void* self, int count);

    sqlite3* m_db = nullptr;
    uint32_t m_busyTimeoutMs = 0;
    uint32_t m_busySince = 0;
};

}  // namespace store::detail
