// Which meter, as one text: "serial:/dev/ttyUSB0:9600", "tcp:10.0.0.7",
// "usbtmc:/dev/usbtmc0" or "sim:12" (the simulated meter, reading 12 mA).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace meter {

enum class MeterKind { kSerial, kTcp, kUsbtmc, kSimulated };

inline constexpr int kDefaultBaud = 9600;
inline constexpr uint16_t kDefaultTcpPort = 5025;
inline constexpr double kDefaultSimulatedMa = 4.0;

struct MeterTarget {
    MeterKind kind = MeterKind::kSimulated;
    std::string path;  // serial, usbtmc: the device
    int baud = kDefaultBaud;
    std::string host;  // tcp: a name or an address, IPv6 without its brackets
    uint16_t port = kDefaultTcpPort;
    double simulatedMa = kDefaultSimulatedMa;  // sim: the current the meter reads
};

// serial:PATH[:BAUD]   8N1, LF ended; BAUD one of 1200 ... 115200, 9600 by
//                      default. A path may hold colons (/dev/serial/by-path
//                      names do): only an all-digit last part is a baud rate.
// tcp:HOST[:PORT]      raw socket, port 5025 by default; [v6 address]:PORT
// usbtmc:PATH          a USBTMC character device
// sim[:MA]             the simulated meter, MA between 0 and 25 (4 by default)
// Nothing on a malformed text, and why in *why.
std::optional<MeterTarget> ParseMeterTarget(std::string_view text, std::string* why);

// The target as ParseMeterTarget reads it back, defaults spelled out.
std::string FormatMeterTarget(const MeterTarget& target);

// Whether a serial line can run at this rate here.
bool IsSupportedBaud(int baud);

}  // namespace meter
