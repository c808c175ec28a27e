#include "meter/meter_target.h"

#include <charconv>

#include "meter/nr3.h"

namespace meter {
namespace {

constexpr int kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

std::optional<long> ParseDecimal(std::string_view s) {
    long v = 0;
    if (s.empty() || s.size() > 9) return std::nullopt;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

std::optional<MeterTarget> Fail(std::string* why, std::string text) {
    if (why != nullptr) *why = std::move(text);
    return std::nullopt;
}

std::optional<MeterTarget> ParseSerial(std::string_view rest, std::string* why) {
    MeterTarget s;
    s.kind = MeterKind::kSerial;
    const size_t colon = rest.rfind(':');
    if (colon != std::string_view::npos && AllDigits(rest.substr(colon + 1))) {
        const auto baud = ParseDecimal(rest.substr(colon + 1));
        if (!baud || !IsSupportedBaud(static_cast<int>(*baud)))
            return Fail(why, "unsupported baud rate " + std::string(rest.substr(colon + 1)) +
                                 " (1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200)");
        s.baud = static_cast<int>(*baud);
        rest = rest.substr(0, colon);
    }
    if (rest.empty()) return Fail(why, "serial: needs a device path, e.g. serial:/dev/ttyUSB0");
    s.path = std::string(rest);
    return s;
}

std::optional<MeterTarget> ParseTcp(std::string_view rest, std::string* why) {
    MeterTarget s;
    s.kind = MeterKind::kTcp;
    std::string_view host = rest;
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos) return Fail(why, "tcp: a '[' without its ']'");
        host = rest.substr(1, close - 1);
        const std::string_view after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return Fail(why, "tcp: only :PORT may follow ']'");
            port = after.substr(1);
            if (port.empty()) return Fail(why, "tcp: an empty port");
        }
    } else {
        const size_t colon = rest.find(':');
        if (colon != std::string_view::npos) {
            if (rest.find(':', colon + 1) != std::string_view::npos)
                return Fail(why, "tcp: an IPv6 address goes in brackets, e.g. tcp:[fe80::1]:5025");
            host = rest.substr(0, colon);
            port = rest.substr(colon + 1);
            if (port.empty()) return Fail(why, "tcp: an empty port");
        }
    }
    if (host.empty()) return Fail(why, "tcp: needs a host, e.g. tcp:192.168.0.20");
    if (!port.empty()) {
        const auto p = AllDigits(port) ? ParseDecimal(port) : std::nullopt;
        if (!p || *p < 1 || *p > 65535)
            return Fail(why, "tcp: bad port " + std::string(port) + " (1-65535)");
        s.port = static_cast<uint16_t>(*p);
    }
    s.host = std::string(host);
    return s;
}

std::optional<MeterTarget> ParseSimulated(std::string_view rest, std::string* why) {
    MeterTarget s;
    s.kind = MeterKind::kSimulated;
    if (rest.empty()) return s;
    const Number n = ParseNumber(rest);
    if (n.kind != Number::kValue || !(n.value >= 0.0 && n.value <= 25.0) ||
        rest.find_first_of(" \t\r\n") != std::string_view::npos)
        return Fail(why, "sim: the current is a number of mA from 0 to 25, e.g. sim:12");
    s.simulatedMa = n.value;
    return s;
}

}  // namespace

bool IsSupportedBaud(int baud) {
    for (int b : kBauds)
        if (b == baud) return true;
    return false;
}

std::optional<MeterTarget> ParseMeterTarget(std::string_view text, std::string* why) {
    if (text.empty()) return Fail(why, "an empty meter target");
    if (text == "sim") return ParseSimulated({}, why);
    const size_t colon = text.find(':');
    const std::string_view kind = text.substr(0, colon);
    const std::string_view rest =
        colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    if (colon != std::string_view::npos) {
        if (kind == "serial") return ParseSerial(rest, why);
        if (kind == "tcp") return ParseTcp(rest, why);
        if (kind == "sim") return ParseSimulated(rest, why);
        if (kind == "usbtmc") {
            if (rest.empty())
                return Fail(why, "usbtmc: needs a device path, e.g. usbtmc:/dev/usbtmc0");
            MeterTarget s;
            s.kind = MeterKind::kUsbtmc;
            s.path = std::string(rest);
            return s;
        }
    }
    return Fail(why, "unknown meter '" + std::string(text) +
                         "' (serial:PATH[:BAUD], tcp:HOST[:PORT], usbtmc:PATH or sim[:MA])");
}

std::string FormatMeterTarget(const MeterTarget& target) {
    switch (target.kind) {
        case MeterKind::kSerial:
            return "serial:" + target.path + ":" + std::to_string(target.baud);
        case MeterKind::kTcp: {
            const bool v6 = target.host.find(':') != std::string::npos;
            return "tcp:" + (v6 ? "[" + target.host + "]" : target.host) + ":" +
                   std::to_string(target.port);
        }
        case MeterKind::kUsbtmc:
            return "usbtmc:" + target.path;
        case MeterKind::kSimulated: {
            // to_chars: the C locale may have a decimal comma.
            char ma[32];
            const auto r = std::to_chars(ma, ma + sizeof(ma), target.simulatedMa);
            return "sim:" + std::string(ma, r.ptr);
        }
    }
    return {};
}

}  // namespace meter
