#include "cli/hart_cli.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <string_view>

#include "cli/meter_command.h"
#include "cli/put_back.h"
#include "cli/stop_signals.h"
#include "cli/test_command.h"
#include "engine/calibration_record.h"
#include "engine/channel_scan.h"
#include "engine/readings_log.h"
#include "hart/decoders.h"
#include "hart/fixture_commands.h"
#include "hart/link_stats.h"
#include "hart/transaction.h"
#include "platform/trace.h"
#include "serial/notifier.h"
#include "serial/port_factory.h"
#include "serial/serial_link.h"
#include "sim/demo_line.h"
#include "sim/simulated_fixture.h"
#include "generated/version.h"

namespace cli {

std::optional<long> ParseNumber(const std::string& s, long low, long high) {
    long v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v < low || v > high) return std::nullopt;
    return v;
}

bool ParseChannelRange(const std::string& s, int& first, int& last) {
    const size_t dash = s.find('-');
    if (dash == std::string::npos) return false;
    const auto a = ParseNumber(s.substr(0, dash), 1, hart::kChannelCount);
    const auto b = ParseNumber(s.substr(dash + 1), 1, hart::kChannelCount);
    if (!a || !b || *a > *b) return false;
    first = static_cast<int>(*a);
    last = static_cast<int>(*b);
    return true;
}

namespace {

// Keeps the link's messages off the terminal: the one line that reports a
// failed open says why in its own words.
class CollectingNotifier final : public serial::Notifier {
public:
    void Notify(const serial::Notice& notice) override {
        if (!texts.empty()) texts += "; ";
        texts += notice.text;
    }
    std::string texts;
};

struct Options {
    int port = 0;
    std::string device;
    bool simulate = false;
    bool trace = false;
    bool stats = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> command;
};

// Returns an error text, empty when the line is good. Options may stand
// before or after the command; a command's own options (--count,
// --channels, --csv) stay with the command they follow.
std::string Parse(const std::vector<std::string>& args, Options& o) {
    int sources = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a == "--stats") {
            o.stats = true;
        } else if (a == "--simulate") {
            o.simulate = true;
            ++sources;
        } else if (a == "--port" || a == "--device") {
            if (i + 1 >= args.size()) return a + " needs a value";
            const std::string& v = args[++i];
            ++sources;
            if (a == "--device") {
                o.device = v;
            } else {
                const auto n = ParseNumber(v, 1, 255);
                if (!n) return "bad port number: " + v;
                o.port = static_cast<int>(*n);
            }
        } else if ((a == "--count" || a == "--channels" || a == "--points" ||
                    a == "--tolerance" || a == "--settle-ms") &&
                   !o.command.empty()) {
            o.command.push_back(a);
            if (i + 1 < args.size()) o.command.push_back(args[++i]);
        } else if (a == "--csv" && !o.command.empty()) {
            o.command.push_back(a);
        } else if (a.size() > 1 && a[0] == '-') {
            return "unknown option: " + a;
        } else {
            o.command.push_back(a);
        }
    }
    if (o.help || o.version) return {};
    if (sources != 1) return "name exactly one of --port, --device, --simulate";
    if (o.command.empty()) return "no command";
    static const char* const kCommands[] = {
        "identify", "poll", "read-channel", "select-channel", "write-device-number", "scan",
        "test"};
    for (const char* c : kCommands)
        if (o.command[0] == c) return {};
    return "unknown command: " + o.command[0];
}

// A command's own options, as they follow it.
struct CommandOptions {
    std::optional<std::string> count;
    std::optional<std::string> channels;
    std::optional<std::string> points;
    std::optional<std::string> tolerance;
    std::optional<std::string> settleMs;
    bool csv = false;
};

