// Builds slave reply frames for the receiver tests, byte by byte.
#pragma once

#include <cstdint>
#include <vector>

namespace hart::test {

inline std::vector<uint8_t> Reply(bool longForm, std::vector<uint8_t> address, uint8_t command,
                                  std::vector<uint8_t> statusAndData, int preambles = 5) {
    std::vector<uint8_t> f(static_cast<size_t>(preambles), 0xFF);
    const size_t first = f.size();
    f.push_back(longForm ? 0x86 : 0x06);
    f.insert(f.end(), address.begin(), address.end());
    f.push_back(command);
    f.push_back(static_cast<uint8_t>(statusAndData.size()));
    f.insert(f.end(), statusAndData.begin(), statusAndData.end());
    uint8_t check = 0;
    for (size_t i = first; i < f.size(); ++i) check ^= f[i];
    f.push_back(check);
    return f;
}

}  // namespace hart::test
