#include <iostream>
#include <string>
#include <vector>

#include "cli/hart_cli.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return cli::RunHartCli(args, std::cout, std::cerr);
}