// Empty when cmd[1..] holds only `allowed` options, each once, with their
// values; otherwise what is wrong.
std::string ParseCommandOptions(const std::vector<std::string>& cmd,
                                std::initializer_list<std::string_view> allowed,
                                CommandOptions& c) {
    for (size_t i = 1; i < cmd.size(); ++i) {
        const std::string& a = cmd[i];
        if (std::find(allowed.begin(), allowed.end(), a) == allowed.end())
            return cmd[0] + " does not take " + a;
        if (a == "--csv") {
            if (c.csv) return "--csv given twice";
            c.csv = true;
            continue;
        }
        std::optional<std::string>& value = a == "--count"       ? c.count
                                            : a == "--channels"  ? c.channels
                                            : a == "--points"    ? c.points
                                            : a == "--tolerance" ? c.tolerance
                                                                 : c.settleMs;
        if (value) return a + " given twice";
        if (i + 1 >= cmd.size()) return a + " needs a value";
        value = cmd[++i];
    }
    return {};
}

// The scan's rows without --csv: the CSV's columns but the time, aligned
// (a person watches the rows come out as they are read).
std::string ScanTableRow(const engine::ScanRow& row) {
    const std::string csv = engine::ScanCsvRow(row);
    std::vector<std::string> f;
    for (size_t at = 0;;) {
        const size_t comma = csv.find(',', at);
        f.push_back(csv.substr(at, comma - at));
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    f.resize(4);
    char text[96];
    std::snprintf(text, sizeof(text), "%7s  %-12s  %15s  %s", f[0].c_str(), f[1].c_str(),
                  f[2].c_str(), f[3].c_str());
    std::string line = text;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

std::string ScanTableHeader() { return "channel  transmitter   loop_current_mA  band"; }

// What the operator reads after "failed: ". The identification that comes
// before a fixture's first command is named when it was what failed.
std::string Why(const hart::Failure& f, bool identifying) {
    std::string why = f.Describe();
    if (f.command == 0 && !identifying) why += " (identifying the fixture)";
    return why;
}

int RunCommand(const std::vector<std::string>& cmd, const std::string& portName,
               ConsoleWindow& window, std::ostream& out, std::ostream& err) {
    const std::string& name = cmd[0];
    const size_t argc = cmd.size() - 1;
    auto usage = [&](const std::string& what) {
        err << "tarvok-hart: " << what << " (see --help)\n";
        return kExitUsage;
    };
    auto failed = [&](const char* what, const hart::Failure& why, bool identifying = false) {
        // An exchange the operator's signal cut short is no failure to report.
        if (!(why.reason == hart::Reason::kInterrupted && StopSignal() != 0))
            err << "tarvok-hart: " << what << " failed: " << Why(why, identifying) << '\n';
        return kExitFailed;
    };
    // A command that only reads may be cut short by a signal; one that
    // changes something ends its exchange and puts back what it changed.
    SetCutShortOnStop(name == "identify" || name == "poll" || name == "read-channel");

    if (name == "identify") {
        if (argc != 0) return usage("identify takes no argument");
        const auto r = hart::IdentifyFixture();
        if (!r) return failed("identification", r.Error(), true);
        out << r->DeviceNumber() << '\n';
        return kExitOk;
    }
    if (name == "poll") {
        CommandOptions c;
        if (const auto problem = ParseCommandOptions(cmd, {"--count", "--csv"}, c);
            !problem.empty())
            return usage(problem);
        long count = 1;
        if (c.count) {
            const auto n = ParseNumber(*c.count, 1, 1'000'000'000);
            if (!n) return usage("bad count: " + *c.count);
            count = *n;
        }
        int status = kExitOk;
        engine::PollSample sample;
        sample.channel = -1;
        if (c.csv) {
            // Read once: polling does not move the channel. Left empty when
            // the fixture would not say.
            const auto r = hart::ReadActiveChannel();
            if (r)
                sample.channel = *r > 0 ? *r : 0;
            else
                status = failed("reading the channel", r.Error());
            out << engine::kPollCsvHeader << std::endl;
        }
        for (long i = 0; i < count && StopSignal() == 0; ++i) {
            const auto r = hart::ReadLoopCurrent();
            if (!r && r.Error().reason == hart::Reason::kInterrupted && StopSignal() != 0) break;
            if (c.csv) {
                sample.time = std::chrono::system_clock::now();
                sample.ok = r.Ok();
                sample.milliamps = r ? *r : 0.0f;
                out << engine::PollCsvRow(sample) << std::endl;
            } else if (r) {
                out << engine::FormatReadingMa(*r) << std::endl;
            }
            if (!r) status = failed("poll", r.Error());
        }
        return status;
    }
    if (name == "scan") {
        CommandOptions c;
        if (const auto problem = ParseCommandOptions(cmd, {"--channels", "--csv"}, c);
            !problem.empty())
            return usage(problem);
        engine::ScanOptions scan;
        if (c.channels && !ParseChannelRange(*c.channels, scan.first, scan.last))
            return usage("bad channels: " + *c.channels + " (A-B, 1 <= A <= B <= 32)");
        out << (c.csv ? engine::ScanCsvHeader() : ScanTableHeader()) << std::endl;
        // Stopped, it makes the channel active before active again itself.
        scan.stopRequested = [] { return StopSignal() != 0; };
        scan.onRow = [&](const engine::ScanRow& row) {
            out << (c.csv ? engine::ScanCsvRow(row) : ScanTableRow(row)) << std::endl;
        };
        const engine::ScanResult r = engine::RunChannelScan(scan);
        if (r.Ok()) return kExitOk;
        std::string what =
            "scan failed: " + engine::DescribeScanStep(r.failedStep, r.failedChannel) + ": " +
            Why(r.failure, false);
        if (r.failedStep != engine::ScanStep::kReadChannel &&
            r.failedStep != engine::ScanStep::kRestoreChannel && !r.restored)
            what +=
                "; the channel active before is not active again: " + Why(r.restoreFailure, false);
        err << "tarvok-hart: " << what << '\n';
        return kExitFailed;
    }
    if (name == "test") {
        CommandOptions c;
        if (const auto problem = ParseCommandOptions(
                cmd, {"--channels", "--points", "--tolerance", "--settle-ms", "--csv"}, c);
            !problem.empty())
            return usage(problem);
        TestCommandOptions t;
        t.channels = c.channels;
        t.points = c.points;
        t.tolerance = c.tolerance;
        t.settleMs = c.settleMs;
        t.csv = c.csv;
        TestRunContext context;
        context.port = portName;
        context.deviceNumber = [&window] { return window.DeviceNumber(); };
        // Stopped, it lets the fixed current go and puts the channel back
        // itself.
        context.stopRequested = [] { return StopSignal() != 0; };
        return RunTestCommand(t, context, out, err);
    }
    if (name == "read-channel") {
        if (argc != 0) return usage("read-channel takes no argument");
        const auto r = hart::ReadActiveChannel();
        if (!r) return failed("reading the channel", r.Error());
        char text[16];
        std::snprintf(text, sizeof(text), "%02d", *r > 0 ? *r : 0);
        out << text << '\n';
        return kExitOk;
    }
    if (name == "select-channel") {
        if (argc != 1) return usage("select-channel takes N (1-32) or none");
        int channel = hart::kNoChannel;
        if (cmd[1] != "none") {
            const auto n = ParseNumber(cmd[1], 1, hart::kChannelCount);
            if (!n) return usage("bad channel: " + cmd[1]);
            channel = static_cast<int>(*n);
        }
        const auto r = hart::SelectChannel(channel);
        if (!r) return failed("switching the channel", r.Error());
        return kExitOk;
    }
    if (name == "write-device-number") {
        if (argc != 1) return usage("write-device-number takes N");
        const auto n = ParseNumber(cmd[1], 0, 0xFFFFFF);
        if (!n) return usage("bad device number: " + cmd[1]);
        const auto r = hart::WriteDeviceNumber(static_cast<uint32_t>(*n));
        if (!r) return failed("writing the device number", r.Error());
        return kExitOk;
    }
    return usage("unknown command: " + name);
}

// Whether the command named on the line is `command`, whatever options
// stand around it.
bool NamesCommand(const std::vector<std::string>& args, const char* command) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--port" || args[i] == "--device") {
            ++i;
        } else if (args[i].empty() || args[i][0] != '-') {
            return args[i] == command;
        }
    }
    return false;
}

