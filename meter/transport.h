// How the meter's SCPI lines reach an instrument: a serial line, a TCP
// socket, a USBTMC character device, or the simulated meter in-process.
// Header only: the simulator implements it without linking the meter.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace meter {

enum class IoStatus {
    kOk,
    kTimeout,    // nothing (or no whole answer) within the time
    kGone,       // the transport is not there (end of stream, hang-up, reset, unplugged)
    kCancelled,  // Cancel() was called
};

struct IoResult {
    IoStatus status = IoStatus::kOk;
    // kOk from Receive: the answer without its terminator. kGone: why, in
    // a few words ("connection reset").
    std::string text;
};

// One owner thread calls everything but Cancel(), which may come from any
// thread. Times are clock milliseconds (platform/clock.h).
class Transport {
public:
    virtual ~Transport() = default;

    // Connects or opens the device. kGone with the reason when it cannot.
    virtual IoResult Open(uint32_t timeoutMs) = 0;
    // Idempotent.
    virtual void Close() = 0;

    // Sends one command; the transport adds what ends it on its medium.
    virtual IoResult Send(std::string_view command, uint32_t timeoutMs) = 0;
    // One answer, waited for at most timeoutMs.
    virtual IoResult Receive(uint32_t timeoutMs) = 0;
    // Drops whatever has arrived unasked: the late answer to a command that
    // timed out must not pass for the answer to the next.
    virtual void DiscardInput() = 0;

    // Ends a wait in progress and every later one with kCancelled, until
    // ResetCancel(). Any thread.
    virtual void Cancel() = 0;
    virtual void ResetCancel() = 0;
};

}  // namespace meter
