// ComPort on a Windows communications device, opened for overlapped I/O.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "serial/com_port.h"

namespace serial {

// Threads as for the POSIX port: every use of the handle holds lifeMutex_
// shared, Open and Close hold it exclusively, and Close first ends a pending
// wait through the cancel event. Each overlapped operation has its own event
// and its own mutex, so the receive thread's wait and read never share an
// OVERLAPPED with a write from another thread.
class Win32Port : public ComPort {
public:
    Win32Port();
    ~Win32Port() override;
    Win32Port(const Win32Port&) = delete;
    Win32Port& operator=(const Win32Port&) = delete;

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

private:
    // ClearCommError; false (and the port marked vanished when the error
    // says so) when the handle no longer works. lifeMutex_ held.
    bool ClearErrors(COMSTAT* status);
    void Escape(DWORD function);

    mutable std::shared_mutex lifeMutex_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;  // guarded by lifeMutex_

    // Made once by the constructor, closed by the destructor.
    HANDLE cancelEvent_ = nullptr;  // auto-reset: one cancel ends one wait
    HANDLE waitEvent_ = nullptr;
    HANDLE readEvent_ = nullptr;
    HANDLE writeEvent_ = nullptr;

    std::atomic<bool> closing_{false};
    std::atomic<bool> vanished_{false};
    std::atomic<OpenError> lastOpenError_{OpenError::kNone};

    std::mutex waitMutex_;
    std::mutex readMutex_;
    std::mutex writeMutex_;
};

}  // namespace serial
