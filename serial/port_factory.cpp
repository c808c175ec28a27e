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

std::unique_ptr<ComPort> CreatePort() {
    {
        std::lock_guard lock(g_factoryMutex);
        if (g_factory) return g_factory();
    }
    return CreateSystemPort();
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
