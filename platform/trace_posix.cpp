#include <unistd.h>

#include "platform/trace.h"

namespace platform {

void WriteTraceText(std::string_view text) {
    // One write() so that lines of different threads do not interleave.
    ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
    (void)ignored;
}

}  // namespace platform
