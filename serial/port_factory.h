// Where ComPort objects come from: the operating system's backend by
// default, or a replacement (the simulated fixture) installed by a test, the
// benchmark or the demo mode.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "serial/com_port.h"

namespace serial {

using PortFactory = std::function<std::unique_ptr<ComPort>()>;

// The backend of this platform (posix_port.cpp or win32_port.cpp).
std::unique_ptr<ComPort> CreateSystemPort();

// Installs a factory used by every later open; an empty one restores the
// system backend.
void SetPortFactory(PortFactory factory);
std::unique_ptr<ComPort> CreatePort();

// "COM%d" up to 9, "\\.\COM%d" from 10: the name shown in messages.
std::string PortName(int port);

// The device the port number stands for on this platform; empty when the
// number has none. POSIX: $TARVOK_PORTS_DIR/COMn (or <exe dir>/ports/COMn)
// when that entry exists, else 1-32 ttyS0-31, 33-64 ttyUSB0-31,
// 65-96 ttyACM0-31. Windows: PortName(port).
std::string PortDevicePath(int port);

}  // namespace serial
