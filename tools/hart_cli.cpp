#include "tools/hart_cli.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>

#include "engine/calibration_record.h"
#include "hart/decoders.h"
#include "hart/transaction.h"
#include "platform/trace.h"
#include "serial/notifier.h"
#include "serial/port_factory.h"
#include "serial/serial_link.h"
#include "sim/demo_line.h"
#include "sim/simulated_fixture.h"

namespace tools {
namespace {

constexpr float kNoChannel = 32.0f;

std::optional<long> ParseNumber(const std::string& s, long low, long high) {
    long v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v < low || v > high) return std::nullopt;
    return v;
}

// Keeps the link's messages for the one line that reports a failed open.
class CollectingNotifier final : public serial::Notifier {
public:
    void Notify(const serial::Notice& notice) override {
        if (!texts.empty()) texts += "; ";
        texts += notice.text;
    }
    std::string texts;
};

// The tool addresses the fixture only; it has no channel of its own.
class ConsoleWindow final : public hart::MainWindowServices {
public:
    int GetChannelIndex() override { return -1; }
    void ShowDeviceNumber(int) override {}
};

struct Options {
    int port = 0;
    std::string device;
    bool simulate = false;
    bool trace = false;
    bool help = false;
    std::vector<std::string> command;
};

// Returns an error text, empty when the line is good. Options may stand
// before or after the command; --count stays with the command it follows.
std::string Parse(const std::vector<std::string>& args, Options& o) {
    int sources = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--trace") {
            o.trace = true;
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
        } else if (a == "--count" && !o.command.empty()) {
            o.command.push_back(a);
            if (i + 1 < args.size()) o.command.push_back(args[++i]);
        } else if (a.size() > 1 && a[0] == '-') {
            return "unknown option: " + a;
        } else {
            o.command.push_back(a);
        }
    }
    if (o.help) return {};
    if (sources != 1) return "name exactly one of --port, --device, --simulate";
    if (o.command.empty()) return "no command";
    static const char* const kCommands[] = {"identify", "poll", "read-channel", "select-channel",
                                            "write-device-number"};
    for (const char* c : kCommands)
        if (o.command[0] == c) return {};
    return "unknown command: " + o.command[0];
}

std::string FormatChannel(float damping) {
    const int d = static_cast<int>(damping);  // truncation, as the window does
    int n = 0;
    if (d >= 0 && d <= 32) n = d + 1 > 32 ? 0 : d + 1;
    char text[8];
    std::snprintf(text, sizeof(text), "%02d", n);
    return text;
}

