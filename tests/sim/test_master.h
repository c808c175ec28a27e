// A minimal master for the simulator's tests: frames are written out byte by
// byte in the tests, a receive thread collects what comes back, and replies
// are picked apart here by hand so that neither side's codec is trusted.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "serial/com_port.h"
#include "sim/simulated_fixture.h"

namespace sim::test {

using Bytes = std::vector<uint8_t>;

inline Bytes FloatBytes(float v) {
    uint32_t bits;
    static_assert(sizeof bits == sizeof v);
    std::memcpy(&bits, &v, sizeof bits);
    return {uint8_t(bits >> 24), uint8_t(bits >> 16), uint8_t(bits >> 8), uint8_t(bits)};
}

inline float FloatAt(const Bytes& b, size_t at) {
    const uint32_t bits = (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) |
                          (uint32_t(b[at + 2]) << 8) | uint32_t(b[at + 3]);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline Bytes Join(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// Five preambles, the delimiter through the last data byte, the check byte.
inline Bytes Framed(const Bytes& body) {
    Bytes frame(5, 0xFF);
    uint8_t check = 0;
    for (uint8_t b : body) {
        frame.push_back(b);
        check ^= b;
    }
    frame.push_back(check);
    return frame;
}

struct Reply {
    bool longFrame = false;
    Bytes address;
    uint8_t command = 0;
    uint8_t status1 = 0;
    uint8_t status2 = 0;
    Bytes data;
    bool checkOk = false;
    size_t noise = 0;  // bytes before the preambles
};

// The first acknowledge frame in `in`, complete up to its check byte.
inline std::optional<Reply> ParseReply(const Bytes& in) {
    for (size_t i = 0; i + 1 < in.size(); ++i) {
        if (in[i] != 0xFF) continue;
        size_t p = i;
        while (p < in.size() && in[p] == 0xFF) ++p;
        if (p >= in.size()) return std::nullopt;
        if (p - i < 2 || (in[p] != 0x06 && in[p] != 0x86)) {
            i = p;  // an echo or a lone 0xFF: look further
            continue;
        }
        Reply r;
        r.noise = i;
        r.longFrame = in[p] == 0x86;
        const size_t addr = r.longFrame ? 5 : 1;
        const size_t head = p + 1 + addr + 2;
        if (in.size() < head) return std::nullopt;
        const size_t count = in[head - 1];
        if (count < 2 || in.size() < head + count + 1) return std::nullopt;
        r.address.assign(in.begin() + p + 1, in.begin() + p + 1 + addr);
        r.command = in[p + 1 + addr];
        r.status1 = in[head];
        r.status2 = in[head + 1];
        r.data.assign(in.begin() + head + 2, in.begin() + head + count);
        uint8_t check = 0;
        for (size_t k = p; k < head + count; ++k) check ^= in[k];
        r.checkOk = check == in[head + count];
        return r;
    }
    return std::nullopt;
}

class TestMaster {
public:
    explicit TestMaster(SimulatedFixture& fixture) : port_(fixture.CreatePort()) {}
    ~TestMaster() { Stop(); }

    serial::ComPort& Port() { return *port_; }

    bool Open() {
        if (!port_->Open("SIM") || !port_->ConfigureLine() || !port_->ReleaseRts()) return false;
        port_->SetDtr(false);
        running_ = true;
        thread_ = std::thread([this] { ReceiveLoop(); });
        return true;
    }

    void Stop() {
        {
            std::lock_guard lock(mutex_);
            running_ = false;
        }
        port_->CancelWait();
        if (thread_.joinable()) thread_.join();
        port_->Close();
    }

    // As the link transmits: lines set, bytes written, held until the last
    // character and one more are out, RTS dropped.
    void Send(const Bytes& frame, bool dtr, bool keyRts) {
        Clear();
        port_->SetDtr(dtr);
        if (keyRts) port_->SetRts(true);
        port_->Write(frame.data(), frame.size());
        platform::Sleep(static_cast<uint32_t>((frame.size() + 1) * 1000.0 * 11.0 / 1200.0) + 1);
        if (keyRts) port_->SetRts(false);
    }

    // Waits for a complete reply, up to `ms` clock milliseconds.
    std::optional<Reply> Receive(uint32_t ms = 600) {
        std::unique_lock lock(mutex_);
        const uint32_t start = platform::Tick();
        for (;;) {
            if (auto r = ParseReply(received_)) return r;
            const uint32_t spent = platform::Tick() - start;
            if (spent >= ms) return std::nullopt;
            cv_.wait_for(lock, platform::RealDuration(ms - spent));
        }
    }

    std::optional<Reply> Exchange(const Bytes& frame, bool dtr = false, bool keyRts = false,
                                  uint32_t ms = 600) {
        Send(frame, dtr, keyRts);
        return Receive(ms);
    }

    Bytes Received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    // Clock tick at which the first byte since the last Clear() came in.
    std::optional<uint32_t> FirstByteTick() {
        std::lock_guard lock(mutex_);
        return firstTick_;
    }
    std::vector<uint32_t> ByteTicks() {
        std::lock_guard lock(mutex_);
        return ticks_;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        received_.clear();
        ticks_.clear();
        firstTick_.reset();
    }
    serial::WaitResult LastWait() {
        std::lock_guard lock(mutex_);
        return lastWait_;
    }

private:
    void ReceiveLoop() {
        uint8_t chunk[50];
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (!running_) return;
            }
            const auto r = port_->WaitForInput();
            {
                std::lock_guard lock(mutex_);
                lastWait_ = r;
            }
            if (r == serial::WaitResult::kVanished) {
                cv_.notify_all();
                return;
            }
            if (r == serial::WaitResult::kCancelled) continue;
            const long n = port_->Read(chunk, sizeof chunk);
            const uint32_t now = platform::Tick();
            {
                std::lock_guard lock(mutex_);
                for (long k = 0; k < n; ++k) {
                    received_.push_back(chunk[k]);
                    ticks_.push_back(now);
                }
                if (n > 0 && !firstTick_) firstTick_ = now;
            }
            cv_.notify_all();
        }
    }

    std::unique_ptr<serial::ComPort> port_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool running_ = false;
    Bytes received_;
    std::vector<uint32_t> ticks_;
    std::optional<uint32_t> firstTick_;
    serial::WaitResult lastWait_ = serial::WaitResult::kCancelled;
};

}  // namespace sim::test
