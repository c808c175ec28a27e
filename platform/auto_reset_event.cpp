#include "platform/auto_reset_event.h"

#include "platform/clock.h"

namespace platform {

void AutoResetEvent::Set() {
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    cv_.notify_one();
}

void AutoResetEvent::Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool AutoResetEvent::Wait(uint32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, RealDuration(timeoutMs), [this] { return signalled_ || interrupted_; });
    if (!signalled_) return false;
    signalled_ = false;
    return true;
}

void AutoResetEvent::SetInterrupted(bool on) {
    {
        std::lock_guard lock(mutex_);
        interrupted_ = on;
    }
    if (on) cv_.notify_all();
}

}  // namespace platform
