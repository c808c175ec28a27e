#include "store/store.h"

#include <charconv>
#include <filesystem>
#include <initializer_list>
#include <string_view>
#include <system_error>

#include "platform/user_folders.h"
#include "platform/wall_clock.h"
#include "store/schema.h"
#include "store/sqlite_connection.h"

namespace store {
namespace {

namespace fs = std::filesystem;
using detail::Connection;
using detail::Statement;

// Local ISO 8601 with milliseconds and offset, for a person reading the
// file with other tools; the store itself orders and reads by time_ms.
std::string LocalText(Time time) { return platform::FormatIso8601(platform::ToLocalTime(time)); }

long long Milliseconds(Time time) { return time.time_since_epoch().count(); }
Time FromMilliseconds(long long ms) { return Time(std::chrono::milliseconds(ms)); }

// Shortest decimals that read back to the same doubles: "4,12,20".
std::string PointsText(const std::vector<double>& points) {
    std::string text;
    for (const double p : points) {
        char digits[32];
        const auto [end, ec] = std::to_chars(digits, digits + sizeof(digits), p);
        if (!text.empty()) text += ',';
        if (ec == std::errc()) text.append(digits, end);
    }
    return text;
}

std::vector<double> ParsePoints(const std::string& text) {
    std::vector<double> points;
    for (size_t at = 0; at < text.size();) {
        size_t comma = text.find(',', at);
        if (comma == std::string::npos) comma = text.size();
        double p = 0.0;
        const auto [end, ec] = std::from_chars(text.data() + at, text.data() + comma, p);
        if (ec == std::errc() && end == text.data() + comma) points.push_back(p);
        at = comma + 1;
    }
    return points;
}

void BindDeviceNumber(Statement& s, int index, int deviceNumber) {
    if (deviceNumber < 0)
        s.BindNull(index);
    else
        s.BindInt(index, deviceNumber);
}

int DeviceNumber(const Statement& s, int column) {
    return s.IsNull(column) ? -1 : static_cast<int>(s.Int(column));
}

// SQLite counts a negative limit as none.
long long Limit(int limit) { return limit > 0 ? limit : -1; }

// The columns a run is read from, then a result's with its points'.
constexpr std::string_view kRunColumns =
    "r.id, r.time_ms, r.fixture_device_number, r.port, r.operator, r.software_version,"
    " r.points_ma, r.settle_ms, r.tolerance_percent_of_span";
constexpr int kRunColumnCount = 9;
constexpr std::string_view kResultColumns =
    "d.id, d.channel, d.identity, d.tag, d.descriptor, d.date, d.long_tag, d.verdict, d.reason,"
    " p.position, p.nominal_ma, p.reading_ma, p.error_ma, p.error_percent_of_span, p.pass";
constexpr std::string_view kResultsWithPoints =
    "device_result d LEFT JOIN point_result p ON p.result_id = d.id";
constexpr std::string_view kCalibrationColumns =
    "stem, kind, time_ms, fixture_device_number, result, certificate_number, due_date, json";

std::string Sql(std::initializer_list<std::string_view> parts) {
    std::string sql;
    for (const std::string_view part : parts) sql += part;
    return sql;
}

TestRun ReadRun(const Statement& s, int first) {
    TestRun run;
    run.id = s.Int(first);
    run.time = FromMilliseconds(s.Int(first + 1));
    run.deviceNumber = DeviceNumber(s, first + 2);
    run.port = s.Text(first + 3);
    run.operatorName = s.Text(first + 4);
    run.softwareVersion = s.Text(first + 5);
    run.pointsMa = ParsePoints(s.Text(first + 6));
    run.settleMs = static_cast<int>(s.Int(first + 7));
    run.tolerancePercentOfSpan = s.Real(first + 8);
    return run;
}

DeviceResult ReadResult(const Statement& s, int first) {
    DeviceResult r;
    r.channel = static_cast<int>(s.Int(first + 1));
    r.identity = s.Text(first + 2);
    r.tag = s.Text(first + 3);
    r.descriptor = s.Text(first + 4);
    r.date = s.Text(first + 5);
    r.longTag = s.Text(first + 6);
    // The table's CHECK admits only known verdicts.
    if (!ParseVerdict(s.Text(first + 7), &r.verdict)) r.verdict = Verdict::kError;
    r.reason = s.Text(first + 8);
    return r;
}

// The point of a result row; a result without points has one row whose
// point columns are NULL.
void ReadPoint(const Statement& s, int first, DeviceResult* r) {
    if (s.IsNull(first + 9)) return;
    PointResult p;
    p.nominalMa = s.Real(first + 10);
    p.readingMa = s.Real(first + 11);
    p.errorMa = s.Real(first + 12);
    p.errorPercentOfSpan = s.Real(first + 13);
    p.pass = s.Int(first + 14) != 0;
    r->points.push_back(p);
}

CalibrationEntry ReadCalibration(const Statement& s) {
    CalibrationEntry e;
    e.stem = s.Text(0);
    e.kind = s.Text(1);
    e.time = FromMilliseconds(s.Int(2));
    e.deviceNumber = DeviceNumber(s, 3);
    e.result = s.Text(4);
    e.certificateNumber = s.Text(5);
    e.dueDate = s.Text(6);
    e.json = s.Text(7);
    return e;
}

std::string InsertCalibration() {
    return Sql({"INSERT INTO calibration_record (", kCalibrationColumns,
                ", time) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"});
}

void BindCalibration(Statement& s, const CalibrationEntry& e) {
    s.BindText(1, e.stem);
    s.BindText(2, e.kind);
    s.BindInt(3, Milliseconds(e.time));
    BindDeviceNumber(s, 4, e.deviceNumber);
    s.BindText(5, e.result);
    s.BindText(6, e.certificateNumber);
    s.BindText(7, e.dueDate);
    s.BindText(8, e.json);
    s.BindText(9, LocalText(e.time));
}

// A transmitter's results in every run, newest run first: the run's
// columns, then the result's with its points.
std::string HistorySql(std::string_view condition) {
    return Sql({"SELECT ", kRunColumns, ", ", kResultColumns, " FROM ", kResultsWithPoints,
                " JOIN test_run r ON r.id = d.run_id WHERE ", condition,
                " ORDER BY r.time_ms DESC, r.id DESC, d.channel, d.id, p.position"});
}

// The result rows of a history query, grouped by result: run columns first.
Status ReadHistory(const Connection& c, Statement& s, std::vector<HistoryEntry>* entries) {
    int rc = SQLITE_OK;
    long long last = 0;
    while ((rc = s.Step()) == SQLITE_ROW) {
        const long long resultId = s.Int(kRunColumnCount);
        if (entries->empty() || resultId != last) {
            entries->push_back({ReadRun(s, 0), ReadResult(s, kRunColumnCount)});
            last = resultId;
        }
        ReadPoint(s, kRunColumnCount, &entries->back().result);
    }
    if (rc == SQLITE_DONE) return {};
    entries->clear();
    return c.Error(rc);
}

Status NotWritable() { return {ErrorCode::kReadOnly, "database is read-only"}; }

// Opens the file and makes it ready: identity checked, WAL on, schema up to
// date. *created when this made the tables.
Status OpenFile(const std::string& path, uint32_t busyTimeoutMs,
                std::unique_ptr<Connection>* connection, bool* created) {
    if (path.empty()) return {ErrorCode::kCannotOpen, "no home folder to keep the database in"};
    const std::string folder = fs::path(path).parent_path().string();
    std::string why;
    if (!folder.empty() && !platform::MakePrivateFolders(folder, &why))
        return {ErrorCode::kCannotOpen, "cannot make the folder " + folder + ": " + why};

    std::unique_ptr<Connection> c;
    int rc = Connection::Open(path, false, busyTimeoutMs, &c);
    std::error_code ec;
    if ((rc & 0xff) == SQLITE_CANTOPEN && !fs::exists(path, ec))
        return {ErrorCode::kReadOnly, "cannot create the database in a read-only folder"};
    if (rc != SQLITE_OK) return c->Error(rc);
    detail::FileIdentity identity;
    rc = detail::ReadIdentity(*c, &identity);
    const int primary = rc & 0xff;
    if (primary == SQLITE_READONLY || primary == SQLITE_CANTOPEN) {
        // A folder or disk we may not write: the WAL's companion files
        // cannot be made there, so the file is read as it stands.
        std::unique_ptr<Connection> reader;
        if (Connection::Open(path, true, busyTimeoutMs, &reader) == SQLITE_OK &&
            detail::ReadIdentity(*reader, &identity) == SQLITE_OK) {
            c = std::move(reader);
            rc = SQLITE_OK;
        }
    }
    if (rc != SQLITE_OK) return c->Error(rc);
    if (Status refused = detail::Refusal(identity); !refused.ok()) return refused;

    if (!c->ReadOnly()) {
        // Readers go on while a run is written. The mode is kept in the
        // file.
        rc = c->Execute("PRAGMA journal_mode = WAL");
        if (rc != SQLITE_OK) return c->Error(rc);
    }
    if (detail::NeedsMigration(identity)) {
        if (c->ReadOnly()) return NotWritable();
        if (Status migrated = detail::Migrate(*c, created); !migrated.ok()) return migrated;
    }
    rc = c->Execute("PRAGMA foreign_keys = ON");
    if (rc != SQLITE_OK) return c->Error(rc);
    *connection = std::move(c);
    return {};
}

}  // namespace

Store::Store() = default;
Store::~Store() = default;

std::string Store::DefaultPath() {
    const std::string data = platform::UserDataHome();
    if (data.empty()) return {};
    return (fs::path(data) / "tarvok" / "tarvok.db").string();
}

Status Store::Open(const std::string& path, uint32_t busyTimeoutMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connection.reset();
    m_path = path.empty() ? DefaultPath() : path;
    bool created = false;
    m_openStatus = OpenFile(m_path, busyTimeoutMs, &m_connection, &created);
    m_createdNow = m_openStatus.ok() && created;
    return m_openStatus;
}

void Store::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connection.reset();
    m_openStatus = {};
    m_createdNow = false;
}

