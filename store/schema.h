// The database's tables and how a database of an older schema is brought up
// to this one. The version is SQLite's user_version; the application id
// tells our file from another program's.
#pragma once

#include "store/sqlite_connection.h"
#include "store/status.h"

namespace store::detail {

inline constexpr int kSchemaVersion = 1;

// What a file says it is, read before anything is written to it.
struct FileIdentity {
    long long applicationId = 0;
    long long version = 0;
    long long objects = 0;  // tables, indexes, ...: none in a new file
};

// The SQLite result code; NOTADB for a file that is none.
int ReadIdentity(Connection& connection, FileIdentity* identity);

// kNewerSchema or kForeign for a file this program must not touch.
Status Refusal(const FileIdentity& identity);

// True when the file needs the migration: a new file or an older schema.
bool NeedsMigration(const FileIdentity& identity);

// In one write transaction: reads the identity again (another program may
// have migrated it meanwhile), refuses it as Refusal() does, and runs the
// steps from its version up to kSchemaVersion. *created tells whether it
// was a new file.
Status Migrate(Connection& connection, bool* created);

}  // namespace store::detail