// records [--json]: the calibration records of this user, newest first. Reads
// the folder only: no port, no fixture.
int RunRecords(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    bool json = false;
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            out << HartCliUsage();
            return kExitOk;
        }
        if (a == "--json") {
            json = true;
        } else if (a != "records" && a != "--trace") {
            err << "tarvok-hart: records takes only --json and needs no port (see --help)\n";
            return kExitUsage;
        }
    }
    const std::string folder = engine::RecordsFolder();
    if (folder.empty()) {
        err << "tarvok-hart: no records folder: no home folder is known\n";
        return kExitFailed;
    }
    std::vector<std::string> problems;
    const std::vector<engine::RecordSummary> records = engine::ListRecords(folder, &problems);
    // A file name is whatever the folder holds: printed escaped, as every
    // text of the listing.
    for (const std::string& p : problems)
        err << "tarvok-hart: not a record, skipped: " << engine::EscapeControls(p) << '\n';
    if (json) {
        out << '[';
        for (size_t i = 0; i < records.size(); ++i)
            out << (i == 0 ? "\n" : ",\n") << records[i].json;
        out << (records.empty() ? "]\n" : "\n]\n");
        return kExitOk;
    }
    for (const engine::RecordSummary& r : records) {
        out << engine::EscapeControls(r.time) << ' '
            << (r.deviceNumber >= 0 ? std::to_string(r.deviceNumber) : "-") << ' '
            << engine::EscapeControls(r.kind) << ' ' << engine::EscapeControls(r.result) << ' '
            << engine::EscapeControls(r.stem) << '\n';
    }
    return kExitOk;
}

}  // namespace

