// What the POSIX transports share: a cancellable, clock-timed wait on one
// descriptor, and errno in a few words for a failure line.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace meter {

// Raised from any thread; a wait polls its read end beside the device.
class CancelPipe {
public:
    CancelPipe();
    ~CancelPipe();
    CancelPipe(const CancelPipe&) = delete;
    CancelPipe& operator=(const CancelPipe&) = delete;

    void Raise();
    void Reset();
    bool Raised() const { return raised_.load(); }
    int ReadFd() const { return read_; }
    // Reads the tokens of a Raise that a Reset has already taken back.
    void DrainStale();

private:
    std::atomic<bool> raised_{false};
    int read_ = -1;
    int write_ = -1;
};

enum class Ready { kReady, kTimeout, kCancelled, kGone };

// Until fd has `events` (POLLIN or POLLOUT), reports a hang-up or an error,
// the pipe is raised, or timeoutMs clock milliseconds have passed since
// startTick (platform::Tick()).
Ready WaitFor(int fd, short events, uint32_t startTick, uint32_t timeoutMs, CancelPipe& cancel);

// "connection reset", "no such device", ...: what a failure line says.
std::string ErrnoText(int error);

}  // namespace meter
