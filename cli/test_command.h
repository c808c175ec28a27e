// The console tool's transmitter test and the history of its results in the
// database.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace cli {

struct TestCommandOptions {
    std::optional<std::string> channels;   // "A-B"
    std::optional<std::string> points;     // "4,12,20"
    std::optional<std::string> tolerance;  // percent of span
    std::optional<std::string> settleMs;
    bool csv = false;
};

// What the run is stored with beside its results.
struct TestRunContext {
    std::string port;  // "COM3", a device path, "simulated"
    // The fixture's device number once it has been identified, -1 before.
    std::function<int()> deviceNumber;
    // Asked after each exchange: a stop signal came.
    std::function<bool()> stopRequested;
};

// Runs the test on the open port: rows on `out` as the channels are done (a
// table, or CSV with --csv), problems on `err`; the run stored in the
// database at its default place, a failure to store it told on `err`.
// Returns kExitOk when every tested device passed, kExitNotPassed when one
// failed or could not be tested, kExitFailed when the fixture stopped
// answering or what the test changed could not be put back, kExitUsage for
// bad options.
int RunTestCommand(const TestCommandOptions& options, const TestRunContext& context,
                   std::ostream& out, std::ostream& err);

// history [DEVICE] [--json]: the results in the database, all of them or
// those of one identity or tag, newest first. Needs no port.
int RunHistory(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace cli
