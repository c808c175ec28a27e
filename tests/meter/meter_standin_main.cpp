// meter-standin: a bench multimeter that answers SCPI, for tests and for
// trying the meter command by hand.
//
//   meter-standin [--pty LINK] [--usbtmc LINK] [--tcp] [--port-file FILE]
//                 [--current MA] [--drift MA] [--settle N] [--noise MA] [--seed N]
//                 [--script LIST] [--then BEHAVIOUR] [--delay MS] [--identity TEXT]
//                 [--log FILE]
//
// The first line on stdout is "# ready" with the endpoints; then one line
// per command heard (or in --log FILE). Runs until SIGINT or SIGTERM.
#include <signal.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "meter_standin.h"

namespace {

constexpr const char* kUsage =
    "usage: meter-standin [--pty LINK] [--usbtmc LINK] [--tcp] [--port-file FILE]\n"
    "                     [--current MA] [--drift MA] [--settle N] [--noise MA] [--seed N]\n"
    "                     [--script LIST] [--then BEHAVIOUR] [--delay MS]\n"
    "                     [--identity TEXT] [--log FILE]\n"
    "\n"
    "Answers SCPI (*IDN?, *CLS, CONF:CURR:DC, READ?, MEAS:CURR:DC?, SYST:ERR?) as a\n"
    "bench multimeter reading a loop current, until SIGINT or SIGTERM:\n"
    "\n"
    "  --pty LINK      a pseudo-terminal, LINK pointing to it: serial:LINK\n"
    "  --usbtmc LINK   a pseudo-terminal that passes for a USBTMC device (answers\n"
    "                  in one write, without a line end): usbtmc:LINK\n"
    "  --tcp           a TCP port on 127.0.0.1 that the system picks: tcp:127.0.0.1:PORT\n"
    "  --port-file F   write that port to F as well\n"
    "  --current MA    the current read (default 4)\n"
    "  --drift MA      the first --settle N readings are off by MA, shrinking to 0\n"
    "  --noise MA      standard deviation of a reading (default 0)\n"
    "  --script LIST   behaviour per query (*IDN?, READ?), e.g. answer,3*silent,garbage;\n"
    "                  behaviours: answer silent garbage overload error hangup reset\n"
    "  --then B        behaviour once the script is used up (default answer)\n"
    "  --delay MS      an answer leaves MS after its query (default 0)\n"
    "\n"
    "The first line on stdout is \"# ready pty=PATH usbtmc=PATH tcp=PORT\" (the ones\n"
    "served); then one line per command heard, \"<ms> <endpoint> <command>\".\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "meter-standin: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

bool ToDouble(const std::string& s, double* v) {
    char* end = nullptr;
    *v = std::strtod(s.c_str(), &end);
    return end != s.c_str() && *end == '\0';
}

bool ToLong(const std::string& s, long* v) {
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *v);
    return ec == std::errc() && end == s.data() + s.size();
}

}  // namespace

int main(int argc, char** argv) {
    standin::StandInOptions options;
    std::string pty, usbtmc, portFile, logPath;
    bool tcp = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--tcp") {
            tcp = true;
            continue;
        }
        if (i + 1 >= argc) return Usage(a + " needs a value");
        const std::string v = argv[++i];
        double d = 0.0;
        long n = 0;
        if (a == "--pty") {
            pty = v;
        } else if (a == "--usbtmc") {
            usbtmc = v;
        } else if (a == "--port-file") {
            portFile = v;
            tcp = true;
        } else if (a == "--log") {
            logPath = v;
        } else if (a == "--current" && ToDouble(v, &d)) {
            options.currentMa = d;
        } else if (a == "--drift" && ToDouble(v, &d)) {
            options.driftMa = d;
        } else if (a == "--noise" && ToDouble(v, &d) && d >= 0.0) {
            options.noiseMa = d;
        } else if (a == "--settle" && ToLong(v, &n) && n >= 0 && n <= 100000) {
            options.settleReadings = static_cast<int>(n);
        } else if (a == "--seed" && ToLong(v, &n) && n >= 0) {
            options.seed = static_cast<uint32_t>(n);
        } else if (a == "--delay" && ToLong(v, &n) && n >= 0 && n <= 600000) {
            options.delayMs = static_cast<uint32_t>(n);
        } else if (a == "--identity") {
            options.identity = v;
        } else if (a == "--script") {
            const auto script = standin::ParseScript(v);
            if (!script) return Usage("bad script: " + v);
            options.script = *script;
        } else if (a == "--then") {
            const auto b = standin::ParseBehaviour(v);
            if (!b) return Usage("bad behaviour: " + v);
            options.otherwise = *b;
        } else {
            return Usage("bad option: " + a + " " + v);
        }
    }
    if (pty.empty() && usbtmc.empty() && !tcp) return Usage("name --pty, --usbtmc or --tcp");

    FILE* log = stdout;
    if (!logPath.empty() && (log = std::fopen(logPath.c_str(), "w")) == nullptr) {
        std::perror(logPath.c_str());
        return 2;
    }

    // Taken by sigwait below, on this thread only; the stand-in's thread
    // inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    standin::MeterStandIn standIn(options);
    std::string error;
    uint16_t port = 0;
    if ((!pty.empty() && !standIn.AddPty(pty, &error)) ||
        (!usbtmc.empty() && !standIn.AddUsbtmc(usbtmc, &error)) ||
        (tcp && !standIn.AddTcp(&port, &error))) {
        std::fprintf(stderr, "meter-standin: %s\n", error.c_str());
        return 1;
    }
    if (!portFile.empty()) {
        FILE* f = std::fopen(portFile.c_str(), "w");
        if (f == nullptr || std::fprintf(f, "%u\n", port) < 0 || std::fclose(f) != 0) {
            std::perror(portFile.c_str());
            return 1;
        }
    }
    const double origin = std::chrono::duration<double, std::milli>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
    standIn.OnHeard([log, origin](const standin::HeardCommand& h) {
        std::fprintf(log, "%.1f %s %s\n", h.ms - origin, h.endpoint.c_str(), h.command.c_str());
        std::fflush(log);
    });
    if (!standIn.Start(&error)) {
        std::fprintf(stderr, "meter-standin: %s\n", error.c_str());
        return 1;
    }
    std::string ready = "# ready";
    if (!pty.empty()) ready += " pty=" + standIn.PtyPath();
    if (!usbtmc.empty()) ready += " usbtmc=" + standIn.UsbtmcPath();
    if (tcp) ready += " tcp=" + std::to_string(port);
    std::printf("%s\n", ready.c_str());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stopSignals, &signal);
    standIn.Stop();
    if (log != stdout) std::fclose(log);
    return 0;
}
