// What the engine's tests share: waiting on the clock, the master's requests
// as the simulated wire saw them, and ending a worker with its port.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/main_worker.h"
#include "hart/transaction.h"
#include "platform/clock.h"
#include "serial/port_factory.h"
#include "serial/serial_link.h"
#include "sim/simulated_fixture.h"

namespace engine::test {

template <typename Pred>
bool WaitFor(Pred pred, uint32_t ms = 60000) {
    const uint32_t start = platform::Tick();
    while (!pred()) {
        if (platform::Tick() - start > ms) return false;
        platform::Sleep(10);
    }
    return true;
}

struct Request {
    int command;
    std::vector<uint8_t> data;
};

// The master's frames in the order they went out, short and long form.
inline std::vector<Request> MasterRequests(const sim::SimulatedFixture& fixture) {
    std::vector<Request> out;
    for (const auto& e : fixture.LineLog()) {
        if (e.kind != sim::LineEvent::kMasterFrame) continue;
        const auto& b = e.bytes;
        size_t d = 0;
        while (d < b.size() && b[d] == 0xFF) ++d;
        if (d >= b.size()) continue;
        const size_t command = d + ((b[d] & 0x80) ? 6 : 2);
        if (command + 1 >= b.size()) continue;
        const size_t n = b[command + 1];
        if (command + 2 + n > b.size()) continue;
        out.push_back(
            {b[command], std::vector<uint8_t>(b.begin() + static_cast<long>(command) + 2,
                                              b.begin() + static_cast<long>(command + 2 + n))});
    }
    return out;
}

// A path of the test's own under the temporary folder, not made yet.
inline std::filesystem::path FreshTempPath(const std::string& name) {
    static std::atomic<int> counter{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return std::filesystem::temp_directory_path() /
           (name + "-" + std::to_string(now) + "-" + std::to_string(++counter));
}

// A window's close, as far as the engine goes: the worker stopped, its
// transaction cut short, the port closed; the shared state reset for the
// next test.
inline void EndWorkerAndLink(CMainWorker& worker) {
    worker.RequestStop(true);
    serial::RaiseAbort();
    worker.WaitForEnd(60000);
    serial::LowerAbort();
    serial::ClosePort();
    hart::g_pMainDlg = nullptr;
    serial::SetPortFactory({});
    platform::SetTimeScale(1.0);
}

}  // namespace engine::test
