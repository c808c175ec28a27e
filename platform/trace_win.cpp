#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/trace.h"

namespace platform {

void WriteTraceText(std::string_view text) {
    const std::string copy(text);
    ::OutputDebugStringA(copy.c_str());
    std::fwrite(copy.data(), 1, copy.size(), stderr);
}

}  // namespace platform
