#include "platform/wall_clock.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

LocalTime ToLocalTime(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    // Floor division: a time before 1970 still has 0-999 milliseconds.
    auto seconds = static_cast<time_t>(ms / 1000);
    int millisecond = static_cast<int>(ms % 1000);
    if (millisecond < 0) {
        millisecond += 1000;
        --seconds;
    }
    tm local{};
    LocalTime out;
    if (!LocalCalendar(seconds, local, out.utcOffsetMinutes)) return out;
    out.year = local.tm_year + 1900;
    out.month = local.tm_mon + 1;
    out.day = local.tm_mday;
    out.hour = local.tm_hour;
    out.minute = local.tm_min;
    out.second = local.tm_sec;
    out.millisecond = millisecond;
    return out;
}

std::string FormatTimeOfDay(const LocalTime& t) {
    char text[32];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03d", t.hour, t.minute, t.second,
                  t.millisecond);
    return text;
}

std::string FormatIso8601(const LocalTime& t) {
    const int offset = std::abs(t.utcOffsetMinutes);
    char text[48];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", t.year,
                  t.month, t.day, t.hour, t.minute, t.second, t.millisecond,
                  t.utcOffsetMinutes < 0 ? '-' : '+', offset / 60, offset % 60);
    return text;
}

}  // namespace platform
