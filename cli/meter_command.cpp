#include "cli/meter_command.h"

#include <charconv>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>

#include "cli/hart_cli.h"
#include "meter/meter.h"
#include "meter/meter_target.h"
#include "meter/stability.h"
#include "meter/transport_factory.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "sim/simulated_meter.h"

namespace cli {
namespace {

bool TakesValue(const std::string& option) {
    return option == "--meter" || option == "--count" || option == "--port" || option == "--device";
}

struct MeterOptions {
    std::optional<std::string> target;
    bool simulate = false;
    bool trace = false;
    bool help = false;
    std::string command;  // identify, read
    std::optional<long> count;
    bool stable = false;
};

// Empty when the line is good, else what is wrong.
std::string Parse(const std::vector<std::string>& args, MeterOptions& o) {
    bool sawMeterWord = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a == "--simulate") {
            o.simulate = true;
        } else if (a == "--stable") {
            o.stable = true;
        } else if (TakesValue(a)) {
            if (i + 1 >= args.size()) return a + " needs a value";
            const std::string& v = args[++i];
            if (a == "--port" || a == "--device")
                return "meter takes no fixture port; name the meter with --meter TARGET";
            if (a == "--meter") {
                if (o.target) return "--meter given twice";
                o.target = v;
            } else {
                if (o.count) return "--count given twice";
                long n = 0;
                const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
                if (ec != std::errc() || end != v.data() + v.size() || n < 1 || n > 1'000'000'000)
                    return "bad count: " + v;
                o.count = n;
            }
        } else if (a.size() > 1 && a[0] == '-') {
            return "unknown option: " + a;
        } else if (!sawMeterWord && a == "meter") {
            sawMeterWord = true;
        } else if (o.command.empty()) {
            o.command = a;
        } else {
            return "meter " + o.command + " takes no argument " + a;
        }
    }
    if (o.help) return {};
    if (o.target.has_value() == o.simulate) return "name the meter with --meter TARGET or --simulate";
    if (o.command.empty()) return "meter needs a command: identify or read";
    if (o.command == "identify") {
        if (o.count || o.stable) return "meter identify takes no --count or --stable";
    } else if (o.command == "read") {
        if (o.count && o.stable) return "--count and --stable do not go together";
    } else {
        return "unknown meter command: " + o.command;
    }
    return {};
}

std::string FormatMa(double ma) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.4f", ma);
    return text;
}

// What follows "failed: ". A meter that cannot be reached is named.
std::string Why(const meter::MeterFailure& f, const std::string& target) {
    if (f.error == meter::MeterError::kOpen)
        return "cannot connect to " + target + " (" + f.detail + ")";
    return f.Describe();
}

}  // namespace

bool NamesMeterCommand(const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (TakesValue(args[i])) {
            ++i;
        } else if (args[i].empty() || args[i][0] != '-') {
            return args[i] == "meter";
        }
    }
    return false;
}

std::string MeterUsage() {
    return "usage: tarvok-hart meter (--meter TARGET | --simulate) [--trace] identify\n"
           "       tarvok-hart meter (--meter TARGET | --simulate) [--trace] read [--count N | "
           "--stable]\n"
           "\n"
           "Reads the reference meter (SCPI); no fixture port is needed.\n"
           "\n"
           "  --meter TARGET   serial:PATH[:BAUD]  8N1, LF, 9600 baud by default\n"
           "                 tcp:HOST[:PORT]     raw socket, port 5025 by default\n"
           "                 usbtmc:PATH         USBTMC device, e.g. /dev/usbtmc0\n"
           "                 sim[:MA]            the simulated meter (4 mA by default)\n"
           "  --simulate     the simulated meter, as sim:\n"
           "  --trace        each command and answer on stderr, with the time\n"
           "\n"
           "  identify       print the meter's *IDN? answer\n"
           "  read           print readings in mA, one a line (--count N of them, 1 by\n"
           "                 default); --stable: the mean of the first 5 readings in a row\n"
           "                 that span no more than 4 uA and drift less than 4 uA/s, taken\n"
           "                 2 s after the start at the earliest, within 30 s\n"
           "\n"
           "Exit status: 0 success, 1 the meter failed (one line says why), 2 usage error.\n";
}

int RunMeterCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    // Its 2 s before a stable reading count from here.
    const uint32_t start = platform::Tick();
    MeterOptions o;
    const std::string problem = Parse(args, o);
    if (o.help) {
        out << MeterUsage();
        return kExitOk;
    }
    auto usage = [&](const std::string& what) {
        err << "tarvok-hart: " << what << " (see tarvok-hart meter --help)\n";
        return kExitUsage;
    };
    if (!problem.empty()) return usage(problem);

    std::string why;
    const auto target = meter::ParseMeterTarget(o.simulate ? "sim" : *o.target, &why);
    if (!target) return usage("bad meter target: " + why);
    if (o.trace) platform::EnableTrace(true);

    std::unique_ptr<sim::SimulatedMeter> simulated;
    std::unique_ptr<meter::Transport> transport;
    if (target->kind == meter::MeterKind::kSimulated) {
        sim::SimulatedMeterConfig config;
        config.trueCurrentMa = [ma = target->simulatedMa] { return ma; };
        simulated = std::make_unique<sim::SimulatedMeter>(config);
        transport = simulated->CreateTransport();
    } else {
        transport = meter::CreateSystemTransport(*target);
    }
    meter::Meter m(std::move(transport));
    const std::string name = meter::FormatMeterTarget(*target);
    const char* what = o.command == "identify" ? "meter identification" : "meter read";
    auto failed = [&](const meter::MeterFailure& f) {
        err << "tarvok-hart: " << what << " failed: " << Why(f, name) << '\n';
        return kExitFailed;
    };

    const auto identity = m.Connect();
    if (!identity) return failed(identity.Error());
    if (o.command == "identify") {
        out << identity->raw << '\n';
        return kExitOk;
    }
    if (o.stable) {
        const meter::StableReadResult r = meter::ReadUntilStable(m, start);
        if (r.outcome == meter::StableOutcome::kStable) {
            out << FormatMa(r.reading.meanMa) << '\n';
            return kExitOk;
        }
        if (r.outcome != meter::StableOutcome::kNotStable) return failed(r.failure);
        err << "tarvok-hart: " << what << " failed: not stable within 30 s (last reading "
            << FormatMa(r.lastMa) << " mA; the last 5 span " << FormatMa(r.spanMa) << " mA)\n";
        return kExitFailed;
    }
    for (long i = 0; i < o.count.value_or(1); ++i) {
        const auto reading = m.ReadMilliamps();
        if (!reading) return failed(reading.Error());
        out << FormatMa(*reading) << std::endl;
    }
    return kExitOk;
}

}  // namespace cli
