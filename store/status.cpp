#include "store/status.h"

namespace store {

const char* ErrorCodeName(ErrorCode code) {
    switch (code) {
        case ErrorCode::kOk:
            return "ok";
        case ErrorCode::kLocked:
            return "locked";
        case ErrorCode::kCorrupt:
            return "corrupt";
        case ErrorCode::kReadOnly:
            return "read-only";
        case ErrorCode::kNewerSchema:
            return "newer-schema";
        case ErrorCode::kForeign:
            return "foreign";
        case ErrorCode::kCannotOpen:
            return "cannot-open";
        case ErrorCode::kExists:
            return "exists";
        case ErrorCode::kFailed:
            break;
    }
    return "failed";
}

bool ErrorOnce::First(const Status& status) {
    if (status.ok()) return false;
    const uint32_t bit = 1u << static_cast<unsigned>(status.code);
    return (m_seen.fetch_or(bit) & bit) == 0;
}

}  // namespace store
