#include "app/tarvok_config_app.h"

#include <QApplication>
#include <cstdio>
#include <memory>

#include "app/main_dlg.h"
#include "app/settings.h"
#include "app/signal_notifier.h"
#include "platform/trace.h"
#include "serial/port_factory.h"
#include "sim/demo_line.h"
#include "sim/simulated_fixture.h"

namespace app {

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine c;
    for (const std::string& a : args) {
        if (a == "--simulate")
            c.simulate = true;
        else if (a == "--trace")
            c.trace = true;
        else if (a == "--help" || a == "-h")
            c.help = true;
        else if (c.error.empty())
            c.error = "unknown argument: " + a;
    }
    return c;
}

std::string Usage() {
    const SettingsLocation settings = LocateSettings(GetAppDirectory());
    return "usage: tarvok-config [--simulate] [--trace]\n"
           "\n"
           "Polls the HART test fixture on the serial port chosen in the window's\n"
           "menu and shows its loop current.\n"
           "\n"
           "  --simulate   run against the built-in simulated fixture (transmitters\n"
           "               on CH1-CH8, a loop without HART on CH11); com.ini is\n"
           "               neither read nor written\n"
           "  --trace      hex trace of every frame on stderr (also TARVOK_TRACE=1)\n"
           "\n"
           "The port is kept in " +
           settings.path + " ([CONFIG] COM=n),\n" +
           (settings.userFolder
                ? "the user's own file: the program's folder is an installed or read-only one.\n"
                : "beside the program: its folder is writable.\n") +
           "On Linux port n is $TARVOK_PORTS_DIR/COMn (or <program dir>/ports/COMn)\n"
           "when that exists, else 1-32 /dev/ttyS0-31, 33-64 /dev/ttyUSB0-31,\n"
           "65-96 /dev/ttyACM0-31. Real ports need the dialout group.\n";
}

int CTarvokConfigApp::InitInstance(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const CommandLine line = ParseCommandLine(args);
    if (line.help) {
        std::fputs(Usage().c_str(), stdout);
        return 0;
    }
    if (!line.error.empty()) {
        std::fprintf(stderr, "tarvok-config: %s (see --help)\n", line.error.c_str());
        return 2;
    }
    if (line.trace) platform::EnableTrace(true);

    QApplication application(argc, argv);
    // The desktop entry the window belongs to (its icon on Wayland).
    QGuiApplication::setDesktopFileName(QStringLiteral("tarvok-config"));

    std::unique_ptr<sim::SimulatedFixture> fixture;
    std::unique_ptr<sim::DemoProcess> process;
    if (line.simulate) {
        fixture = std::make_unique<sim::SimulatedFixture>(sim::DemoFixtureConfig());
        process = std::make_unique<sim::DemoProcess>(*fixture);
        serial::SetPortFactory(
            serial::SinglePortFactory(1, [f = fixture.get()] { return f->CreatePort(); }));
    }

    {
        CMainDlg dialog(nullptr, line.simulate);
        // Both signals take the close box's path.
        SignalNotifier onSignal([&dialog] { dialog.close(); });
        // A signal during start-up ends it there, with nothing to run.
        if (dialog.OnInitDialog()) dialog.exec();
    }
    serial::SetPortFactory({});
    return 0;
}

}  // namespace app
