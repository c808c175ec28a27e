// Debug traces of the serial and HART layers. Windows: the debugger output;
// elsewhere stderr, only while TARVOK_TRACE is set (or EnableTrace was called).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace platform {

bool TraceEnabled();
// Overrides the environment switch (the console tool's --trace).
void EnableTrace(bool on);

void Trace(std::string_view text);
// One line: prefix, then the bytes in hex ("TX: FF FF 02 80 ...").
void TraceHex(std::string_view prefix, const uint8_t* data, size_t length);

// Platform sink, one per platform file.
void WriteTraceText(std::string_view text);

}  // namespace platform
