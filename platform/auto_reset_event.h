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
    // Waits up to timeoutMs clock milliseconds; true when signalled.
    bool Wait(uint32_t timeoutMs);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

}  // namespace platform
