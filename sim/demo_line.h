// The demo line: a calibrated fixture with HART transmitters on CH1 to CH8
// and a current source without HART on CH11, CH1 active, as the console
// tool's and the window's --simulate show it, and a process that keeps the
// loop currents moving a little, as a live loop's do. The transmitters'
// fixed currents settle over 200 ms; CH3's is out of tolerance and CH5
// refuses fixed currents, so that a transmitter test shows every verdict.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "sim/simulated_fixture.h"

namespace sim {

FixtureConfig DemoFixtureConfig();

// Moves each fitted transmitter's current by a small bounded random walk
// around its starting value, a few times a second, until destroyed.
class DemoProcess {
public:
    explicit DemoProcess(SimulatedFixture& fixture);
    ~DemoProcess();
    DemoProcess(const DemoProcess&) = delete;
    DemoProcess& operator=(const DemoProcess&) = delete;

private:
    void Run();

    SimulatedFixture& fixture_;
    FixtureConfig config_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace sim
