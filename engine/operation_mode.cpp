#include "engine/operation_mode.h"

#include <cstdio>
#include <cstdlib>

namespace engine {

std::string ChannelReadoutText(int n) {
    if (n < 1 || n > 32) return "00";
    char text[8];
    std::snprintf(text, sizeof(text), n <= 9 ? "%02d" : "%d", n);
    return text;
}

int ChannelFromReadout(const std::string& text) { return std::atoi(text.c_str()); }

int StepTargetOf(int c, int steps) {
    const int r = steps % 33;  // keeps the sign of steps
    if (r == 0) return 0;
    const int t = (c + r + 33) % 33;
    if (t == 0) return r > 0 ? 1 : 32;
    return t;
}

std::string FormatLoopCurrent(float ma) {
    const double v = ma;
    char text[64];
    std::snprintf(text, sizeof(text), v < 10.0 ? " %.03f" : "%.03f", v);
    return text;
}

std::string DeviceNumberText(int number) {
    char text[32];
    std::snprintf(text, sizeof(text), "设备%d #", number);
    return text;
}

}  // namespace engine
