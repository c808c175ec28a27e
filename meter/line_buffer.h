// Bytes of a stream cut into LF-ended answers (a CR before the LF is
// dropped). An answer that grows past the limit without its LF is handed
// out as it stands: it is garbage either way, and the caller says so.
#pragma once

#include <cstddef>
#include <string>

namespace meter {

class LineBuffer {
public:
    static constexpr size_t kMaxLine = 4096;

    void Append(const char* data, size_t length) { pending_.append(data, length); }
    // The next whole answer, if one is there.
    bool TakeLine(std::string* line) {
        const size_t lf = pending_.find('\n');
        if (lf == std::string::npos) {
            if (pending_.size() < kMaxLine) return false;
            *line = pending_.substr(0, kMaxLine);
            pending_.erase(0, kMaxLine);
            return true;
        }
        *line = pending_.substr(0, lf);
        pending_.erase(0, lf + 1);
        if (!line->empty() && line->back() == '\r') line->pop_back();
        return true;
    }
    void Clear() { pending_.clear(); }

private:
    std::string pending_;
};

}  // namespace meter
