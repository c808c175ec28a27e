#include "cli/put_back.h"

#include <cstdio>

#include "hart/fixture_commands.h"

namespace cli {
namespace {

std::string ChannelText(int channel) {
    if (channel == hart::kNoChannel) return "none";
    char text[8];
    std::snprintf(text, sizeof(text), "CH%02d", channel);
    return text;
}

}  // namespace

std::vector<std::string> PutBack(PutBackRecord& record, ConsoleWindow& console) {
    std::vector<std::string> problems;
    if (record.fixedTransmitter != 0) {
        console.SetChannel(record.fixedTransmitter);
        const auto r = hart::FixTransmitterCurrent(0.0f);
        if (r)
            record.fixedTransmitter = 0;
        else
            problems.push_back("the transmitter on " + ChannelText(record.fixedTransmitter) +
                               " is still in fixed-current mode: " + r.Error().Describe());
    }
    if (record.channelBefore) {
        const auto r = hart::SelectChannel(*record.channelBefore);
        if (r) {
            console.SetChannel(*record.channelBefore);
            record.channelBefore.reset();
        } else {
            problems.push_back("the channel active before (" + ChannelText(*record.channelBefore) +
                               ") is not active again: " + r.Error().Describe());
        }
    }
    return problems;
}

}  // namespace cli
