#include "engine/transmitter_test.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "engine/channel_scan.h"
#include "platform/clock.h"

namespace engine {
namespace {

constexpr float kLowestPointMa = 3.5f;
constexpr float kHighestPointMa = 24.0f;
constexpr size_t kMostPoints = 8;
constexpr uint32_t kLongestSettleMs = 60000;
// The settle wait is slept in pieces so that a stop is heard within one.
constexpr uint32_t kSettleSliceMs = 50;

bool Stop(const TestOptions& o) { return o.stopRequested && o.stopRequested(); }

// A failure that says the link itself is gone, whoever was addressed.
bool LinkGone(const hart::Failure& f) {
    return f.reason == hart::Reason::kPortGone || f.reason == hart::Reason::kInterrupted;
}

std::string Ma(float ma) { return FormatReadingMa(ma); }

std::string ChannelName(int channel) {
    char text[8];
    std::snprintf(text, sizeof(text), "CH%02d", channel);
    return text;
}

// Waits ms clock milliseconds against one deadline, so that the pieces add
// up to the settle time exactly. False when a stop came first.
bool SettleWait(uint32_t ms, const TestOptions& o) {
    const uint32_t start = platform::Tick();
    for (;;) {
        if (Stop(o)) return false;
        const uint32_t passed = platform::Tick() - start;
        if (passed >= ms) return true;
        platform::Sleep(std::min(ms - passed, kSettleSliceMs));
    }
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    // "-0.000" says nothing "0.000" does not.
    if (std::string(text).find_first_not_of("-0.") == std::string::npos && text[0] == '-')
        return text + 1;
    return text;
}

// One channel, from its selection to its verdict. The run's failures go into
// `run`; the channel's result is returned, or none when a stop came before
// the channel was done.
class ChannelTest {
public:
    ChannelTest(const TestOptions& options, TestRunResult& run, int channel)
        : o_(options), run_(run) {
        r_.channel = channel;
    }

    std::optional<TransmitterResult> Run() {
        const bool done = Steps();
        if (fixedAttempted_) Release();
        r_.time = std::chrono::system_clock::now();
        if (!done) return std::nullopt;
        return r_;
    }

private:
    // False when stopped; the result is complete otherwise.
    bool Steps() {
        const int ch = r_.channel;
        if (const auto s = hart::SelectChannel(ch); !s)
            return FixtureFailed(s.Error(), "making " + ChannelName(ch) + " active");
        if (Stop(o_)) return false;
        const auto current = hart::ReadLoopCurrent();
        if (!current)
            return FixtureFailed(current.Error(), "reading the loop current of " + ChannelName(ch));
        r_.loopCurrentMa = *current;
        if (Stop(o_)) return false;
        if (*current < kLoopPresentMa) {
            r_.verdict = TestVerdict::kEmpty;
            return true;
        }

        const auto id = hart::IdentifyTransmitter(ch);
        if (!id) {
            if (id.Error().reason == hart::Reason::kNoReply) {
                r_.verdict = TestVerdict::kNoHart;
                return true;
            }
            return TransmitterFailed(id.Error(), "identifying the transmitter");
        }
        r_.transmitter = *id;
        if (Stop(o_)) return false;
        const auto tag = hart::ReadTransmitterTag(ch);
        if (!tag) return TransmitterFailed(tag.Error(), "reading the tag");
        r_.tag = tag->tag;
        r_.descriptor = tag->descriptor;
        r_.date = tag->DateText();
        if (id->universalRevision >= hart::kLongTagRevision) {
            if (Stop(o_)) return false;
            const auto longTag = hart::ReadLongTag(ch);
            if (!longTag) return TransmitterFailed(longTag.Error(), "reading the long tag");
            r_.longTag = *longTag;
        }

        bool allPass = true;
        for (const float point : o_.settings.pointsMa) {
            // Asked before each point, not after the last: a stop that comes
            // once the verdict is whole takes nothing from it.
            if (Stop(o_)) return false;
            fixedAttempted_ = true;
            const auto fixed = hart::FixTransmitterCurrentOn(ch, point);
            if (!fixed) return TransmitterFailed(fixed.Error(), "fixing " + Ma(point) + " mA");
            fixedAccepted_ = true;
            if (!SettleWait(o_.settings.settleMs, o_)) return false;
            const auto reading = hart::ReadLoopCurrent();
            if (!reading)
                return FixtureFailed(reading.Error(),
                                     "reading " + ChannelName(ch) + " at " + Ma(point) + " mA");
            TestPoint p;
            p.pointMa = point;
            p.readingMa = *reading;
            p.errorMa = static_cast<double>(*reading) - static_cast<double>(point);
            p.errorPercent = p.errorMa / static_cast<double>(kTestSpanMa) * 100.0;
            // A hair of slack: an error exactly at the tolerance passes,
            // whichever way the float arithmetic rounded it.
            p.pass = std::fabs(p.errorPercent) <= o_.settings.tolerancePercent + 1e-9;
            allPass = allPass && p.pass;
            r_.points.push_back(p);
        }
        r_.verdict = allPass ? TestVerdict::kPass : TestVerdict::kFail;
        return true;
    }