std::string Store::Path() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_path;
}

bool Store::CreatedNow() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_createdNow;
}

bool Store::ReadOnly() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connection != nullptr && m_connection->ReadOnly();
}

Connection* Store::Ready(Status* status) const {
    if (m_connection != nullptr) return m_connection.get();
    *status =
        m_openStatus.ok() ? Status{ErrorCode::kCannotOpen, "database is not open"} : m_openStatus;
    return nullptr;
}

Status Store::WriteRun(const TestRun& run, long long* id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Status status;
    Connection* c = Ready(&status);
    if (c == nullptr) return status;
    if (c->ReadOnly()) return NotWritable();
    long long runId = 0;
    status = c->Write([&]() -> Status {
        sqlite3* db = c->Handle();
        Statement insertRun(db,
                            "INSERT INTO test_run (time_ms, time, fixture_device_number, port,"
                            " operator, software_version, points_ma, settle_ms,"
                            " tolerance_percent_of_span)"
                            " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
        insertRun.BindInt(1, Milliseconds(run.time));
        insertRun.BindText(2, LocalText(run.time));
        BindDeviceNumber(insertRun, 3, run.deviceNumber);
        insertRun.BindText(4, run.port);
        insertRun.BindText(5, run.operatorName);
        insertRun.BindText(6, run.softwareVersion);
        insertRun.BindText(7, PointsText(run.pointsMa));
        insertRun.BindInt(8, run.settleMs);
        insertRun.BindReal(9, run.tolerancePercentOfSpan);
        int rc = insertRun.Step();
        if (rc != SQLITE_DONE) return c->Error(rc);
        runId = sqlite3_last_insert_rowid(db);

        Statement insertResult(db,
                               "INSERT INTO device_result (run_id, channel, identity, tag,"
                               " descriptor, date, long_tag, verdict, reason)"
                               " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
        Statement insertPoint(db,
                              "INSERT INTO point_result (result_id, position, nominal_ma,"
                              " reading_ma, error_ma, error_percent_of_span, pass)"
                              " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
        for (const DeviceResult& r : run.results) {
            insertResult.Reset();
            insertResult.BindInt(1, runId);
            insertResult.BindInt(2, r.channel);
            insertResult.BindText(3, r.identity);
            insertResult.BindText(4, r.tag);
            insertResult.BindText(5, r.descriptor);
            insertResult.BindText(6, r.date);
            insertResult.BindText(7, r.longTag);
            insertResult.BindText(8, VerdictText(r.verdict));
            insertResult.BindText(9, r.reason);
            rc = insertResult.Step();
            if (rc != SQLITE_DONE) return c->Error(rc);
            const long long resultId = sqlite3_last_insert_rowid(db);
            for (size_t i = 0; i < r.points.size(); ++i) {
                const PointResult& p = r.points[i];
                insertPoint.Reset();
                insertPoint.BindInt(1, resultId);
                insertPoint.BindInt(2, static_cast<long long>(i));
                insertPoint.BindReal(3, p.nominalMa);
                insertPoint.BindReal(4, p.readingMa);
                insertPoint.BindReal(5, p.errorMa);
                insertPoint.BindReal(6, p.errorPercentOfSpan);
                insertPoint.BindInt(7, p.pass ? 1 : 0);
                rc = insertPoint.Step();
                if (rc != SQLITE_DONE) return c->Error(rc);
            }
        }
        return {};
    });
    if (status.ok() && id != nullptr) *id = runId;
    return status;
}

Status Store::Runs(std::vector<TestRun>* runs, int limit) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    runs->clear();
    Status status;
    const Connection* c = Ready(&status);
    if (c == nullptr) return status;
    Statement s(c->Handle(), Sql({"SELECT ", kRunColumns,
                                  " FROM test_run r ORDER BY r.time_ms DESC, r.id DESC LIMIT ?1"}));
    s.BindInt(1, Limit(limit));
    int rc = SQLITE_OK;
    while ((rc = s.Step()) == SQLITE_ROW) runs->push_back(ReadRun(s, 0));
    if (rc == SQLITE_DONE) return {};
    runs->clear();
    return c->Error(rc);
}

Status Store::RunResults(long long runId, std::vector<DeviceResult>* results) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    results->clear();
    Status status;
    const Connection* c = Ready(&status);
    if (c == nullptr) return status;
    Statement s(c->Handle(), Sql({"SELECT ", kResultColumns, " FROM ", kResultsWithPoints,
                                  " WHERE d.run_id = ?1 ORDER BY d.channel, d.id, p.position"}));
    s.BindInt(1, runId);
    int rc = SQLITE_OK;
    long long last = 0;
    while ((rc = s.Step()) == SQLITE_ROW) {
        if (results->empty() || s.Int(0) != last) {
            results->push_back(ReadResult(s, 0));
            last = s.Int(0);
        }
        ReadPoint(s, 0, &results->back());
    }
    if (rc == SQLITE_DONE) return {};
    results->clear();
    return c->Error(rc);
}

Status Store::DeviceHistory(const std::string& key, std::vector<HistoryEntry>* entries) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    entries->clear();
    Status status;
    const Connection* c = Ready(&status);
    if (c == nullptr || key.empty()) return status;
    Statement s(c->Handle(), HistorySql("d.identity = ?1 OR d.tag = ?1"));
    s.BindText(1, key);
    return ReadHistory(*c, s, entries);
}

