#include "cli/test_command.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <ostream>

#include "cli/hart_cli.h"
#include "engine/calibration_record.h"
#include "engine/transmitter_test.h"
#include "generated/version.h"
#include "platform/wall_clock.h"
#if TARVOK_HAVE_STORE
#include "store/store.h"
#endif

namespace cli {
namespace {

std::optional<double> ParseDecimal(const std::string& s) {
    double v = 0.0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<std::vector<float>> ParsePoints(const std::string& s) {
    std::vector<float> points;
    for (size_t at = 0;;) {
        const size_t comma = s.find(',', at);
        const auto v = ParseDecimal(s.substr(at, comma - at));
        if (!v) return std::nullopt;
        points.push_back(static_cast<float>(*v));
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return points;
}

std::string Channel(int channel) {
    char text[8];
    std::snprintf(text, sizeof(text), "CH%02d", channel);
    return text;
}

std::string Signed(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%+.3f", value);
    return std::string(text) == "-0.000" ? "+0.000" : text;
}

std::string TableHeader() { return "channel  transmitter   tag       verdict  error_percent_of_span"; }

// A person watches the rows come: each point's error in % of span, or why
// there is none.
std::string TableRow(const engine::TransmitterResult& r) {
    std::string detail;
    for (const engine::TestPoint& p : r.points) {
        if (!detail.empty()) detail += ' ';
        detail += Signed(p.errorPercent);
    }
    if (!r.reason.empty()) detail += (detail.empty() ? "" : "; ") + r.reason;
    char text[160];
    std::snprintf(text, sizeof(text), "%7d  %-12s  %-8s  %-7s  ", r.channel,
                  r.transmitter ? r.transmitter->Tag().c_str() : "",
                  engine::EscapeControls(r.tag).c_str(),
                  engine::TestVerdictText(r.verdict).c_str());
    std::string line = text + engine::EscapeControls(detail);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

#if TARVOK_HAVE_STORE
store::Verdict StoredVerdict(engine::TestVerdict v) {
    switch (v) {
        case engine::TestVerdict::kPass:
            return store::Verdict::kPass;
        case engine::TestVerdict::kFail:
            return store::Verdict::kFail;
        case engine::TestVerdict::kError:
            return store::Verdict::kError;
        case engine::TestVerdict::kEmpty:
            return store::Verdict::kEmpty;
        case engine::TestVerdict::kNoHart:
            return store::Verdict::kNoHart;
    }
    return store::Verdict::kError;
}

store::TestRun StoredRun(const engine::TestRunResult& result, const engine::TestSettings& s,
                         const TestRunContext& context, store::Time started) {
    store::TestRun run;
    run.time = started;
    run.deviceNumber = context.deviceNumber ? context.deviceNumber() : -1;
    run.port = context.port;
    if (const char* user = std::getenv("USER"))
        run.operatorName = user;
    else if (const char* name = std::getenv("USERNAME"))
        run.operatorName = name;
    run.softwareVersion = TARVOK_VERSION_TEXT;
    for (float p : s.pointsMa) run.pointsMa.push_back(p);
    run.settleMs = static_cast<int>(s.settleMs);
    run.tolerancePercentOfSpan = s.tolerancePercent;
    for (const engine::TransmitterResult& r : result.results) {
        store::DeviceResult d;
        d.channel = r.channel;
        if (r.transmitter) d.identity = r.transmitter->Tag();
        d.tag = r.tag;
        d.descriptor = r.descriptor;
        d.date = r.date;
        d.longTag = r.longTag;
        d.verdict = StoredVerdict(r.verdict);
        d.reason = r.reason;
        for (const engine::TestPoint& p : r.points)
            d.points.push_back({p.pointMa, p.readingMa, p.errorMa, p.errorPercent, p.pass});
        run.results.push_back(std::move(d));
    }
    return run;
}

// The run goes into the database; a failure is told once, and the run
// already on `out` is all the same.
void Store(const store::TestRun& run, std::ostream& err) {
    store::Store db;
    store::Status status = db.Open();
    if (status.ok()) status = db.WriteRun(run);
    if (!status.ok()) {
        const std::string path = db.Path().empty() ? store::Store::DefaultPath() : db.Path();
        err << "tarvok-hart: the run is not stored in the database"
            << (path.empty() ? std::string() : " " + engine::EscapeControls(path)) << ": "
            << status.reason << '\n';
    }
}

void StoreRun(const engine::TestRunResult& r, const engine::TestSettings& s,
              const TestRunContext& context, store::Time started, std::ostream& err) {
    Store(StoredRun(r, s, context, started), err);
}
#else
// A build without SQLite (the Windows one) keeps no history.
template <typename Time>
void StoreRun(const engine::TestRunResult&, const engine::TestSettings&, const TestRunContext&,
              Time, std::ostream& err) {
    err << "tarvok-hart: the run is not stored: this build has no database\n";
}
#endif

}  // namespace

int RunTestCommand(const TestCommandOptions& c, const TestRunContext& context, std::ostream& out,
                   std::ostream& err) {
    auto usage = [&](const std::string& what) {
        err << "tarvok-hart: " << what << " (see --help)\n";
        return kExitUsage;
    };
    engine::TestOptions o;
    if (c.channels && !ParseChannelRange(*c.channels, o.first, o.last))
        return usage("bad channels: " + *c.channels + " (A-B, 1 <= A <= B <= 32)");
    if (c.points) {
        const auto points = ParsePoints(*c.points);
        if (!points) return usage("bad points: " + *c.points + " (mA, e.g. 4,12,20)");
        o.settings.pointsMa = *points;
    }
    if (c.tolerance) {
        const auto t = ParseDecimal(*c.tolerance);
        if (!t) return usage("bad tolerance: " + *c.tolerance);
        o.settings.tolerancePercent = *t;
    }
    if (c.settleMs) {
        const auto ms = ParseNumber(*c.settleMs, 0, 60000);
        if (!ms) return usage("bad settle time: " + *c.settleMs + " (0-60000 ms)");
        o.settings.settleMs = static_cast<uint32_t>(*ms);
    }
    if (const std::string bad = engine::CheckTestSettings(o.settings); !bad.empty())
        return usage("test settings: " + bad);

    out << (c.csv ? engine::TestCsvHeader() : TableHeader()) << std::endl;
    o.stopRequested = context.stopRequested;
    o.onResult = [&](const engine::TransmitterResult& r) {
        if (c.csv) {
            for (const std::string& row : engine::TestCsvRows(r)) out << row << '\n';
            out.flush();
        } else {
            out << TableRow(r) << std::endl;
        }
    };
    const auto started = std::chrono::time_point_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now());
    const engine::TestRunResult r = engine::RunTransmitterTest(o);

    int status = kExitOk;
    for (const engine::TransmitterResult& t : r.results) {
        if (t.verdict == engine::TestVerdict::kFail || t.verdict == engine::TestVerdict::kError)
            status = kExitNotPassed;
        if (!t.releaseProblem.empty()) {
            err << "tarvok-hart: the transmitter on " << Channel(t.channel)
                << " is still in fixed-current mode: " << t.releaseProblem << '\n';
            status = kExitFailed;
        }
    }
    if (!r.Ok()) {
        std::string what = "test failed: " + r.failedStep + ": " + r.failure.Describe();
        if (r.restoreFailure.reason != hart::Reason::kNone)
            what += "; the channel active before is not active again: " +
                    r.restoreFailure.Describe();
        err << "tarvok-hart: " << what << '\n';
        status = kExitFailed;
    }
    if (!r.results.empty()) StoreRun(r, o.settings, context, started, err);
    return status;
}

int RunHistory(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    bool json = false;
    bool named = false;
    std::optional<std::string> device;
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            out << HartCliUsage();
            return kExitOk;
        }
        if (a == "--json") {
            json = true;
        } else if (a == "history" && !named) {
            named = true;
        } else if (a == "--trace") {
        } else if (named && !device && !a.empty() && a[0] != '-') {
            device = a;
        } else {
            err << "tarvok-hart: history takes [DEVICE] [--json] and needs no port (see --help)\n";
            return kExitUsage;
        }
    }
#if !TARVOK_HAVE_STORE
    (void)json;
    err << "tarvok-hart: this build has no database\n";
    return kExitFailed;
#else
    store::Store db;
    store::Status status = db.Open();
    std::vector<store::HistoryEntry> entries;
    if (status.ok()) {
        if (device) {
            status = db.DeviceHistory(*device, &entries);
        } else {
            std::vector<store::TestRun> runs;
            status = db.Runs(&runs);
            for (size_t i = 0; status.ok() && i < runs.size(); ++i) {
                std::vector<store::DeviceResult> results;
                status = db.RunResults(runs[i].id, &results);
                for (store::DeviceResult& d : results) entries.push_back({runs[i], std::move(d)});
            }
        }
    }
    if (!status.ok()) {
        const std::string path = db.Path().empty() ? store::Store::DefaultPath() : db.Path();
        err << "tarvok-hart: cannot read the database " << engine::EscapeControls(path) << ": "
            << status.reason << '\n';
        return kExitFailed;
    }

