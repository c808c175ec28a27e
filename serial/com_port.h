// What the serial link needs from an operating system's serial port, and no
// more. The link's algorithms (open sequence, bus-quiet wait, RTS keying,
// hold, receive loop) live in serial_link.cpp and run unchanged on every
// backend: POSIX termios, Win32, and the simulated fixture's wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "serial/open_error.h"

namespace serial {

enum class WaitResult {
    kInput,      // input is queued
    kCancelled,  // CancelWait() was called
    kVanished,   // the device went away (hang-up, unplugged, I/O error)
};

class ComPort {
public:
    virtual ~ComPort() = default;

    // Opens the device exclusively: a port held by anyone else fails. Also
    // prepares the queues and purges both directions.
    virtual bool Open(const std::string& device) = 0;
    // Idempotent. Cancels a pending WaitForInput first.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // Why the last Open failed; read only after a failure.
    virtual OpenError LastOpenError() const { return OpenError::kOther; }

    // Whether `device` is there and free, telling nobody: the search asks
    // this of every port, including ports other programs hold, and must
    // leave their state as it found it. A backend whose Open changes
    // nothing another holder would notice may keep this one.
    virtual OpenError Probe(const std::string& device) {
        if (!Open(device)) return LastOpenError();
        Close();
        return OpenError::kNone;
    }

    // 1200 baud, 8 data bits, odd parity, 1 stop bit, no flow control,
    // characters with a parity error replaced by 'F' (0x46), DTR enabled.
    // Until ReleaseRts() RTS is either keyed by the driver for writes or
    // held low; OpenPort writes nothing in between, so the line looks the
    // same either way.
    virtual bool ConfigureLine() = 0;
    // From here on RTS moves only through SetRts().
    virtual bool ReleaseRts() = 0;

    // Modem lines. A device without them (a pseudo-terminal) is no failure:
    // the call has no effect and CarrierDetect() reads false.
    virtual void SetDtr(bool on) = 0;
    virtual void SetRts(bool on) = 0;
    virtual bool CarrierDetect() = 0;

    // Bytes waiting to be read; 0 when none or when the port is gone.
    virtual size_t QueuedInput() = 0;
    // Reads up to max bytes without blocking. Returns the count read, 0 when
    // nothing is queued, -1 when the port failed or vanished.
    virtual long Read(uint8_t* buffer, size_t max) = 0;
    // Writes the bytes and returns once the driver has taken them all.
    // Returns the count taken, or -1 when the write failed at once.
    virtual long Write(const uint8_t* data, size_t length) = 0;
    virtual void Purge(bool input, bool output) = 0;

    // Blocks until input is queued, the wait is cancelled or the port has
    // vanished. Must not spin: a vanished port returns kVanished at once,
    // every time.
    virtual WaitResult WaitForInput() = 0;
    // The device went away (hang-up, unplugged, I/O error): nothing will
    // pass through this object again.
    virtual bool HasVanished() const { return false; }

    // Ends a WaitForInput in progress (and the next one, if none is
    // pending), from any thread.
    virtual void CancelWait() = 0;
};

}  // namespace serial