Status Store::TagHistory(const std::string& part, std::vector<HistoryEntry>* entries) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    entries->clear();
    Status status;
    const Connection* c = Ready(&status);
    if (c == nullptr || part.empty()) return status;
    // The operator's text matches as it stands: its % and _ are no
    // wildcards.
    std::string pattern = "%";
    for (const char ch : part) {
        if (ch == '%' || ch == '_' || ch == '\\') pattern += '\\';
        pattern += ch;
    }
    pattern += '%';
    Statement s(c->Handle(), HistorySql("d.tag LIKE ?1 ESCAPE '\\'"));
    s.BindText(1, pattern);
    return ReadHistory(*c, s, entries);
}

Status Store::AddCalibration(const CalibrationEntry& entry) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Status status;
    Connection* c = Ready(&status);
    if (c == nullptr) return status;
    if (c->ReadOnly()) return NotWritable();
    return c->Write([&]() -> Status {
        Statement s(c->Handle(), InsertCalibration());
        BindCalibration(s, entry);
        const int rc = s.Step();
        if (rc == SQLITE_CONSTRAINT_PRIMARYKEY)
            return {ErrorCode::kExists,
                    "a calibration record named " + entry.stem + " is stored already"};
        if (rc != SQLITE_DONE) return c->Error(rc);
        return {};
    });
}

