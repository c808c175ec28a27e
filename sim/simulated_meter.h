// A simulated reference meter: answers SCPI over an in-process transport
// as a bench multimeter on the loop does, so that a demo calibration runs
// without anyone typing. It reads the current that flows (a callback, in
// mA) with a little noise, and follows a change of it with the settling of
// a transmitter: a first-order lag.
//
// Thread-safe: the meter's thread talks to it while a test looks on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "meter/transport.h"

namespace sim {

struct SimulatedMeterConfig {
    // The loop current now, in mA; called on the meter's thread, without
    // the simulator's lock held. None reads 0.
    std::function<double()> trueCurrentMa;
    double noiseMa = 0.0003;   // standard deviation of a reading
    uint32_t lagMs = 200;      // time constant of the settling
    uint32_t measureMs = 100;  // from READ? to its answer, clock ms
    uint32_t seed = 1;
    std::string identity = "Tarvok Simulation,SM-100,SIM000001,1.0";
};

class SimulatedMeter {
public:
    explicit SimulatedMeter(SimulatedMeterConfig config);
    ~SimulatedMeter();
    SimulatedMeter(const SimulatedMeter&) = delete;
    SimulatedMeter& operator=(const SimulatedMeter&) = delete;

    // A new cable to the meter; it may outlive the meter object.
    std::unique_ptr<meter::Transport> CreateTransport();

    // A meter that stops answering (switched to local, a cable loose).
    void SetAnswering(bool answering);
    // Every command heard, in order.
    std::vector<std::string> Heard() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// A reading as a meter sends it: amperes in NR3, "+4.02130000E-03",
// whatever the C locale.
std::string FormatNr3(double amperes);

}  // namespace sim
