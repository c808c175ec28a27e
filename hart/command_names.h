// The names of the commands the program sends, as trace lines and the
// diagnostics show them.
#pragma once

#include <cstdint>
#include <string>

namespace hart {

// "读回路电流" for 2; empty for a command the program does not send.
const char* CommandName(uint8_t command);
// "2 读回路电流"; just the number for a command without a name.
std::string CommandLabel(uint8_t command);

}  // namespace hart
