// The console tool's command line and commands, kept apart from main() so
// that the tests run them in-process against the simulated fixture.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// kExitFailed: a transaction failed (the fixture stopped answering); kExitNotPassed:
// a transmitter test in which a device failed or could not be tested.
enum ExitCode { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitNotPassed = 3 };

// Runs the tool with args (without the program name); writes results to out
// and messages to err; returns the exit status.
int RunHartCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

std::string HartCliUsage();

// A whole number in [low, high], nothing else in the text.
std::optional<long> ParseNumber(const std::string& s, long low, long high);
// "A-B", 1 <= A <= B <= 32.
bool ParseChannelRange(const std::string& s, int& first, int& last);

}  // namespace cli