    auto when = [](const store::TestRun& run) {
        return platform::FormatIso8601(platform::ToLocalTime(run.time));
    };
    if (json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const store::HistoryEntry& e : entries) {
            nlohmann::ordered_json j;
            j["time"] = when(e.run);
            j["run"] = e.run.id;
            j["fixture"] = e.run.deviceNumber;
            j["channel"] = e.result.channel;
            j["transmitter"] = e.result.identity;
            j["tag"] = e.result.tag;
            j["descriptor"] = e.result.descriptor;
            j["date"] = e.result.date;
            j["long_tag"] = e.result.longTag;
            j["verdict"] = store::VerdictText(e.result.verdict);
            j["reason"] = e.result.reason;
            nlohmann::ordered_json points = nlohmann::ordered_json::array();
            for (const store::PointResult& p : e.result.points) {
                nlohmann::ordered_json q;
                q["point_mA"] = p.nominalMa;
                // A point not read is NaN, which JSON has no word for.
                q["reading_mA"] = std::isfinite(p.readingMa) ? nlohmann::ordered_json(p.readingMa)
                                                             : nlohmann::ordered_json();
                q["error_mA"] = std::isfinite(p.errorMa) ? nlohmann::ordered_json(p.errorMa)
                                                         : nlohmann::ordered_json();
                q["error_percent_of_span"] = std::isfinite(p.errorPercentOfSpan)
                                                 ? nlohmann::ordered_json(p.errorPercentOfSpan)
                                                 : nlohmann::ordered_json();
                q["pass"] = p.pass;
                points.push_back(q);
            }
            j["points"] = points;
            list.push_back(j);
        }
        // Texts from the devices may be any bytes: replaced, never thrown on.
        out << list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
        return kExitOk;
    }
    for (const store::HistoryEntry& e : entries) {
        std::string line = when(e.run) + " run " + std::to_string(e.run.id) + " " +
                           Channel(e.result.channel) + " " +
                           (e.result.identity.empty() ? "-" : e.result.identity) + " " +
                           (e.result.tag.empty() ? "-" : e.result.tag) + " " +
                           store::VerdictText(e.result.verdict);
        for (const store::PointResult& p : e.result.points)
            line += " " + (std::isfinite(p.errorPercentOfSpan) ? Signed(p.errorPercentOfSpan)
                                                              : std::string("-"));
        if (!e.result.reason.empty()) line += "; " + e.result.reason;
        out << engine::EscapeControls(line) << '\n';
    }
    return kExitOk;
#endif
}

}  // namespace cli
