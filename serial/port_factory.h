// Where ports come from: the operating system's backend by default, or a
// replacement (the simulated fixture, a device named on the command line)
// installed by a test, the benchmark, the demo mode or the console tool.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "serial/com_port.h"

namespace serial {

// What a port number stands for: the backend object, the device to open
// with it and the name that messages show. No port object: the number has
// no port.
struct PortEndpoint {
    std::unique_ptr<ComPort> port;
    std::string device;
    std::string name;
};

using PortFactory = std::function<PortEndpoint(int port)>;

// The backend of this platform (posix_port.cpp or win32_port.cpp).
std::unique_ptr<ComPort> CreateSystemPort();

// Installs a factory used by every later open and probe; an empty one
// restores the system ports.
void SetPortFactory(PortFactory factory);
// A factory with one port, `number`, made by `make`; every other number has
// none. `name` defaults to PortName(number).
PortFactory SinglePortFactory(int number, std::function<std::unique_ptr<ComPort>()> make,
                              std::string device = {}, std::string name = {});

// The endpoint for port n from the installed factory, or the system port at
// PortDevicePath(n) named PortName(n).
PortEndpoint CreatePort(int port);

// Opens port n and closes it again at once: true when it is there and free.
// Leaves nothing behind that would stop the next open, and changes nothing
// about a port another program holds (ComPort::Probe).
bool ProbePort(int port);

// "COM%d" up to 9, "\\.\COM%d" from 10: the name shown in messages.
std::string PortName(int port);

// The device the port number stands for on this platform; empty when the
// number has none. POSIX: $TARVOK_PORTS_DIR/COMn (or <exe dir>/ports/COMn)
// when that entry exists, else 1-32 ttyS0-31, 33-64 ttyUSB0-31,
// 65-96 ttyACM0-31. Windows: PortName(port).
std::string PortDevicePath(int port);

}  // namespace serial
