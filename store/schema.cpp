#include "store/schema.h"

#include <iterator>
#include <string>

namespace store::detail {
namespace {

// "TRVK": set in every file this program makes.
constexpr long long kApplicationId = 0x5452564B;

// Step i brings a file of version i to version i + 1; step 0 makes the
// tables of a new file. A later version adds its step and never edits an
// earlier one.
//
// Identity and tag compare without letter case: the identity is hex, and
// a tag is typed in by hand to find a transmitter. Readings that could not
// be had are NULL.
constexpr const char* kSteps[] = {
    R"sql(
CREATE TABLE test_run (
  id INTEGER PRIMARY KEY,
  time_ms INTEGER NOT NULL,
  time TEXT NOT NULL,
  fixture_device_number INTEGER,
  port TEXT NOT NULL,
  operator TEXT NOT NULL,
  software_version TEXT NOT NULL,
  points_ma TEXT NOT NULL,
  settle_ms INTEGER NOT NULL,
  tolerance_percent_of_span REAL NOT NULL
);
CREATE INDEX test_run_time ON test_run (time_ms);

CREATE TABLE device_result (
  id INTEGER PRIMARY KEY,
  run_id INTEGER NOT NULL REFERENCES test_run (id) ON DELETE CASCADE,
  channel INTEGER NOT NULL,
  identity TEXT NOT NULL COLLATE NOCASE,
  tag TEXT NOT NULL COLLATE NOCASE,
  descriptor TEXT NOT NULL,
  date TEXT NOT NULL,
  long_tag TEXT NOT NULL,
  verdict TEXT NOT NULL CHECK (verdict IN ('empty', 'no-hart', 'pass', 'fail', 'error')),
  reason TEXT NOT NULL
);
CREATE INDEX device_result_run ON device_result (run_id);
CREATE INDEX device_result_identity ON device_result (identity);
CREATE INDEX device_result_tag ON device_result (tag);

CREATE TABLE point_result (
  result_id INTEGER NOT NULL REFERENCES device_result (id) ON DELETE CASCADE,
  position INTEGER NOT NULL,
  nominal_ma REAL NOT NULL,
  reading_ma REAL,
  error_ma REAL,
  error_percent_of_span REAL,
  pass INTEGER NOT NULL,
  PRIMARY KEY (result_id, position)
);

CREATE TABLE calibration_record (
  stem TEXT PRIMARY KEY NOT NULL,
  kind TEXT NOT NULL,
  time_ms INTEGER NOT NULL,
  time TEXT NOT NULL,
  fixture_device_number INTEGER,
  result TEXT NOT NULL,
  certificate_number TEXT NOT NULL,
  due_date TEXT NOT NULL,
  json TEXT NOT NULL
);
CREATE INDEX calibration_record_time ON calibration_record (time_ms);
CREATE INDEX calibration_record_device ON calibration_record (fixture_device_number, time_ms);
)sql",
};
static_assert(std::size(kSteps) == kSchemaVersion);

}  // namespace

int ReadIdentity(Connection& connection, FileIdentity* identity) {
    Statement s(connection.Handle(),
                "SELECT (SELECT application_id FROM pragma_application_id),"
                " (SELECT user_version FROM pragma_user_version),"
                " (SELECT count(*) FROM sqlite_master)");
    const int rc = s.Step();
    if (rc != SQLITE_ROW) return rc;
    identity->applicationId = s.Int(0);
    identity->version = s.Int(1);
    identity->objects = s.Int(2);
    return SQLITE_OK;
}

Status Refusal(const FileIdentity& identity) {
    const bool empty =
        identity.applicationId == 0 && identity.version == 0 && identity.objects == 0;
    if (!empty && identity.applicationId != kApplicationId)
        return {ErrorCode::kForeign, "file is a database of another program"};
    if (identity.version > kSchemaVersion)
        return {ErrorCode::kNewerSchema,
                "database schema version " + std::to_string(identity.version) +
                    " is newer than this program's " + std::to_string(kSchemaVersion)};
    return {};
}

bool NeedsMigration(const FileIdentity& identity) { return identity.version < kSchemaVersion; }

Status Migrate(Connection& connection, bool* created) {
    *created = false;
    return connection.Write([&]() -> Status {
        FileIdentity identity;
        int rc = ReadIdentity(connection, &identity);
        if (rc != SQLITE_OK) return connection.Error(rc);
        if (Status refused = Refusal(identity); !refused.ok()) return refused;
        for (long long v = identity.version; v < kSchemaVersion; ++v) {
            rc = connection.Execute(kSteps[v]);
            if (rc != SQLITE_OK) return connection.Error(rc);
        }
        // PRAGMA takes no bound values.
        const std::string stamp = "PRAGMA application_id = " + std::to_string(kApplicationId) +
                                  "; PRAGMA user_version = " + std::to_string(kSchemaVersion);
        rc = connection.Execute(stamp.c_str());
        if (rc != SQLITE_OK) return connection.Error(rc);
        *created = identity.version == 0;
        return {};
    });
}

}  // namespace store::detail
