#include "sim/demo_line.h"

#include <algorithm>
#include <random>
#include <vector>

#include "platform/clock.h"

namespace sim {
namespace {

constexpr uint32_t kStepMs = 400;
constexpr float kStepMa = 0.004f;  // per step, at most
constexpr float kSwingMa = 0.03f;  // from the starting value, at most

}  // namespace

FixtureConfig DemoFixtureConfig() {
    FixtureConfig c;
    c.deviceNumber = 1;
    c.activeChannel = 0;
    for (int ch = 0; ch < 8; ++ch) {
        TransmitterConfig t;
        t.channel = ch;
        t.deviceId = {0x00, 0x10, static_cast<uint8_t>(ch + 1)};
        t.initialCurrentMa = 4.0f + 2.0f * static_cast<float>(ch);
        c.transmitters.push_back(t);
    }
    return c;
}

DemoProcess::DemoProcess(SimulatedFixture& fixture)
    : fixture_(fixture), config_(DemoFixtureConfig()), thread_([this] { Run(); }) {}

DemoProcess::~DemoProcess() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void DemoProcess::Run() {
    std::mt19937 rng(20261209);
    std::uniform_real_distribution<float> step(-kStepMa, kStepMa);
    std::vector<float> offset(config_.transmitters.size(), 0.0f);
    std::unique_lock lock(mutex_);
    while (!cv_.wait_for(lock, platform::RealDuration(kStepMs), [this] { return stop_; })) {
        for (size_t i = 0; i < offset.size(); ++i) {
            offset[i] = std::clamp(offset[i] + step(rng), -kSwingMa, kSwingMa);
            const TransmitterConfig& t = config_.transmitters[i];
            fixture_.SetTransmitterCurrent(t.channel, t.initialCurrentMa + offset[i]);
        }
    }
}

}  // namespace sim
