#include <iostream>
#include <string>
#include <vector>

#include "cli/hart_cli.h"
#include "cli/stop_signals.h"

int main(int argc, char** argv) {
    // Without them a signal would kill the tool with the fixture left on a
    // scanned channel and the port's exclusive flag still set.
    cli::InstallStopHandlers();
    const std::vector<std::string> args(argv + 1, argv + argc);
    return cli::RunHartCli(args, std::cout, std::cerr);
}
