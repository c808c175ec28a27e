#include <time.h>

#include "platform/wall_clock.h"

namespace platform {

bool LocalCalendar(time_t seconds, tm& local, int& utcOffsetMinutes) {
    if (::localtime_s(&local, &seconds) != 0) return false;
    // The local fields read back as if they were UTC, minus the real instant.
    tm asUtc = local;
    const time_t shifted = ::_mkgmtime(&asUtc);
    utcOffsetMinutes =
        shifted == static_cast<time_t>(-1) ? 0 : static_cast<int>((shifted - seconds) / 60);
    return true;
}

}  // namespace platform