std::string HartCliUsage() {
    return "usage: tarvok-hart (--port N | --device PATH | --simulate) [--trace] [--stats]\n"
           "                   COMMAND\n"
           "       tarvok-hart records [--json]\n"
           "       tarvok-hart history [DEVICE] [--json]\n"
           "       tarvok-hart --help | --version\n"
           "\n"
           "Talks HART to the test fixture as primary master.\n"
           "\n"
           "  --port N        serial port number (COMn; on Linux see \"Serial ports on Linux\"\n"
           "                  in the README)\n"
           "  --device PATH   a serial device by path, e.g. /dev/ttyUSB0\n"
           "  --simulate      the built-in simulated fixture (CH1-CH8 fitted, CH11 a loop\n"
           "                  without HART, CH1 active)\n"
           "  --trace         a line on stderr for every frame sent (TX) and heard (RX) and\n"
           "                  every failed attempt (--), with the time and the command's\n"
           "                  name (also TARVOK_TRACE=1)\n"
           "  --stats         one line of link statistics on stderr at the end\n"
           "  --version       print the version\n"
           "\n"
           "Commands:\n"
           "  identify                 print the fixture's device number\n"
           "  poll [--count K] [--csv] read the loop current K times, one mA value a line;\n"
           "                           --csv: time,channel,loop_current_mA rows\n"
           "  read-channel             print the active channel, 01-32, or 00 for none\n"
           "  select-channel N|none    make channel N (1-32) active, or none\n"
           "  write-device-number N    write the fixture's device number\n"
           "  scan [--channels A-B] [--csv]\n"
           "                           for each channel (default 1-32): its loop current,\n"
           "                           NE 43 band (empty: below 1.0 mA, no transmitter)\n"
           "                           and transmitter; the active channel is restored at\n"
           "                           the end; --csv adds the time of each reading\n"
           "  test [--channels A-B] [--points 4,12,20] [--tolerance PERCENT] [--settle-ms N]\n"
           "       [--csv]             test the transmitters: each fixed at every point\n"
           "                           (command 40), after the settle time (default 1000)\n"
           "                           read by the fixture; pass when every error is\n"
           "                           within the tolerance (default 0.1 % of 16 mA);\n"
           "                           verdicts pass, fail, error, empty, no-hart; the run\n"
           "                           is stored in the database; exit status 3 when a\n"
           "                           device failed or could not be tested\n"
           "  history [DEVICE] [--json]\n"
           "                           the stored test results, all or of one identity or\n"
           "                           tag, newest first (no port)\n"
           "  records [--json]         list the calibration records, newest first (no port)\n"
           "  meter --meter TARGET ...   the reference meter (no port; tarvok-hart meter --help)\n"
           "\n"
           "The first exchange identifies the fixture and signals on DTR/RTS for 3 s.\n"
           "Exit status: 0 success, 1 a transaction failed, 2 usage error or the port\n"
           "could not be opened, 3 a transmitter test not passed, 128+N stopped by signal\n"
           "N (130 SIGINT, 143 SIGTERM): the command stops after the exchange under way\n"
           "and puts back what it changed (a scan: the channel active before; a test: the\n"
           "fixed current first); a second signal ends it at once.\n";
}

