// The millisecond clock that every wait of the serial and HART layers goes
// through. Tests may run it faster than real time with SetTimeScale(); the
// behaviour's timings are then kept in clock milliseconds, not wall time.
#pragma once

#include <chrono>
#include <cstdint>

namespace platform {

// 32-bit millisecond tick that wraps like the Windows tick the timing rules
// were written against. Compare ticks by unsigned or signed 32-bit
// differences, never by ordering.
uint32_t Tick();

// Sleeps for ms clock milliseconds; 0 yields the processor only.
void Sleep(uint32_t ms);

// scale > 1 makes the clock run faster than real time (10 = ten clock
// milliseconds per real millisecond). The tick stays continuous across a
// change. Values <= 0 are ignored; $TARVOK_MAX_TIME_SCALE, when set, caps
// the speed-up (the sanitizer presets' test runs set it, and the Windows
// build's run under Wine, whose sleeps round up to whole milliseconds).
void SetTimeScale(double scale);
double TimeScale();

// Moves the tick to `now` and lets it run on from there at the current
// scale. Tests start just before the 32-bit wrap with it.
void SetTick(uint32_t now);

// Real duration of ms clock milliseconds at the current scale, for waits on
// condition variables and poll().
std::chrono::microseconds RealDuration(uint32_t ms);

}  // namespace platform
