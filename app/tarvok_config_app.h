// The application object: reads the command line, sets up the demo line
// when asked, runs the main window modally and ends when it has ended.
#pragma once

#include <string>
#include <vector>

namespace app {

struct CommandLine {
    bool simulate = false;  // the built-in simulated fixture, no com.ini
    bool trace = false;     // hex trace of every frame on stderr
    bool help = false;
    std::string error;  // a usage error, empty when the line is good
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);
std::string Usage();

class CTarvokConfigApp {
public:
    // Runs the program; the process's exit status.
    int InitInstance(int argc, char** argv);
};

}  // namespace app
