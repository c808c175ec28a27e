#include "serial/win32_port.h"

#include <algorithm>
#include <cstdio>

#include "platform/trace.h"
#include "serial/port_factory.h"

namespace serial {
namespace {

enum class ErrorKind {
    kPending,     // the overlapped operation goes on
    kIncomplete,  // asked for a result too early
    kAborted,     // PurgeComm or a mask change ended the operation
    kVanished,    // the device is gone (USB adapter unplugged, driver stopped)
    kOther,
};

// The one place that reads meaning into a GetLastError() code.
ErrorKind Classify(DWORD error) {
    switch (error) {
        case ERROR_IO_PENDING:
            return ErrorKind::kPending;
        case ERROR_IO_INCOMPLETE:
            return ErrorKind::kIncomplete;
        case ERROR_OPERATION_ABORTED:
            return ErrorKind::kAborted;
        case ERROR_ACCESS_DENIED:  // what an unplugged adapter's handle reports
        case ERROR_BAD_COMMAND:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_GEN_FAILURE:
        case ERROR_INVALID_HANDLE:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_NOT_READY:
            return ErrorKind::kVanished;
        default:
            return ErrorKind::kOther;
    }
}

// The one place that reads meaning into the error of opening a port.
OpenError OpenErrorOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
        case ERROR_NOT_READY:
            return OpenError::kNoSuchDevice;
        case ERROR_ACCESS_DENIED:  // what a port someone has open answers
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return OpenError::kInUse;
        case ERROR_INVALID_FUNCTION:  // comm functions on a file or a pipe
        case ERROR_NOT_SUPPORTED:
            return OpenError::kNotSerialPort;
        default:
            return OpenError::kOther;
    }
}

// Opens `device` as the link does, refusing what is no communications
// device (a disk file, a pipe, NUL), which CreateFile would open as well.
OpenError OpenCommHandle(const std::string& device, HANDLE* handle) {
    *handle = ::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (*handle == INVALID_HANDLE_VALUE) return OpenErrorOf(::GetLastError());
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!::GetCommState(*handle, &dcb)) {
        ::CloseHandle(*handle);
        *handle = INVALID_HANDLE_VALUE;
        return OpenError::kNotSerialPort;
    }
    return OpenError::kNone;
}

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// Consecutive waits that end without a character (an aborted wait, a mask
// change) before the port is given up: a handle that fails every wait at
// once must not keep the receive thread spinning.
constexpr int kMaxEmptyWaits = 3;

HANDLE NewEvent(BOOL manualReset) { return ::CreateEventA(nullptr, manualReset, FALSE, nullptr); }

void CloseEvent(HANDLE& event) {
    if (event != nullptr) ::CloseHandle(event);
    event = nullptr;
}

}  // namespace

Win32Port::Win32Port()
    : cancelEvent_(NewEvent(FALSE)),
      waitEvent_(NewEvent(TRUE)),
      readEvent_(NewEvent(TRUE)),
      writeEvent_(NewEvent(TRUE)) {}

Win32Port::~Win32Port() {
    Close();
    CloseEvent(cancelEvent_);
    CloseEvent(waitEvent_);
    CloseEvent(readEvent_);
    CloseEvent(writeEvent_);
}

bool Win32Port::Open(const std::string& device) {
    if (!cancelEvent_ || !waitEvent_ || !readEvent_ || !writeEvent_) {
        lastOpenError_ = OpenError::kOther;
        return false;
    }
    {
        // An open port may have a wait pending, which the exclusive lock
        // would wait for.
        std::shared_lock check(lifeMutex_);
        if (handle_ != INVALID_HANDLE_VALUE) {
            lastOpenError_ = OpenError::kInUse;
            return false;
        }
    }
    std::unique_lock life(lifeMutex_);
    if (handle_ != INVALID_HANDLE_VALUE) {
        lastOpenError_ = OpenError::kInUse;
        return false;
    }

    HANDLE h;
    lastOpenError_ = OpenCommHandle(device, &h);
    if (h == INVALID_HANDLE_VALUE) return false;
    ::SetCommMask(h, EV_RXCHAR);
    ::SetupComm(h, 512, 512);
    ::PurgeComm(h, kPurgeAll);
    // Reads return what has arrived once the line is quiet for 10 ms; a
    // write may take 16 ms a character (one is 9.17 ms at 1200 8O1) + 100.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 10;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 1000;
    timeouts.WriteTotalTimeoutMultiplier = 16;
    timeouts.WriteTotalTimeoutConstant = 100;
    ::SetCommTimeouts(h, &timeouts);

    handle_ = h;
    vanished_ = false;
    closing_ = false;
    ::ResetEvent(cancelEvent_);  // a cancel from before this open concerns no wait of it
    return true;
}

