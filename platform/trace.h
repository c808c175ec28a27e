// Debug traces of the serial and HART layers. Windows: the debugger output;
// elsewhere stderr, only while TARVOK_TRACE is set (or EnableTrace was called).
// Every line begins with the local time to the millisecond ("12:03:04.217
// TX 2 读回路电流 FF FF ..."), and every line also goes to the listeners
// registered in-process, whether or not the switch is on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace platform {

// Whether trace lines are wanted at all: the switch is on or a listener is
// registered. Callers test it before building an expensive line.
bool TraceEnabled();
// Overrides the environment switch (the console tool's --trace).
void EnableTrace(bool on);

// One line: the time, a blank, then text without its leading and trailing
// line breaks.
void Trace(std::string_view text);
// One frame: the time, the direction word (prefix, e.g. "TX"; a colon after
// it is dropped), the label of the exchange, then the bytes in hex:
// "12:03:04.217 TX 2 读回路电流 FF FF 02 80 ...". Without a label argument
// the calling thread's TraceLabel is used.
void TraceHex(std::string_view prefix, const uint8_t* data, size_t length);
void TraceHex(std::string_view prefix, std::string_view label, const uint8_t* data, size_t length);

// Names the exchange under way on this thread for the frames it traces while
// the object lives (the HART layer's command under way, for the transmit
// line that the serial layer writes). Nests: the outer label comes back.
class TraceLabel {
public:
    explicit TraceLabel(std::string label);
    ~TraceLabel();
    TraceLabel(const TraceLabel&) = delete;
    TraceLabel& operator=(const TraceLabel&) = delete;

private:
    std::string previous_;
};

// A listener gets every trace line (time included, no line break) on the
// thread that traces it, possibly with the link's locks held: it must be
// quick, must not block on the link and must not trace itself. Thread-safe;
// RemoveTraceListener returns once no call to that listener is in progress.
using TraceListener = std::function<void(std::string_view line)>;
int AddTraceListener(TraceListener listener);
void RemoveTraceListener(int id);

// Platform sink, one per platform file.
void WriteTraceText(std::string_view text);

}  // namespace platform
