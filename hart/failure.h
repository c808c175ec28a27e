// Why an exchange with a device failed, and the result of a call that either
// gives a value or such a reason.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace hart {

enum class Reason : uint8_t {
    kNone = 0,         // no failure
    kNoReply,          // no character came within the first-character wait
    kIncompleteReply,  // characters came, but no valid reply frame completed
    kBadChecksum,      // a whole frame with a wrong check byte (how a parity or
                       // framing error in the reply usually shows)
    kCommError,        // the device reported a communication error (status byte)
    kRejected,         // a response code that means the command was not carried out
    kPortGone,         // no port open, or it went away during the exchange
    kInterrupted,      // a port change or a shutdown cut the exchange short
    kNoChannel,        // a command for the active channel's transmitter, and none
                       // active: nothing sent
    kBadArgument,      // a value the command cannot carry: nothing sent
    // The device answered, but the value it gave is no reading. Not retried:
    // asking again would only be answered the same way.
    kValueNotAvailable,  // NaN, HART's "not available"
    kImplausibleValue,   // an infinity, or a value no loop can carry
};
inline constexpr int kReasonCount = static_cast<int>(Reason::kImplausibleValue) + 1;

// "no reply", "bad checksum", ...; "ok" for kNone.
const char* ReasonText(Reason reason);

// A reply that came whole and in good order but carried no usable value:
// the device is there, and its address stays known.
inline bool IsValueFailure(Reason reason) {
    return reason == Reason::kValueNotAvailable || reason == Reason::kImplausibleValue;
}

struct Failure {
    Reason reason = Reason::kNone;
    // The command of the exchange that failed: 0 when the identification
    // that had to come first failed.
    uint8_t command = 0;
    uint8_t status = 0;        // kCommError: the first status byte
    uint8_t responseCode = 0;  // kRejected

    // "no reply", "communication error (status 0x88)", "rejected (response
    // code 64)".
    std::string Describe() const;
};

// A value, or the failure that kept it from coming.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(Failure failure) : failure_(failure) {}

    bool Ok() const { return failure_.reason == Reason::kNone; }
    explicit operator bool() const { return Ok(); }
    // A value-initialised T when the call failed.
    const T& Value() const { return value_; }
    const T& operator*() const { return value_; }
    const T* operator->() const { return &value_; }
    // Reason kNone on success.
    const Failure& Error() const { return failure_; }

private:
    T value_{};
    Failure failure_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Failure failure) : failure_(failure) {}

    bool Ok() const { return failure_.reason == Reason::kNone; }
    explicit operator bool() const { return Ok(); }
    const Failure& Error() const { return failure_; }

private:
    Failure failure_;
};

}  // namespace hart