    bool TransmitterFailed(const hart::Failure& f, const std::string& step) {
        if (LinkGone(f)) return FixtureFailed(f, step + " on " + ChannelName(r_.channel));
        r_.verdict = TestVerdict::kError;
        r_.reason = step + ": " + f.Describe();
        return true;
    }

    bool FixtureFailed(const hart::Failure& f, const std::string& step) {
        run_.failure = f;
        run_.failedStep = step;
        r_.verdict = TestVerdict::kError;
        r_.reason = step + ": " + f.Describe();
        return true;
    }

    // Command 40 with 0.0, whatever happened before; best effort when the
    // port is gone. A transmitter that never took a fixed current (it
    // refused the first) has nothing to let go, and its refusal of this one
    // is no news.
    void Release() {
        const auto released = hart::FixTransmitterCurrentOn(r_.channel, 0.0f);
        if (!released && fixedAccepted_) r_.releaseProblem = released.Error().Describe();
    }

    const TestOptions& o_;
    TestRunResult& run_;
    TransmitterResult r_;
    bool fixedAttempted_ = false;
    bool fixedAccepted_ = false;
};

}  // namespace

std::string TestVerdictText(TestVerdict verdict) {
    switch (verdict) {
        case TestVerdict::kPass:
            return "pass";
        case TestVerdict::kFail:
            return "fail";
        case TestVerdict::kError:
            return "error";
        case TestVerdict::kEmpty:
            return "empty";
        case TestVerdict::kNoHart:
            return "no-hart";
    }
    return "error";
}

std::string CheckTestSettings(const TestSettings& s) {
    if (s.pointsMa.empty() || s.pointsMa.size() > kMostPoints) return "one to eight points";
    for (float p : s.pointsMa)
        if (!(p >= kLowestPointMa && p <= kHighestPointMa))
            return "each point from 3.5 to 24 mA";
    if (!(s.tolerancePercent > 0.0 && s.tolerancePercent <= 100.0))
        return "a tolerance above 0 and at most 100 %";
    if (s.settleMs > kLongestSettleMs) return "a settle time of at most 60000 ms";
    return {};
}

TestRunResult RunTransmitterTest(const TestOptions& options) {
    TestRunResult run;
    // No points would make a pass of nothing: refused before any exchange.
    if (const std::string bad = CheckTestSettings(options.settings); !bad.empty()) {
        run.failure.reason = hart::Reason::kBadArgument;
        run.failedStep = "test settings: " + bad;
        run.restored = true;
        return run;
    }
    const int first = std::clamp(options.first, 1, hart::kChannelCount);
    const int last = std::clamp(options.last, first, hart::kChannelCount);

    const auto before = hart::ReadActiveChannel();
    if (!before) {
        run.failure = before.Error();
        run.failedStep = "reading the active channel";
        return run;  // nothing changed, nothing to put back
    }
    run.previousChannel = *before;

    const int total = last - first + 1;
    bool changed = false;
    for (int channel = first; channel <= last && run.Ok(); ++channel) {
        if (Stop(options)) {
            run.stopped = true;
            break;
        }
        changed = true;
        const auto result = ChannelTest(options, run, channel).Run();
        if (!result) {
            run.stopped = true;
            break;
        }
        run.results.push_back(*result);
        if (options.onResult) options.onResult(*result);
        if (options.onProgress) options.onProgress(channel - first + 1, total);
    }
    if (!changed) {
        run.restored = true;
        return run;
    }

    const int restore =
        run.previousChannel == hart::kUnknownChannel ? hart::kNoChannel : run.previousChannel;
    const auto restored = hart::SelectChannel(restore);
    run.restored = restored.Ok();
    if (!restored) {
        if (run.Ok()) {
            run.failure = restored.Error();
            run.failedStep = "making the channel active before active again";
        } else {
            run.restoreFailure = restored.Error();
        }
    }
    return run;
}

std::string TestCsvHeader() {
    return "channel,transmitter,tag,verdict,point_mA,reading_mA,error_mA,error_percent_of_span,"
           "pass";
}

std::vector<std::string> TestCsvRows(const TransmitterResult& r) {
    std::string head = std::to_string(r.channel) + ",";
    if (r.transmitter) head += r.transmitter->Tag();
    head += "," + CsvField(r.tag) + "," + TestVerdictText(r.verdict) + ",";
    std::vector<std::string> rows;
    const bool tested = r.verdict == TestVerdict::kPass || r.verdict == TestVerdict::kFail;
    if (!tested || r.points.empty()) {
        rows.push_back(head + ",,,,");
        return rows;
    }
    for (const TestPoint& p : r.points)
        rows.push_back(head + Ma(p.pointMa) + "," + Ma(p.readingMa) + "," + Fixed(p.errorMa, 3) +
                       "," + Fixed(p.errorPercent, 3) + "," + (p.pass ? "true" : "false"));
    return rows;
}

std::string TestCsvText(const std::vector<TransmitterResult>& results) {
    std::string text = TestCsvHeader() + "\n";
    for (const TransmitterResult& r : results)
        for (const std::string& row : TestCsvRows(r)) text += row + "\n";
    return text;
}

}  // namespace engine