namespace {

// A run a signal stopped exits with 128 + its number, whatever the command
// came to.
int StatusAfter(int status) {
    const int signal = StopSignal();
    return signal != 0 ? 128 + signal : status;
}

}  // namespace

int RunHartCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (NamesCommand(args, "records")) return StatusAfter(RunRecords(args, out, err));
    if (NamesCommand(args, "history")) return StatusAfter(RunHistory(args, out, err));
    if (NamesMeterCommand(args)) return StatusAfter(RunMeterCommand(args, out, err));
    Options o;
    const std::string problem = Parse(args, o);
    if (o.help) {
        out << HartCliUsage();
        return kExitOk;
    }
    if (o.version) {
        out << "tarvok-hart " TARVOK_VERSION_TEXT "\n";
        return kExitOk;
    }
    if (!problem.empty()) {
        err << "tarvok-hart: " << problem << " (see --help)\n";
        return kExitUsage;
    }
    if (o.trace) platform::EnableTrace(true);
    // Each run starts as a process of its own does, also when the tests
    // run the tool in-process one run after another.
    hart::ForgetFixture();
    hart::LinkStatistics().Reset();

    std::unique_ptr<sim::SimulatedFixture> fixture;
    int port = o.port;
    if (o.simulate) {
        fixture = std::make_unique<sim::SimulatedFixture>(sim::DemoFixtureConfig());
        serial::SetPortFactory(
            serial::SinglePortFactory(1, [f = fixture.get()] { return f->CreatePort(); }));
        port = 1;
    } else if (!o.device.empty()) {
        serial::SetPortFactory(
            serial::SinglePortFactory(1, serial::CreateSystemPort, o.device, o.device));
        port = 1;
    }

    CollectingNotifier notifier;
    ConsoleWindow window;
    serial::SetNotifier(&notifier);
    hart::g_pMainDlg = &window;

    int status = kExitOk;
    PutBackRecord putBack;
    if (StopSignal() != 0) {
        // Stopped before anything was sent: nothing to run, nothing to open.
    } else if (serial::OpenPort(port) != 1) {
        std::string what = o.device;
        if (o.simulate) what = "the simulated fixture";
        if (what.empty()) {
            what = serial::PortName(port);
            const std::string device = serial::PortDevicePath(port);
            if (!device.empty()) what += " (" + device + ")";
        }
        err << "tarvok-hart: cannot open " << what << ": "
            << serial::DescribeOpenError(serial::LastOpenPortError()) << '\n';
        status = kExitUsage;
    } else {
        // A signal during the open: the command does not begin.
        std::string portName = o.device;
        if (o.simulate) portName = "simulated";
        if (portName.empty()) portName = serial::PortName(port);
        if (StopSignal() == 0) status = RunCommand(o.command, portName, window, out, err);
        // A cut made by a signal ends here: what is put back must get through.
        SetCutShortOnStop(false);
        for (const std::string& problem : PutBack(putBack, window)) {
            err << "tarvok-hart: " << problem << '\n';
            status = kExitFailed;
        }
    }

    // After a command that exchanged anything with the fixture.
    if (const auto stats = hart::LinkStatistics().Snapshot(); o.stats && stats.requests > 0)
        err << "tarvok-hart: link: " << hart::FormatLinkStats(stats) << '\n';

    serial::ClosePort();
    hart::g_pMainDlg = nullptr;
    serial::SetNotifier(nullptr);
    serial::SetPortFactory({});
    return StatusAfter(status);
}

}  // namespace cli
