// The transports of this platform. POSIX has all three; Windows has the TCP
// socket, and the serial and USBTMC transports there fail to open with "not
// supported on this platform".
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "meter/meter_target.h"
#include "meter/transport.h"

namespace meter {

// 8 data bits, no parity, 1 stop bit, no flow control; answers end with LF.
std::unique_ptr<Transport> CreateSerialTransport(const std::string& path, int baud);
// A raw socket; answers end with LF.
std::unique_ptr<Transport> CreateTcpTransport(const std::string& host, uint16_t port);
// One write per command, one read per answer.
std::unique_ptr<Transport> CreateUsbtmcTransport(const std::string& path);

// The transport a target names; nothing for the simulated meter, which its
// owner (the demo, the console tool's --simulate) makes.
std::unique_ptr<Transport> CreateSystemTransport(const MeterTarget& target);

}  // namespace meter
