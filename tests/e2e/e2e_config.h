// How the black-box tests reach the program under test, from their command
// line: a Linux build runs as it is; a Windows build runs through the
// wine-run wrapper, with its serial ports in the Wine prefix's dosdevices.
#pragma once

#include <string>

#include "subprocess.h"

namespace e2e {

struct E2eConfig {
    std::string program;     // --program=PATH: the executable under test
    std::string wine;        // --wine=PATH: the wine-run wrapper; empty for a Linux build
    std::string shim;        // --shim=PATH: the modem-line library to preload
    std::string fixture;     // --fixture=PATH: the pty-fixture program
    std::string winePrefix;  // asked from the wrapper

    bool UnderWine() const { return !wine.empty(); }
    // Where a serial port n must be linked for the program to find it as COMn:
    // the ports directory's COMn, or the prefix's dosdevices/comn.
    std::string PortLink(const std::string& portsDir, int n) const;
    // argv for running the program with these arguments.
    std::vector<std::string> Command(const std::vector<std::string>& args) const;
    // The environment for it: ports directory, preloaded shim, its log.
    EnvironmentChanges Environment(const std::string& portsDir, const std::string& shimLog) const;
};

// Parsed by main() before the tests run.
const E2eConfig& Config();
// Takes the --program, --wine, --shim and --fixture options out of argv; false with a
// message on stderr when something is missing.
bool ParseConfig(int* argc, char** argv);

}  // namespace e2e
