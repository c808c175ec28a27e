// Stands in for the auto-reset Win32 events: Set() wakes one waiter (or the
// next one to come) and the successful wait consumes the signal.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

class AutoResetEvent {
public:
    void Set();
    void Reset();
    // Waits up to timeoutMs clock milliseconds; true when signalled. While
    // the event is interrupted a wait that finds no signal returns false at
    // once.
    bool Wait(uint32_t timeoutMs);
    // Wakes the waits in progress and keeps later ones from waiting, until
    // cleared: how a port change cuts a transaction's waits short.
    void SetInterrupted(bool on);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
    bool interrupted_ = false;
};

}  // namespace platform
