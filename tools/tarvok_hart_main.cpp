#include <iostream>
#include <string>
#include <vector>

#include "tools/hart_cli.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return tools::RunHartCli(args, std::cout, std::cerr);
}
