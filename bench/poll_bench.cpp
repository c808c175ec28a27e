// CPU cost and cycle time of polling the loop current against the simulated
// fixture, at real time. The simulator runs in the same process, so its own
// work is counted too: the figure is an upper bound for the master.
//
//   poll_bench [seconds]     (default 60)

#include <cstdio>
#include <cstdlib>

#include "bench/cpu_time.h"
#include "hart/transaction.h"
#include "platform/clock.h"
#include "serial/port_factory.h"
#include "serial/serial_link.h"
#include "sim/simulated_fixture.h"

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    sim::FixtureConfig config;
    config.activeChannel = 0;
    config.transmitters.push_back(sim::TransmitterConfig{});
    sim::SimulatedFixture fixture(config);
    serial::SetPortFactory(serial::SinglePortFactory(1, [&] { return fixture.CreatePort(); }));
    if (serial::OpenPort(1) != 1) return 2;
    if (hart::FixtureTransaction(2) != 1) {  // identification and line signal
        std::fprintf(stderr, "fixture did not answer\n");
        return 1;
    }

    const double cpu0 = CpuSeconds();
    const uint32_t t0 = platform::Tick();
    long polls = 0, failures = 0;
    while (platform::Tick() - t0 < static_cast<uint32_t>(seconds) * 1000u) {
        if (hart::FixtureTransaction(2) != 1) ++failures;
        ++polls;
    }
    const double wall = (platform::Tick() - t0) / 1000.0;
    const double cpu = CpuSeconds() - cpu0;
    serial::ClosePort();

    // Request: 5 preambles, delimiter, 5 address, command, count, check = 14.
    // Reply: 5 preambles, delimiter, 5 address, command, count, 2 status,
    // 8 data, check = 24.
    const double wireMs = (14 + 24) * 11 * 1000.0 / 1200.0;
    std::printf("polls: %ld in %.1f s (%ld failed)\n", polls, wall, failures);
    std::printf("poll cycle: %.1f ms; wire time of its 38 characters: %.1f ms\n",
                wall * 1000.0 / polls, wireMs);
    std::printf("CPU: %.3f s in %.1f s = %.3f%% of one core (%.2f s per minute)\n", cpu, wall,
                100.0 * cpu / wall, 60.0 * cpu / wall);
    return failures == 0 ? 0 : 1;
}
