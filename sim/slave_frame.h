// The HART frame as a slave sees it: a request from a master in the bytes of
// one transmission, and the acknowledge frame that answers it. Kept apart
// from the master's codec on purpose, so that the two are checked against
// each other instead of sharing a mistake.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

struct MasterRequest {
    bool longFrame = false;
    // As received, master bit included. The short form uses byte 0 only.
    std::array<uint8_t, 5> address{};
    uint8_t command = 0;
    std::vector<uint8_t> data;

    // Polling address of a short frame (HART 6 allows 0..63).
    uint8_t PollingAddress() const { return address[0] & 0x3F; }
};

// Finds the first well-formed master request in `bytes`: at least two
// preambles, delimiter 0x02 or 0x82, address, command, byte count, data and a
// matching check byte. Garbage before the preambles and bytes after the
// check byte are ignored, as a slave's receiver would.
std::optional<MasterRequest> ParseMasterFrame(const uint8_t* bytes, size_t length);

// The acknowledge frame answering `request`: delimiter 0x06 or 0x86, the
// request's address echoed, byte count covering the two status bytes.
std::vector<uint8_t> BuildSlaveReply(const MasterRequest& request, uint8_t status1, uint8_t status2,
                                     const std::vector<uint8_t>& data, int preambles);

// IEEE-754 single, most significant byte first.
void AppendFloat(std::vector<uint8_t>& out, float value);
float ReadFloat(const uint8_t* bytes);

}  // namespace sim
