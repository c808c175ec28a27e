#include "serial/port_factory.h"

namespace serial {

std::string PortDevicePath(int port) {
    if (port < 1 || port > 255) return {};
    return PortName(port);
}

}  // namespace serial