int RunCommand(const std::vector<std::string>& cmd, std::ostream& out, std::ostream& err) {
    const std::string& name = cmd[0];
    const size_t argc = cmd.size() - 1;
    auto usage = [&](const std::string& what) {
        err << "tarvok-hart: " << what << " (see --help)\n";
        return kExitUsage;
    };
    auto failed = [&](const char* what) {
        err << "tarvok-hart: " << what << " failed\n";
        return kExitFailed;
    };

    if (name == "identify") {
        if (argc != 0) return usage("identify takes no argument");
        if (hart::FixtureTransaction(0) != 1) return failed("identification");
        const auto& id = hart::g_hartData.deviceId;
        out << ((id[0] << 16) | (id[1] << 8) | id[2]) << '\n';
        return kExitOk;
    }
    if (name == "poll") {
        long count = 1;
        if (argc == 2 && cmd[1] == "--count") {
            const auto n = ParseNumber(cmd[2], 1, 1'000'000'000);
            if (!n) return usage("bad count: " + cmd[2]);
            count = *n;
        } else if (argc != 0) {
            return usage("poll takes only --count K");
        }
        int status = kExitOk;
        for (long i = 0; i < count; ++i) {
            if (hart::FixtureTransaction(2) != 1) {
                failed("poll");
                status = kExitFailed;
                continue;
            }
            char text[32];
            std::snprintf(text, sizeof(text), "%.3f",
                          static_cast<double>(hart::g_hartData.loopCurrent));
            out << text << std::endl;
        }
        return status;
    }
    if (name == "read-channel") {
        if (argc != 0) return usage("read-channel takes no argument");
        if (hart::FixtureTransaction(15) != 1) return failed("reading the channel");
        out << FormatChannel(hart::g_hartData.dampingValue) << '\n';
        return kExitOk;
    }
    if (name == "select-channel") {
        if (argc != 1) return usage("select-channel takes N (1-32) or none");
        float value = kNoChannel;
        if (cmd[1] != "none") {
            const auto n = ParseNumber(cmd[1], 1, 32);
            if (!n) return usage("bad channel: " + cmd[1]);
            value = static_cast<float>(*n - 1);
        }
        hart::SetRequestDataCount(4);
        hart::SetRequestFloat(0, value);
        if (hart::FixtureTransaction(34) != 1) return failed("switching the channel");
        return kExitOk;
    }
    if (name == "write-device-number") {
        if (argc != 1) return usage("write-device-number takes N");
        const auto n = ParseNumber(cmd[1], 0, 0xFFFFFF);
        if (!n) return usage("bad device number: " + cmd[1]);
        hart::SetRequestDataCount(3);
        hart::SetRequestByte(0, static_cast<uint8_t>(*n >> 16));
        hart::SetRequestByte(1, static_cast<uint8_t>(*n >> 8));
        hart::SetRequestByte(2, static_cast<uint8_t>(*n));
        if (hart::FixtureTransaction(182) != 1) return failed("writing the device number");
        return kExitOk;
    }
    return usage("unknown command: " + name);
}

// The command named on the line, whatever options stand around it.
bool NamesRecords(const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--port" || args[i] == "--device") {
            ++i;
        } else if (args[i].empty() || args[i][0] != '-') {
            return args[i] == "records";
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
    for (const std::string& p : problems)
        err << "tarvok-hart: not a record, skipped: " << p << '\n';
    if (json) {
        out << '[';
        for (size_t i = 0; i < records.size(); ++i)
            out << (i == 0 ? "\n" : ",\n") << records[i].json;
        out << (records.empty() ? "]\n" : "\n]\n");
        return kExitOk;
    }
    for (const engine::RecordSummary& r : records) {
        out << r.time << ' ' << (r.deviceNumber >= 0 ? std::to_string(r.deviceNumber) : "-") << ' '
            << r.kind << ' ' << r.result << ' ' << r.stem << '\n';
    }
    return kExitOk;
}

}  // namespace

std::string HartCliUsage() {
    return "usage: tarvok-hart (--port N | --device PATH | --simulate) [--trace] COMMAND\n"
           "       tarvok-hart records [--json]\n"
           "\n"
           "Talks HART to the test fixture as primary master.\n"
           "\n"
           "  --port N        serial port number (COMn; on Linux see PORTS in the README)\n"
           "  --device PATH   a serial device by path, e.g. /dev/ttyUSB0\n"
           "  --simulate      the built-in simulated fixture (CH1-CH8 fitted, CH1 active)\n"
           "  --trace         hex trace of every frame on stderr (also TARVOK_TRACE=1)\n"
           "\n"
           "Commands:\n"
           "  identify                 print the fixture's device number\n"
           "  poll [--count K]         read the loop current K times, one mA value a line\n"
           "  read-channel             print the active channel, 01-32, or 00 for none\n"
           "  select-channel N|none    make channel N (1-32) active, or none\n"
           "  write-device-number N    write the fixture's device number\n"
           "  records [--json]         list the calibration records, newest first (no port)\n"
           "\n"
           "The first exchange identifies the fixture and signals on DTR/RTS for 3 s.\n"
           "Exit status: 0 success, 1 a transaction failed, 2 usage error or the port\n"
           "could not be opened.\n";
}

int RunHartCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (NamesRecords(args)) return RunRecords(args, out, err);
    Options o;
    const std::string problem = Parse(args, o);
    if (o.help) {
        out << HartCliUsage();
        return kExitOk;
    }
    if (!problem.empty()) {
        err << "tarvok-hart: " << problem << " (see --help)\n";
        return kExitUsage;
    }
    if (o.trace) platform::EnableTrace(true);

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

    int status;
    if (serial::OpenPort(port) != 1) {
        std::string what = o.device;
        if (o.simulate) what = "the simulated fixture";
        if (what.empty()) {
            what = serial::PortName(port);
            const std::string device = serial::PortDevicePath(port);
            what += device.empty() ? " (no such device)" : " (" + device + ")";
        }
        err << "tarvok-hart: cannot open " << what
            << (notifier.texts.empty() ? "" : ": " + notifier.texts) << '\n';
        status = kExitUsage;
    } else {
        status = RunCommand(o.command, out, err);
    }

    serial::ClosePort();
    hart::g_pMainDlg = nullptr;
    serial::SetNotifier(nullptr);
    serial::SetPortFactory({});
    return status;
}

}  // namespace tools
