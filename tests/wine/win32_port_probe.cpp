// win32-port-probe: the Win32 backend driven line by line from stdin, for
// the tests in win32_port_wine_test.cpp, which run it under wine and play
// the far end of its port on a pseudo-terminal. One answer line per command;
// the asynchronous commands answer once at the start and once at the end.
//
//   open NAME | open2 NAME     open the port (open2: a second port object)
//   configure | release        ConfigureLine | ReleaseRts
//   write N | write-async N    write N bytes 00 01 02 ...; "wrote COUNT MS"
//   wait                       WaitForInput on a thread; "wait RESULT MS"
//   cancel | close             CancelWait | Close
//   read N | queued            "read COUNT HEX" | "queued N"
//   dtr 0|1 | rts 0|1 | carrier
//   quit
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "serial/win32_port.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

std::mutex g_printMutex;

void Say(const std::string& line) {
    std::lock_guard lock(g_printMutex);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

long long MsSince(SteadyClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start)
        .count();
}

const char* WaitName(serial::WaitResult r) {
    switch (r) {
        case serial::WaitResult::kInput:
            return "input";
        case serial::WaitResult::kCancelled:
            return "cancelled";
        case serial::WaitResult::kVanished:
            return "vanished";
    }
    return "?";
}

std::string Written(serial::ComPort& port, size_t n) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i);
    const auto start = SteadyClock::now();
    const long count = port.Write(data.data(), data.size());
    return "wrote " + std::to_string(count) + " " + std::to_string(MsSince(start));
}

}  // namespace

int main() {
    serial::Win32Port port;
    std::unique_ptr<serial::Win32Port> second;
    std::vector<std::thread> pending;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command, arg;
        in >> command >> arg;
        if (command == "open") {
            Say(port.Open(arg) ? "ok" : "failed");
        } else if (command == "open2") {
            second = std::make_unique<serial::Win32Port>();
            Say(second->Open(arg) ? "ok" : "refused");
        } else if (command == "configure") {
            Say(port.ConfigureLine() ? "ok" : "failed");
        } else if (command == "release") {
            Say(port.ReleaseRts() ? "ok" : "failed");
        } else if (command == "write") {
            Say(Written(port, std::stoul(arg)));
        } else if (command == "write-async") {
            const size_t n = std::stoul(arg);
            pending.emplace_back([&port, n] {
                Say("writing");
                Say(Written(port, n));
            });
        } else if (command == "wait") {
            Say("waiting");
            pending.emplace_back([&port] {
                const auto start = SteadyClock::now();
                const serial::WaitResult r = port.WaitForInput();
                Say(std::string("wait ") + WaitName(r) + " " + std::to_string(MsSince(start)));
            });
        } else if (command == "cancel") {
            port.CancelWait();
            Say("ok");
        } else if (command == "close") {
            const auto start = SteadyClock::now();
            port.Close();
            Say("closed " + std::to_string(MsSince(start)));
        } else if (command == "read") {
            std::vector<uint8_t> buffer(std::stoul(arg));
            const long n = port.Read(buffer.data(), buffer.size());
            std::string text = "read " + std::to_string(n);
            for (long i = 0; i < n; ++i) {
                char hex[4];
                std::snprintf(hex, sizeof(hex), " %02X", buffer[static_cast<size_t>(i)]);
                text += hex;
            }
            Say(text);
        } else if (command == "queued") {
            Say("queued " + std::to_string(port.QueuedInput()));
        } else if (command == "dtr" || command == "rts") {
            const auto set = command == "dtr" ? &serial::ComPort::SetDtr : &serial::ComPort::SetRts;
            (port.*set)(arg == "1");
            Say("ok");
        } else if (command == "carrier") {
            Say(port.CarrierDetect() ? "carrier 1" : "carrier 0");
        } else if (command == "quit") {
            break;
        } else {
            Say("unknown " + command);
        }
    }
    port.Close();
    for (auto& t : pending) t.join();
    return 0;
}
