// A stand-in for a bench multimeter that answers SCPI, for tests and for
// trying the meter by hand: on a pseudo-terminal (a serial meter), on a TCP
// port of 127.0.0.1 (a LAN meter) and on a pseudo-terminal that passes for
// a USBTMC device (one message per write, answers without a line end). It
// can go silent, answer garbage, overload, report an error, hang up and
// drift before settling, query by query from a script. Linux only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

// What the stand-in does with a query (*IDN?, READ?, MEAS:CURR:DC?); the
// error queue's SYST:ERR? is always answered.
enum class Behaviour {
    kAnswer,    // the proper answer
    kSilent,    // nothing
    kGarbage,   // a text that is no number
    kOverload,  // +9.90000000E+37
    kError,     // nothing, and an error in the queue for SYST:ERR?
    kHangup,    // closes the connection (pty: hang-up; TCP: end of stream)
    kReset,     // TCP: closes with a reset; pty: as kHangup
};

std::string_view BehaviourName(Behaviour behaviour);
std::optional<Behaviour> ParseBehaviour(std::string_view name);
// "answer,3*silent,overload": one behaviour per query, in order.
std::optional<std::vector<Behaviour>> ParseScript(std::string_view script);

struct StandInOptions {
    double currentMa = 4.0;
    // The first settleReadings readings are off by driftMa, shrinking
    // linearly to nothing: a transmitter that settles.
    double driftMa = 0.0;
    int settleReadings = 0;
    double noiseMa = 0.0;  // standard deviation, seeded
    uint32_t seed = 1;
    std::vector<Behaviour> script;
    Behaviour otherwise = Behaviour::kAnswer;
    uint32_t delayMs = 0;  // an answer leaves this long after its query
    std::string identity = "Standin Labs,SL-1,0001,1.0";
    std::string garbage = "ERR";
    std::string error = "-230,\"Data corrupt or stale\"";
};

struct HeardCommand {
    double ms = 0.0;       // steady clock, milliseconds
    std::string endpoint;  // "pty", "usbtmc", "tcp"
    std::string command;   // as heard, without its line end
};

class MeterStandIn {
public:
    explicit MeterStandIn(StandInOptions options);
    ~MeterStandIn();
    MeterStandIn(const MeterStandIn&) = delete;
    MeterStandIn& operator=(const MeterStandIn&) = delete;

    // Endpoints, added before Start. A pty's link (empty: none) points to
    // its slave side; the TCP port is chosen by the system.
    bool AddPty(const std::string& link, std::string* error);
    bool AddUsbtmc(const std::string& link, std::string* error);
    bool AddTcp(uint16_t* port, std::string* error);
    std::string PtyPath() const;
    std::string UsbtmcPath() const;

    // Serves on a thread of its own until Stop or destruction.
    bool Start(std::string* error);
    void Stop();

    std::vector<HeardCommand> Heard() const;
    // Only the commands, in order.
    std::vector<std::string> Commands() const;
    // Called on the stand-in's thread for each command heard.
    void OnHeard(std::function<void(const HeardCommand&)> callback);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace standin
