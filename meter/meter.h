// The reference meter: a bench multimeter that answers SCPI, read for the
// loop current. One object over any transport; one thread uses it, and any
// thread may cancel what it waits for.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "meter/transport.h"

namespace meter {

enum class MeterError : uint8_t {
    kNone = 0,
    kOpen,       // the transport did not open or connect
    kTimeout,    // no answer within the time
    kBadAnswer,  // an answer that is no number (or an empty identity)
    kOverload,   // the meter's over-range mark, |value| >= 9.9E37
    kGone,       // the transport went away (end of stream, hang-up, reset, unplugged)
    kCancelled,  // Cancel() ended the wait
};

struct MeterFailure {
    MeterError error = MeterError::kNone;
    std::string command;  // what was sent; empty for kOpen
    // kOpen, kGone: why, as the transport says it; kBadAnswer, kOverload:
    // the answer as it came.
    std::string detail;
    uint32_t timeoutMs = 0;  // kTimeout
    // The answer to SYST:ERR?, asked once after a command that failed while
    // the transport was still there; empty when not asked or not answered.
    std::string meterError;

    // "timeout (no answer to READ? within 2 s)", "overload (the meter
    // answered +9.9E+37); the meter reports -222,\"Data out of range\"".
    std::string Describe() const;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(MeterFailure failure) : failure_(std::move(failure)) {}

    bool Ok() const { return failure_.error == MeterError::kNone; }
    explicit operator bool() const { return Ok(); }
    const T& Value() const { return value_; }
    const T& operator*() const { return value_; }
    const T* operator->() const { return &value_; }
    const MeterFailure& Error() const { return failure_; }

private:
    T value_{};
    MeterFailure failure_;
};

// *IDN?: maker, model, serial number, firmware, comma-separated.
struct Identity {
    std::string raw;  // the answer as it came
    std::string maker;
    std::string model;
    std::string serial;
    std::string firmware;
};
// Fields beyond the fourth stay with the firmware; missing ones are empty.
Identity ParseIdentity(std::string_view answer);

struct MeterOptions {
    uint32_t timeoutMs = 2000;  // per command, clock milliseconds
    // DC current on the 100 mA range: a 4-20 mA loop with room for 21 mA
    // and more, at the range's best resolution.
    std::string configure = "CONF:CURR:DC 0.1";
};

class Meter {
public:
    explicit Meter(std::unique_ptr<Transport> transport, MeterOptions options = {});
    ~Meter();
    Meter(const Meter&) = delete;
    Meter& operator=(const Meter&) = delete;

    // Opens the transport and asks *IDN?. Connecting again starts afresh.
    Result<Identity> Connect();
    bool IsConnected() const { return connected_; }
    void Disconnect();
    const Identity& GetIdentity() const { return identity_; }

    // One reading in mA (READ?). The first after Connect clears the meter's
    // status (*CLS) and sets it up for DC current.
    Result<double> ReadMilliamps();

    // From any thread: ends the wait in progress, and every later one, with
    // kCancelled until ResetCancel(). A USBTMC driver's read is the
    // exception: it ends within its timeout.
    void Cancel();
    void ResetCancel();
    bool CancelRequested() const { return cancelled_.load(); }
    // Waits ms clock milliseconds; false at once when cancelled.
    bool Pause(uint32_t ms);

    const MeterOptions& Options() const { return options_; }

private:
    Result<std::string> Query(const std::string& command);
    Result<bool> Command(const std::string& command);
    MeterFailure Exchange(const std::string& command, bool answered, std::string* answer);
    // After a failed query whose transport is still there.
    void AskMeterError(MeterFailure& failure);

    std::unique_ptr<Transport> transport_;
    MeterOptions options_;
    bool connected_ = false;
    bool configured_ = false;
    Identity identity_;

    std::mutex pauseMutex_;
    std::condition_variable pauseCv_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace meter
