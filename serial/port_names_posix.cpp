#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "platform/exe_dir.h"
#include "serial/port_factory.h"

namespace serial {
namespace {

// The directory whose COMn entries (links to real or pseudo ttys) override
// the built-in numbering; empty when there is none.
std::string PortsDirectory() {
    const char* dir = std::getenv("TARVOK_PORTS_DIR");
    if (dir != nullptr && *dir != '\0') return dir;
    const std::string exe = platform::ExecutableDirectory();
    return exe.empty() ? std::string() : exe + "/ports";
}

}  // namespace

std::string PortDevicePath(int port) {
    if (port <= 0) return {};
    const std::string dir = PortsDirectory();
    if (!dir.empty()) {
        const std::string entry = dir + "/COM" + std::to_string(port);
        // lstat: a link to a device that is gone still names this port, so
        // opening it fails instead of quietly falling back to a /dev tty.
        struct stat st;
        if (::lstat(entry.c_str(), &st) == 0) return entry;
    }
    struct Range {
        int first;
        const char* prefix;
    };
    static constexpr Range kRanges[] = {{1, "/dev/ttyS"}, {33, "/dev/ttyUSB"}, {65, "/dev/ttyACM"}};
    for (const Range& r : kRanges) {
        if (port >= r.first && port < r.first + 32)
            return r.prefix + std::to_string(port - r.first);
    }
    return {};
}

}  // namespace serial
