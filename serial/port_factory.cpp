#include "serial/port_factory.h"

#include <cstdio>
#include <mutex>

namespace serial {
namespace {

std::mutex g_factoryMutex;
PortFactory g_factory;

}  // namespace

void SetPortFactory(PortFactory factory) {
    std::lock_guard lock(g_factoryMutex);
    g_factory = std::move(factory);
}

PortFactory SinglePortFactory(int number, std::function<std::unique_ptr<ComPort>()> make,
                              std::string device, std::string name) {
    if (name.empty()) name = PortName(number);
    return [=](int port) {
        if (port != number) return PortEndpoint{};
        return PortEndpoint{make(), device, name};
    };
}

PortEndpoint CreatePort(int port) {
    PortFactory factory;
    {
        std::lock_guard lock(g_factoryMutex);
        factory = g_factory;
    }
    if (factory) return factory(port);
    PortEndpoint e{nullptr, PortDevicePath(port), PortName(port)};
    if (!e.device.empty()) e.port = CreateSystemPort();
    return e;
}

bool ProbePort(int port) {
    PortEndpoint e = CreatePort(port);
    return e.port && e.port->Probe(e.device) == OpenError::kNone;
}

std::string PortName(int port) {
    char name[32];
    if (port <= 9)
        std::snprintf(name, sizeof(name), "COM%d", port);
    else
        std::snprintf(name, sizeof(name), "\\\\.\\COM%d", port);
    return name;
}

}  // namespace serial
