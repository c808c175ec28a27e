#include <time.h>

#include "platform/wall_clock.h"

namespace platform {

bool LocalCalendar(time_t seconds, tm& local, int& utcOffsetMinutes) {
    if (::localtime_r(&seconds, &local) == nullptr) return false;
    utcOffsetMinutes = static_cast<int>(local.tm_gmtoff / 60);
    return true;
}

}  // namespace platform
