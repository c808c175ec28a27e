// What a call on the store came to: success, or one failure a person can
// act on, with the reason in words. The codes are stable, so a caller that
// writes every run can tell a read-only disk once rather than every time.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace store {

enum class ErrorCode {
    kOk,
    kLocked,       // another program holds the database beyond the busy timeout
    kCorrupt,      // not a database, or a damaged one
    kReadOnly,     // read-only file, folder or disk: reads work, writes do not
    kNewerSchema,  // made by a newer version of the program: left untouched
    kForeign,      // a database of another program: left untouched
    kCannotOpen,   // no such folder, no home, not open
    kExists,       // a calibration record of that stem is stored already
    kFailed,       // anything else: disk full, I/O error
};

struct Status {
    ErrorCode code = ErrorCode::kOk;
    std::string reason;  // "database is locked"; empty when ok

    bool ok() const { return code == ErrorCode::kOk; }
};

// "locked", "corrupt", ... for logs and tests.
const char* ErrorCodeName(ErrorCode code);

// Which failures have been told already. Shared by every caller that
// reports them (it may be used from any thread), so that each kind of
// failure reaches the operator once per run of the program.
class ErrorOnce {
public:
    // True for a failure whose code has not been seen before; false for
    // success and for a code seen already.
    bool First(const Status& status);

private:
    std::atomic<uint32_t> m_seen{0};
};

}  // namespace store