Status Store::ImportCalibrations(const std::vector<CalibrationEntry>& entries, int* imported) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (imported != nullptr) *imported = 0;
    Status status;
    Connection* c = Ready(&status);
    if (c == nullptr) return status;
    if (c->ReadOnly()) return NotWritable();
    int count = 0;
    status = c->Write([&]() -> Status {
        Statement s(c->Handle(), InsertCalibration() + " ON CONFLICT (stem) DO NOTHING");
        for (const CalibrationEntry& e : entries) {
            if (e.stem.empty()) continue;
            s.Reset();
            BindCalibration(s, e);
            const int rc = s.Step();
            if (rc != SQLITE_DONE) return c->Error(rc);
            count += sqlite3_changes(c->Handle());
        }
        return {};
    });
    if (status.ok() && imported != nullptr) *imported = count;
    return status;
}

Status Store::Calibrations(std::vector<CalibrationEntry>* entries, int limit) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    entries->clear();
    Status status;
    const Connection* c = Ready(&status);
    if (c == nullptr) return status;
    Statement s(c->Handle(),
                Sql({"SELECT ", kCalibrationColumns,
                     " FROM calibration_record ORDER BY time_ms DESC, stem DESC LIMIT ?1"}));
    s.BindInt(1, Limit(limit));
    int rc = SQLITE_OK;
    while ((rc = s.Step()) == SQLITE_ROW) entries->push_back(ReadCalibration(s));
    if (rc == SQLITE_DONE) return {};
    entries->clear();
    return c->Error(rc);
}

Status Store::LastWrittenCalibration(int deviceNumber,
                                     std::optional<CalibrationEntry>* entry) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    entry->reset();
    Status status;
    const Connection* c = Ready(&status);
    if (c == nullptr || deviceNumber < 0) return status;
    Statement s(c->Handle(), Sql({"SELECT ", kCalibrationColumns,
                                  " FROM calibration_record WHERE fixture_device_number = ?1"
                                  " AND kind = 'calibration' AND result = 'written'"
                                  " ORDER BY time_ms DESC, stem DESC LIMIT 1"}));
    s.BindInt(1, deviceNumber);
    const int rc = s.Step();
    if (rc == SQLITE_ROW) *entry = ReadCalibration(s);
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) return {};
    return c->Error(rc);
}

Status Store::Check() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    Status status;
    const Connection* c = Ready(&status);
    if (c == nullptr) return status;
    Statement s(c->Handle(), "PRAGMA quick_check(1)");
    const int rc = s.Step();
    if (rc != SQLITE_ROW) return c->Error(rc);
    const std::string verdict = s.Text(0);
    if (verdict == "ok") return {};
    return {ErrorCode::kCorrupt, "database file is damaged: " + verdict};
}

}  // namespace store