// Windows lets nobody open a port that is open already, so an open that
// succeeds disturbs no one; closed again at once, it changes nothing.
OpenError Win32Port::Probe(const std::string& device) {
    HANDLE h;
    const OpenError e = OpenCommHandle(device, &h);
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    return e;
}

void Win32Port::Close() {
    closing_ = true;
    CancelWait();
    std::unique_lock life(lifeMutex_);
    if (handle_ == INVALID_HANDLE_VALUE) return;
    ::SetCommMask(handle_, 0);
    ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

bool Win32Port::IsOpen() const {
    std::shared_lock life(lifeMutex_);
    return handle_ != INVALID_HANDLE_VALUE;
}

bool Win32Port::ConfigureLine() {
    std::shared_lock life(lifeMutex_);
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!::GetCommState(handle_, &dcb)) return false;
    dcb.BaudRate = CBR_1200;
    dcb.ByteSize = 8;
    dcb.Parity = ODDPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    dcb.fErrorChar = TRUE;
    dcb.ErrorChar = 'F';
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    // RTS is the program's from the start, not toggled by the driver until
    // ReleaseRts. Toggle mode would only be in force while OpenPort writes
    // nothing, and with the output purged a toggling driver holds RTS low
    // just as this does. Several drivers (USB adapters, Wine's serial layer)
    // refuse toggle mode, and a second SetCommState after the refusal may
    // fail as well: one request that every driver takes keeps the port
    // usable everywhere.
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    return ::SetCommState(handle_, &dcb) != FALSE;
}

bool Win32Port::ReleaseRts() {
    std::shared_lock life(lifeMutex_);
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!::GetCommState(handle_, &dcb)) return false;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.EofChar = 0;
    return ::SetCommState(handle_, &dcb) != FALSE;
}

void Win32Port::Escape(DWORD function) {
    std::shared_lock life(lifeMutex_);
    if (handle_ != INVALID_HANDLE_VALUE) ::EscapeCommFunction(handle_, function);
}

void Win32Port::SetDtr(bool on) { Escape(on ? SETDTR : CLRDTR); }

void Win32Port::SetRts(bool on) { Escape(on ? SETRTS : CLRRTS); }

bool Win32Port::CarrierDetect() {
    std::shared_lock life(lifeMutex_);
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    DWORD status = 0;
    if (!::GetCommModemStatus(handle_, &status)) return false;
    return (status & MS_RLSD_ON) != 0;
}

bool Win32Port::ClearErrors(COMSTAT* status) {
    COMSTAT ignored{};
    DWORD errors = 0;
    if (::ClearCommError(handle_, &errors, status != nullptr ? status : &ignored)) return true;
    if (Classify(::GetLastError()) == ErrorKind::kVanished) vanished_ = true;
    return false;
}

size_t Win32Port::QueuedInput() {
    std::shared_lock life(lifeMutex_);
    if (handle_ == INVALID_HANDLE_VALUE || vanished_) return 0;
    COMSTAT status{};
    return ClearErrors(&status) ? status.cbInQue : 0;
}

long Win32Port::Read(uint8_t* buffer, size_t max) {
    std::shared_lock life(lifeMutex_);
    if (handle_ == INVALID_HANDLE_VALUE || vanished_) return -1;
    std::lock_guard lock(readMutex_);
    COMSTAT status{};
    if (!ClearErrors(&status)) return -1;
    const DWORD n = static_cast<DWORD>(std::min<size_t>(max, status.cbInQue));
    if (n == 0) return 0;

    OVERLAPPED ov{};
    ov.hEvent = readEvent_;
    ::ResetEvent(readEvent_);
    DWORD got = 0;
    if (::ReadFile(handle_, buffer, n, &got, &ov)) return static_cast<long>(got);
    DWORD error = ::GetLastError();
    if (Classify(error) == ErrorKind::kPending) {
        platform::Trace("\n\rIO Pending");
        // The overlapped structure lives on this stack: the read must be
        // over before returning, whatever it ends with.
        for (;;) {
            got = 0;
            if (::GetOverlappedResult(handle_, &ov, &got, TRUE)) return static_cast<long>(got);
            error = ::GetLastError();
            if (Classify(error) != ErrorKind::kIncomplete) break;
        }
    }
    if (Classify(error) == ErrorKind::kVanished) {
        vanished_ = true;
        return got > 0 ? static_cast<long>(got) : -1;
    }
    ClearErrors(nullptr);
    return static_cast<long>(got);
}

