// pty-fixture: the test fixture on a pseudo-terminal, for driving the
// console tool or the window by hand or from a test script.
//
//   pty-fixture --link PATH [--log FILE] [--script LIST] [--then BEHAVIOUR]
//               [--turnaround MS] [--late MS] [--device-number N]
//               [--current MA] [--transmitter-commands N,...]
//
// It runs until SIGINT or SIGTERM. The first line of the log is
// "# ready <slave>"; then one line per frame heard or sent (see
// FormatRecord), milliseconds counted from the start.
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "pty_fixture.h"

namespace {

constexpr const char* kUsage =
    "usage: pty-fixture --link PATH [--log FILE] [--script LIST] [--then BEHAVIOUR]\n"
    "                   [--turnaround MS] [--late MS] [--device-number N] [--current MA]\n"
    "                   [--transmitter-commands N,...]\n"
    "\n"
    "Creates a pseudo-terminal, links PATH (e.g. a ports directory's COM3 or a Wine\n"
    "prefix's dosdevices/com3) to its slave side and answers HART requests there as\n"
    "the test fixture does, until SIGINT or SIGTERM. Every frame heard and sent is\n"
    "logged as one hex line with a millisecond time stamp (stdout or --log FILE).\n"
    "\n"
    "  --script LIST   behaviour per request, e.g. answer,3*silent,late; behaviours:\n"
    "                  answer silent late bad-checksum noise truncated comm-error\n"
    "                  empty (status bytes only), nan inf huge (the current of a\n"
    "                  command 2 or 33 reply is NaN, +inf or 1e30)\n"
    "  --then B        behaviour once the script is used up (default answer)\n"
    "  --turnaround MS reply delay after the request has left the line (default 50)\n"
    "  --late MS       delay of a late reply (default 600)\n"
    "  --device-number N   the fixture's 24-bit device number (default 1)\n"
    "  --current MA    loop current of the transmitter on CH1, which is active\n"
    "  --transmitter-commands N,...  commands the transmitter answers instead\n";

bool ToNumber(const std::string& s, long long* v) {
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *v);
    return ec == std::errc() && end == s.data() + s.size();
}

int Usage(const std::string& problem) {
    std::fprintf(stderr, "pty-fixture: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    e2e::PtyFixtureOptions options;
    options.fixture.activeChannel = -1;
    std::string link, logPath;
    std::set<long long> transmitterCommands;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) return Usage(a + " needs a value");
        const std::string v = argv[++i];
        long long n = 0;
        if (a == "--link") {
            link = v;
        } else if (a == "--log") {
            logPath = v;
        } else if (a == "--script") {
            const auto script = e2e::ParseScript(v);
            if (!script) return Usage("bad script: " + v);
            options.script = *script;
        } else if (a == "--then") {
            const auto b = e2e::ParseBehaviour(v);
            if (!b) return Usage("bad behaviour: " + v);
            options.otherwise = *b;
        } else if (a == "--turnaround" && ToNumber(v, &n) && n >= 0 && n <= 10000) {
            options.turnaroundMs = static_cast<uint32_t>(n);
        } else if (a == "--late" && ToNumber(v, &n) && n >= 0 && n <= 10000) {
            options.lateMs = static_cast<uint32_t>(n);
        } else if (a == "--device-number" && ToNumber(v, &n) && n >= 0 && n <= 0xFFFFFF) {
            options.fixture.deviceNumber = static_cast<uint32_t>(n);
        } else if (a == "--current") {
            char* end = nullptr;
            const float ma = std::strtof(v.c_str(), &end);
            if (end == v.c_str() || *end != '\0' || !(ma >= 0.0f && ma <= 30.0f))
                return Usage("bad current: " + v);
            sim::TransmitterConfig t;
            t.channel = 0;
            t.initialCurrentMa = ma;
            options.fixture.transmitters = {t};
            options.fixture.activeChannel = 0;
        } else if (a == "--transmitter-commands") {
            size_t at = 0;
            while (at <= v.size()) {
                const size_t comma = std::min(v.find(',', at), v.size());
                if (!ToNumber(v.substr(at, comma - at), &n) || n < 0 || n > 255)
                    return Usage("bad command list: " + v);
                transmitterCommands.insert(n);
                at = comma + 1;
            }
        } else {
            return Usage("bad option: " + a + " " + v);
        }
    }
    if (link.empty()) return Usage("--link is required");
    if (!transmitterCommands.empty()) {
        options.routeToTransmitter = [transmitterCommands](const sim::MasterRequest& r) {
            return transmitterCommands.count(r.command) != 0;
        };
    }

    FILE* log = stdout;
    if (!logPath.empty() && (log = std::fopen(logPath.c_str(), "w")) == nullptr) {
        std::perror(logPath.c_str());
        return 2;
    }
    const double origin = e2e::NowMs();
    options.onRecord = [log, origin](const e2e::FrameRecord& r) {
        std::fprintf(log, "%s\n", e2e::FormatRecord(r, origin).c_str());
        std::fflush(log);
    };

    // Taken by sigwait below, on this thread only.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    e2e::PtyFixture fixture(options);
    std::string error;
    if (!fixture.Start(link, &error)) {
        std::fprintf(stderr, "pty-fixture: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(log, "# ready %s\n", fixture.SlavePath().c_str());
    std::fflush(log);
    int signal = 0;
    sigwait(&stopSignals, &signal);
    fixture.Stop();
    if (log != stdout) std::fclose(log);
    return 0;
}
