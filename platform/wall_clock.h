// Local wall-clock time, for trace lines and logs that a person reads beside
// a clock on the wall. Not for waits or intervals: those go through the
// millisecond tick (platform/clock.h), which may run scaled in tests.
#pragma once

#include <chrono>
#include <ctime>
#include <string>

namespace platform {

struct LocalTime {
    int year = 1970;
    int month = 1;  // 1-12
    int day = 1;    // 1-31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    int utcOffsetMinutes = 0;  // local time minus UTC, e.g. +60 in CET
};

LocalTime ToLocalTime(std::chrono::system_clock::time_point t);
inline LocalTime LocalNow() { return ToLocalTime(std::chrono::system_clock::now()); }

// Platform part: the local calendar fields of a time and its offset from
// UTC; false when the time cannot be converted.
bool LocalCalendar(time_t seconds, tm& local, int& utcOffsetMinutes);

// "05:42:00.123".
std::string FormatTimeOfDay(const LocalTime& t);
// "2026-12-10T05:42:00.123+01:00" (ISO 8601, milliseconds, offset from UTC).
std::string FormatIso8601(const LocalTime& t);

}  // namespace platform