long Win32Port::Write(const uint8_t* data, size_t length) {
    std::shared_lock life(lifeMutex_);
    if (handle_ == INVALID_HANDLE_VALUE || vanished_) return -1;
    if (length == 0) return 0;
    std::lock_guard lock(writeMutex_);
    const DWORD n = static_cast<DWORD>(std::min<size_t>(length, MAXDWORD));

    OVERLAPPED ov{};
    ov.hEvent = writeEvent_;
    ::ResetEvent(writeEvent_);
    DWORD written = 0;
    // Completed at once: the bytes count as taken like those of a pending
    // write, so the caller's hold covers them.
    if (::WriteFile(handle_, data, n, &written, &ov)) return static_cast<long>(written);
    DWORD error = ::GetLastError();
    if (Classify(error) != ErrorKind::kPending) {
        if (Classify(error) == ErrorKind::kVanished) vanished_ = true;
        ClearErrors(nullptr);
        return -1;
    }
    unsigned long total = 0;
    for (;;) {
        DWORD part = 0;
        const BOOL done = ::GetOverlappedResult(handle_, &ov, &part, TRUE);
        total += part;
        if (done) break;
        error = ::GetLastError();
        if (Classify(error) == ErrorKind::kIncomplete) continue;
        char text[32];
        std::snprintf(text, sizeof(text), "<CE-%u>", static_cast<unsigned>(error));
        platform::Trace(text);
        if (Classify(error) == ErrorKind::kVanished) vanished_ = true;
        ClearErrors(nullptr);
        // An operation that ended with an error reports that error to every
        // later query: it is over, count what it took.
        break;
    }
    return static_cast<long>(total);
}

void Win32Port::Purge(bool input, bool output) {
    std::shared_lock life(lifeMutex_);
    if (handle_ == INVALID_HANDLE_VALUE) return;
    DWORD flags = 0;
    if (input) flags |= PURGE_RXABORT | PURGE_RXCLEAR;
    if (output) flags |= PURGE_TXABORT | PURGE_TXCLEAR;
    if (flags != 0) ::PurgeComm(handle_, flags);
}

WaitResult Win32Port::WaitForInput() {
    std::shared_lock life(lifeMutex_);
    if (handle_ == INVALID_HANDLE_VALUE || vanished_) return WaitResult::kVanished;
    std::lock_guard lock(waitMutex_);
    for (int empty = 0; empty < kMaxEmptyWaits; ++empty) {
        // Close signals the cancel event too; this catches a wait that
        // starts after Close has begun but before it takes the lock.
        if (closing_) return WaitResult::kCancelled;
        // EV_RXCHAR reports characters that arrive from now on; those
        // already queued are input as well.
        COMSTAT status{};
        if (!ClearErrors(&status)) break;
        if (status.cbInQue > 0) return WaitResult::kInput;

        OVERLAPPED ov{};
        ov.hEvent = waitEvent_;
        ::ResetEvent(waitEvent_);
        DWORD mask = 0;
        DWORD error = ERROR_SUCCESS;
        if (!::WaitCommEvent(handle_, &mask, &ov)) {
            error = ::GetLastError();
            if (Classify(error) == ErrorKind::kPending) {
                HANDLE events[2] = {cancelEvent_, waitEvent_};
                const DWORD woke = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
                if (woke != WAIT_OBJECT_0 + 1) {
                    // Setting the mask again completes the pending event
                    // wait, which must end before ov leaves this frame.
                    ::SetCommMask(handle_, EV_RXCHAR);
                    DWORD ignored = 0;
                    ::GetOverlappedResult(handle_, &ov, &ignored, TRUE);
                    if (woke == WAIT_OBJECT_0) return WaitResult::kCancelled;
                    break;  // the wait itself failed
                }
                DWORD ignored = 0;
                error = ::GetOverlappedResult(handle_, &ov, &ignored, FALSE) ? ERROR_SUCCESS
                                                                             : ::GetLastError();
            }
        }
        if (error == ERROR_SUCCESS) {
            if (mask & EV_RXCHAR) return WaitResult::kInput;
            continue;  // the mask was changed under the wait
        }
        if (Classify(error) != ErrorKind::kAborted) break;
    }
    vanished_ = true;
    return WaitResult::kVanished;
}

void Win32Port::CancelWait() {
    if (cancelEvent_ != nullptr) ::SetEvent(cancelEvent_);
}

std::unique_ptr<ComPort> CreateSystemPort() { return std::make_unique<Win32Port>(); }

}  // namespace serial
