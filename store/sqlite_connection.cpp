#include "store/sqlite_connection.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/clock.h"

namespace store::detail {
namespace {

// SQLite reads a URI only with this flag; '?', '#' and '%' in a path must
// then be escaped.
std::string FileUri(const std::string& path) {
    std::string uri = "file:";
    for (const char c : path) {
        if (c == '?')
            uri += "%3f";
        else if (c == '#')
            uri += "%23";
        else if (c == '%')
            uri += "%25";
        else
            uri += c;
    }
    return uri;
}

bool DeniedBySystem(int error) {
    if (error == EACCES || error == EPERM) return true;
#ifdef EROFS
    if (error == EROFS) return true;
#endif
    return false;
}

}  // namespace

Statement::Statement(sqlite3* db, const std::string& sql) {
    m_result = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()) + 1, &m_statement,
                                  nullptr);
}

Statement::~Statement() { sqlite3_finalize(m_statement); }

void Statement::BindInt(int index, long long value) {
    if (m_result == SQLITE_OK) m_result = sqlite3_bind_int64(m_statement, index, value);
}

void Statement::BindReal(int index, double value) {
    if (m_result != SQLITE_OK) return;
    m_result = std::isnan(value) ? sqlite3_bind_null(m_statement, index)
                                 : sqlite3_bind_double(m_statement, index, value);
}

void Statement::BindText(int index, const std::string& value) {
    if (m_result == SQLITE_OK)
        m_result = sqlite3_bind_text(m_statement, index, value.data(),
                                     static_cast<int>(value.size()), SQLITE_TRANSIENT);
}

void Statement::BindNull(int index) {
    if (m_result == SQLITE_OK) m_result = sqlite3_bind_null(m_statement, index);
}

int Statement::Step() {
    if (m_result != SQLITE_OK) return m_result;
    return sqlite3_step(m_statement);
}

void Statement::Reset() {
    if (m_statement != nullptr) sqlite3_reset(m_statement);
}

bool Statement::IsNull(int column) const {
    return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}

long long Statement::Int(int column) const { return sqlite3_column_int64(m_statement, column); }

double Statement::Real(int column) const {
    if (IsNull(column)) return std::numeric_limits<double>::quiet_NaN();
    return sqlite3_column_double(m_statement, column);
}

std::string Statement::Text(int column) const {
    const auto* text = sqlite3_column_text(m_statement, column);
    if (text == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(m_statement, column)));
}

Connection::~Connection() { sqlite3_close_v2(m_db); }

int Connection::Open(const std::string& path, bool immutable, uint32_t busyTimeoutMs,
                     std::unique_ptr<Connection>* connection) {
    std::unique_ptr<Connection> c(new Connection());
    c->m_busyTimeoutMs = busyTimeoutMs;
    // The store serialises its calls itself.
    int flags = SQLITE_OPEN_NOMUTEX;
    std::string name = path;
    if (immutable) {
        flags |= SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
        name = FileUri(path) + "?immutable=1";
    } else {
        flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    }
    const int rc = sqlite3_open_v2(name.c_str(), &c->m_db, flags, nullptr);
    // A failed open still gives a handle with the reason, for Error().
    if (c->m_db != nullptr) {
        sqlite3_extended_result_codes(c->m_db, 1);
        sqlite3_busy_handler(c->m_db, &Connection::Busy, c.get());
    }
    *connection = std::move(c);
    return rc;
}

// SQLite's own busy timeout sleeps on the real clock; this one waits in the
// program's clock milliseconds, like every other wait.
int Connection::Busy(void* self, int count) {
    auto* c = static_cast<Connection*>(self);
    if (count == 0) c->m_busySince = platform::Tick();
    const uint32_t waited = platform::Tick() - c->m_busySince;
    if (waited >= c->m_busyTimeoutMs) return 0;
    // Short waits first: a writer usually holds the lock for milliseconds.
    const uint32_t step = count < 5 ? 1u << count : 25u;
    platform::Sleep(std::min(step, c->m_busyTimeoutMs - waited));
    return 1;
}

bool Connection::ReadOnly() const { return sqlite3_db_readonly(m_db, "main") == 1; }

Status Connection::Error(int rc) const {
    Status status;
    switch (rc & 0xff) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return status;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return {ErrorCode::kLocked, "database is locked"};
        case SQLITE_NOTADB:
            return {ErrorCode::kCorrupt, "file is not a database"};
        case SQLITE_CORRUPT:
            return {ErrorCode::kCorrupt, "database file is damaged"};
        case SQLITE_READONLY:
        case SQLITE_PERM:
            return {ErrorCode::kReadOnly, "database is read-only"};
        case SQLITE_FULL:
            return {ErrorCode::kFailed, "disk is full"};
        case SQLITE_CANTOPEN:
        case SQLITE_IOERR: {
            // The system's reason says whether the disk or the folder is
            // read-only.
            const int error = m_db != nullptr ? sqlite3_system_errno(m_db) : 0;
            if (DeniedBySystem(error))
                return {ErrorCode::kReadOnly,
                        std::string("database is read-only (") + std::strerror(error) + ")"};
            if ((rc & 0xff) == SQLITE_IOERR) break;
            return {ErrorCode::kCannotOpen,
                    std::string("cannot open the database") +
                        (error != 0 ? std::string(": ") + std::strerror(error) : std::string())};
        }
        default:
            break;
    }
    const char* message = m_db != nullptr ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
    return {ErrorCode::kFailed, message != nullptr ? message : sqlite3_errstr(rc)};
}

int Connection::Execute(const char* sql) {
    return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
}

Status Connection::Write(const std::function<Status()>& body) {
    int rc = Execute("BEGIN IMMEDIATE");
    if (rc != SQLITE_OK) return Error(rc);
    Status status = body();
    if (status.ok()) {
        rc = Execute("COMMIT");
        if (rc == SQLITE_OK) return status;
        status = Error(rc);
    }
    // A failed COMMIT may have ended the transaction already.
    if (sqlite3_get_autocommit(m_db) == 0) Execute("ROLLBACK");
    return status;
}

}  // namespace store::detail
