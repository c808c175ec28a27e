// A scripted ComPort for the serial link's tests: records what the link
// does to the line, with clock ticks, and lets a test queue input, raise
// carrier or pull the plug.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "serial/com_port.h"

namespace serial::test {

struct FakeLine {
    struct Event {
        std::string what;  // "dtr", "rts", "write", "purge-in", "purge-out", "open", "close"
        bool level = false;
        uint32_t tick = 0;
        std::vector<uint8_t> bytes;
    };

    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Event> events;
    std::deque<uint8_t> input;
    bool carrier = false;
    bool vanished = false;
    bool cancelled = false;
    bool openFails = false;
    OpenError openError = OpenError::kOther;  // the reason a failed open gives
    bool configureFails = false;
    bool isOpen = false;
    uint32_t writeDurationMs = 0;      // how long Write takes to hand over
    std::vector<uint8_t> echoOnWrite;  // queued as input when a write is made
    int opens = 0;
    int vanishedWaits = 0;               // waits that found the port gone
    std::function<void()> onReleaseRts;  // runs inside OpenPort, thread started
    std::string device;

    void Record(std::string what, bool level = false, std::vector<uint8_t> bytes = {}) {
        events.push_back({std::move(what), level, platform::Tick(), std::move(bytes)});
    }
    void Queue(std::vector<uint8_t> bytes) {
        {
            std::lock_guard lock(mutex);
            input.insert(input.end(), bytes.begin(), bytes.end());
        }
        cv.notify_all();
    }
    std::vector<Event> Events() {
        std::lock_guard lock(mutex);
        return events;
    }
};

class FakePort final : public ComPort {
public:
    explicit FakePort(FakeLine& line) : line_(line) {}

    bool Open(const std::string& device) override {
        std::lock_guard lock(line_.mutex);
        ++line_.opens;
        line_.device = device;
        if (line_.openFails || line_.isOpen) return false;
        line_.isOpen = true;
        line_.cancelled = false;
        line_.Record("open");
        return true;
    }
    void Close() override {
        std::lock_guard lock(line_.mutex);
        line_.isOpen = false;
        line_.Record("close");
    }
    OpenError LastOpenError() const override {
        std::lock_guard lock(line_.mutex);
        return line_.openError;
    }
    bool IsOpen() const override {
        std::lock_guard lock(line_.mutex);
        return line_.isOpen;
    }
    bool ConfigureLine() override {
        std::lock_guard lock(line_.mutex);
        return !line_.configureFails;
    }
    bool ReleaseRts() override {
        std::function<void()> hook;
        {
            std::lock_guard lock(line_.mutex);
            hook = line_.onReleaseRts;
        }
        if (hook) hook();
        return true;
    }
    void SetDtr(bool on) override {
        std::lock_guard lock(line_.mutex);
        line_.Record("dtr", on);
    }
    void SetRts(bool on) override {
        std::lock_guard lock(line_.mutex);
        line_.Record("rts", on);
    }
    bool CarrierDetect() override {
        std::lock_guard lock(line_.mutex);
        return line_.carrier;
    }
    size_t QueuedInput() override {
        std::lock_guard lock(line_.mutex);
        return line_.input.size();
    }
    long Read(uint8_t* buffer, size_t max) override {
        std::lock_guard lock(line_.mutex);
        if (line_.vanished) return -1;
        size_t n = 0;
        while (n < max && !line_.input.empty()) {
            buffer[n++] = line_.input.front();
            line_.input.pop_front();
        }
        return static_cast<long>(n);
    }
    long Write(const uint8_t* data, size_t length) override {
        uint32_t duration;
        {
            std::lock_guard lock(line_.mutex);
            if (line_.vanished) return -1;
            line_.Record("write", false, {data, data + length});
            duration = line_.writeDurationMs;
        }
        if (duration) platform::Sleep(duration);
        std::vector<uint8_t> echo;
        {
            std::lock_guard lock(line_.mutex);
            echo = line_.echoOnWrite;
        }
        if (!echo.empty()) line_.Queue(echo);
        return static_cast<long>(length);
    }
    void Purge(bool input, bool output) override {
        std::lock_guard lock(line_.mutex);
        if (input) {
            line_.input.clear();
            line_.Record("purge-in");
        }
        if (output) line_.Record("purge-out");
    }
    WaitResult WaitForInput() override {
        std::unique_lock lock(line_.mutex);
        line_.cv.wait(lock,
                      [&] { return !line_.input.empty() || line_.cancelled || line_.vanished; });
        if (line_.vanished) {
            ++line_.vanishedWaits;
            return WaitResult::kVanished;
        }
        if (line_.cancelled) {
            line_.cancelled = false;
            return WaitResult::kCancelled;
        }
        return WaitResult::kInput;
    }
    void CancelWait() override {
        {
            std::lock_guard lock(line_.mutex);
            line_.cancelled = true;
        }
        line_.cv.notify_all();
    }

    bool HasVanished() const override {
        std::lock_guard lock(line_.mutex);
        return line_.vanished;
    }

private:
    FakeLine& line_;
};

}  // namespace serial::test
