#include "sim/demo_line.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "platform/clock.h"
#include "sim/slave_devices.h"

namespace sim {
namespace {

constexpr uint32_t kStepMs = 400;
constexpr float kStepMa = 0.004f;  // per step, at most
constexpr float kSwingMa = 0.03f;  // from the starting value, at most
constexpr uint32_t kDemoSettleMs = 200;

}  // namespace

FixtureConfig DemoFixtureConfig() {
    FixtureConfig c;
    c.deviceNumber = 1;
    c.activeChannel = 0;
    c.calibrated = true;
    for (int ch = 0; ch < 8; ++ch) {
        TransmitterConfig t;
        t.channel = ch;
        t.deviceId = {0x00, 0x10, static_cast<uint8_t>(ch + 1)};
        t.initialCurrentMa = 4.0f + 2.0f * static_cast<float>(ch);
        t.settleMs = kDemoSettleMs;
        t.universalRevision = ch % 2 == 0 ? 7 : 5;  // half of them have a long tag
        char text[40];
        std::snprintf(text, sizeof(text), "PT-%03d", 101 + ch);
        t.tag = text;
        std::snprintf(text, sizeof(text), "PRESSURE TRANSMITTER %03d", 101 + ch);
        t.longTag = text;
        // Every output a little off, well within 0.1 % of span...
        t.gain = 1.0f + 0.0001f * static_cast<float>(ch % 3);
        t.offsetMa = 0.002f * static_cast<float>(ch % 2 == 0 ? 1 : -1);
        c.transmitters.push_back(t);
    }
    // ...except CH3's, 0.3 % high at 20 mA,
    c.transmitters[2].gain = 1.003f;
    // and CH5's, which refuses fixed currents: loop current not active.
    c.transmitters[4].fixedCurrentRefusal = response::kLoopCurrentNotActive;
    // CH11 carries a current from a source without HART.
    TransmitterConfig plain;
    plain.channel = 10;
    plain.deviceId = {0x00, 0x10, 0x0B};
    plain.initialCurrentMa = 12.0f;
    plain.answersHart = false;
    c.transmitters.push_back(plain);
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
