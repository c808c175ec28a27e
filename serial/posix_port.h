// ComPort on a POSIX terminal device (termios).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "serial/com_port.h"
#include "serial/parmrk_decoder.h"

namespace serial {

// Threads: the receive thread waits and reads while others write, move the
// modem lines, purge, cancel the wait and close. Every use of the descriptor
// holds lifeMutex_ shared; Open and Close hold it exclusively, so a
// descriptor is never closed (and its number reused) under a running call.
// Close first wakes a pending wait, which then drops its share.
class PosixPort : public ComPort {
public:
    PosixPort();
    ~PosixPort() override;
    PosixPort(const PosixPort&) = delete;
    PosixPort& operator=(const PosixPort&) = delete;

    bool Open(const std::string& device) override;
    void Close() override;
    bool IsOpen() const override;
    OpenError LastOpenError() const override { return lastOpenError_.load(); }
    OpenError Probe(const std::string& device) override;

    bool ConfigureLine() override;
    bool ReleaseRts() override;

    void SetDtr(bool on) override;
    void SetRts(bool on) override;
    bool CarrierDetect() override;

    size_t QueuedInput() override;
    long Read(uint8_t* buffer, size_t max) override;
    long Write(const uint8_t* data, size_t length) override;
    void Purge(bool input, bool output) override;

    WaitResult WaitForInput() override;
    void CancelWait() override;
    bool HasVanished() const override { return vanished_.load(); }

private:
    void SetModemLines(int bits, bool on);
    // One raw read, decoded into decoded_. Returns the raw count, 0 when
    // nothing was queued, -1 when the port failed. readMutex_ held.
    long FillDecoded();
    void DrainCancel();
    bool HungUp();

    mutable std::shared_mutex lifeMutex_;
    int fd_ = -1;  // guarded by lifeMutex_

    // Written by CancelWait, read by WaitForInput; made once, never moved.
    int cancelRead_ = -1;
    int cancelWrite_ = -1;

    std::atomic<bool> closing_{false};
    std::atomic<bool> vanished_{false};
    std::atomic<OpenError> lastOpenError_{OpenError::kNone};

    std::mutex readMutex_;  // guards the decoder and the decoded bytes
    ParmrkDecoder decoder_;
    std::vector<uint8_t> decoded_;
    size_t decodedHead_ = 0;

    std::mutex writeMutex_;  // one frame at a time on the wire
};

// For a process that ends at once from a signal handler with its port still
// open: clears the exclusive-use flag of the port last opened. The flag
// belongs to the tty, not to the descriptor, and would refuse the next
// program for as long as anyone keeps the tty open (a pseudo-terminal's far
// end); the lock goes with the process. Async-signal-safe.
void ReleaseExclusiveUseForExit();

}  // namespace serial
