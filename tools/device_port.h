// A system port opened at a path the operator names, whatever port number
// the link asks for (the console tool's --device).
#pragma once

#include <memory>
#include <string>

#include "serial/com_port.h"

namespace tools {

std::unique_ptr<serial::ComPort> CreateDevicePort(std::string path);

}  // namespace tools
