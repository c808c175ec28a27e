#include "sim/slave_frame.h"

#include <bit>

namespace sim {
namespace {

constexpr uint8_t kPreamble = 0xFF;
constexpr uint8_t kLongBit = 0x80;
constexpr uint8_t kMasterToSlave = 0x02;  // STX
constexpr uint8_t kSlaveToMaster = 0x06;  // ACK
constexpr size_t kMinPreambles = 2;

// A request whose delimiter is at bytes[0], or nothing.
std::optional<MasterRequest> ParseAtDelimiter(const uint8_t* bytes, size_t length) {
    const uint8_t delimiter = bytes[0];
    // Low seven bits exactly STX: no expansion bytes, no burst or ack frame.
    if ((delimiter & 0x7F) != kMasterToSlave) return std::nullopt;
    MasterRequest request;
    request.longFrame = (delimiter & kLongBit) != 0;
    const size_t addressLength = request.longFrame ? 5 : 1;
    const size_t header = 1 + addressLength + 2;  // delimiter, address, command, count
    if (length < header + 1) return std::nullopt;
    const size_t count = bytes[header - 1];
    if (length < header + count + 1) return std::nullopt;

    uint8_t check = 0;
    for (size_t i = 0; i < header + count; ++i) check ^= bytes[i];
    if (check != bytes[header + count]) return std::nullopt;

    for (size_t i = 0; i < addressLength; ++i) request.address[i] = bytes[1 + i];
    request.command = bytes[1 + addressLength];
    request.data.assign(bytes + header, bytes + header + count);
    return request;
}

}  // namespace

std::optional<MasterRequest> ParseMasterFrame(const uint8_t* bytes, size_t length) {
    size_t i = 0;
    while (i < length) {
        size_t preambles = 0;
        while (i < length && bytes[i] == kPreamble) {
            ++preambles;
            ++i;
        }
        if (i >= length) break;
        if (preambles >= kMinPreambles) {
            if (auto request = ParseAtDelimiter(bytes + i, length - i)) return request;
        }
        ++i;  // not a frame start: hunt for the next run of preambles
    }
    return std::nullopt;
}

std::vector<uint8_t> BuildSlaveReply(const MasterRequest& request, uint8_t status1, uint8_t status2,
                                     const std::vector<uint8_t>& data, int preambles) {
    std::vector<uint8_t> frame(static_cast<size_t>(preambles > 0 ? preambles : 0), kPreamble);
    const size_t body = frame.size();
    frame.push_back(request.longFrame ? (kSlaveToMaster | kLongBit) : kSlaveToMaster);
    const size_t addressLength = request.longFrame ? 5 : 1;
    frame.insert(frame.end(), request.address.begin(), request.address.begin() + addressLength);
    frame.push_back(request.command);
    frame.push_back(static_cast<uint8_t>(data.size() + 2));
    frame.push_back(status1);
    frame.push_back(status2);
    frame.insert(frame.end(), data.begin(), data.end());
    uint8_t check = 0;
    for (size_t i = body; i < frame.size(); ++i) check ^= frame[i];
    frame.push_back(check);
    return frame;
}

void AppendFloat(std::vector<uint8_t>& out, float value) {
    const auto bits = std::bit_cast<uint32_t>(value);
    out.push_back(static_cast<uint8_t>(bits >> 24));
    out.push_back(static_cast<uint8_t>(bits >> 16));
    out.push_back(static_cast<uint8_t>(bits >> 8));
    out.push_back(static_cast<uint8_t>(bits));
}

float ReadFloat(const uint8_t* bytes) {
    const uint32_t bits = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                          (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
    return std::bit_cast<float>(bits);
}

}  // namespace sim
