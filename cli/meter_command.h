// tarvok-hart meter: the reference meter from the console, without the
// fixture.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace cli {

// Whether the command on the line is `meter`, whatever options stand
// around it.
bool NamesMeterCommand(const std::vector<std::string>& args);

// Runs it; the exit status as the tool's: 0, 1 a meter failure, 2 usage.
int RunMeterCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

std::string MeterUsage();

}  // namespace cli
