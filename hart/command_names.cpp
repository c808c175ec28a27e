#include "hart/command_names.h"

namespace hart {

const char* CommandName(uint8_t command) {
    switch (command) {
        case 0:
            return "识别设备";
        case 2:
            return "读回路电流";
        case 15:
            return "读当前通道";  // the fixture's output information carries its channel
        case 33:
            return "读设备变量";
        case 34:
            return "选择通道";  // the fixture takes the damping value as the channel
        case 40:
            return "固定电流";
        case 182:
            return "写设备号";
        case 201:
            return "校准";
        default:
            return "";
    }
}

std::string CommandLabel(uint8_t command) {
    std::string label = std::to_string(command);
    const char* name = CommandName(command);
    if (*name != '\0') {
        label += ' ';
        label += name;
    }
    return label;
}

}  // namespace hart
