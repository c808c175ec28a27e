// The program's link (hart/ over serial/) on a simulated fixture, as the
// transaction tests set it up and take it down.
#pragma once

#include "hart/transaction.h"
#include "platform/clock.h"
#include "serial/port_factory.h"
#include "serial/serial_link.h"
#include "sim/simulated_fixture.h"

namespace hart::test {

// Port 1 leads to `fixture`; the window answers the link's callbacks; the
// clock runs `scale` times real time. True when the port opened.
inline bool OpenSimulatedLink(sim::SimulatedFixture& fixture, MainWindowServices& window,
                              double scale) {
    platform::SetTimeScale(scale);
    serial::SetPortFactory(
        serial::SinglePortFactory(1, [&fixture] { return fixture.CreatePort(); }));
    if (serial::OpenPort(1) != 1) return false;
    g_pMainDlg = &window;
    ResetHartState();
    return true;
}

inline void CloseSimulatedLink() {
    serial::ClosePort();
    serial::SetPortFactory({});
    g_pMainDlg = nullptr;
    platform::SetTimeScale(1.0);
}

}  // namespace hart::test
