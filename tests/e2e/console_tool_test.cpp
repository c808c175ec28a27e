// The console tool as a black box: a real process on a real (pseudo-)serial
// port, the fixture on the far end. The same tests run the Linux build and,
// under Wine, the Windows build; both must give the same verdicts.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e_config.h"
#include "pty_fixture.h"
#include "subprocess.h"

namespace e2e {
namespace {

using Bytes = std::vector<uint8_t>;

// The link's timing: one character as the hold reckons it, the wait for a
// first character, the settle before the reply wait and the reply wait.
constexpr double kCharTimeMs = 9.16;
constexpr double kFirstCharWaitMs = 380.0;
constexpr double kSettleMs = 100.0;
constexpr double kReplyWaitMs = 800.0;
// How far a measured quiet time may stray: it may not be shorter than the
// rule at all (clock granularity aside), and only a little longer. Under
// Wine every sleep and write also goes through its server, which on a
// loaded machine adds a few milliseconds more; the rules still lie 70 ms
// or more apart.
constexpr double kEarlyMs = 2.0;
double LateMs() { return Config().UnderWine() ? 25.0 : 10.0; }

// Command 0 in the short form to polling address 0, from the primary master.
const Bytes kIdentify = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82};

struct LineChange {
    double ms;
    bool dtr;
    bool rts;
};

class ConsoleToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tarvok-e2e-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        shimLog_ = dir_ + "/lines.log";
    }
    void TearDown() override {
        if (fixture_) fixture_->Stop();
        for (const auto& link : links_) std::filesystem::remove(link);
        std::filesystem::remove_all(dir_);
    }

    // The fixture on COMn: device number 0x0A0B0C, a transmitter driving
    // 12 mA on CH1, which is active.
    void StartFixture(std::vector<Behaviour> script, Behaviour otherwise = Behaviour::kAnswer,
                      int port = 3) {
        PtyFixtureOptions o;
        o.fixture.deviceNumber = 0x0A0B0C;
        o.fixture.activeChannel = 0;
        sim::TransmitterConfig t;
        t.channel = 0;
        t.initialCurrentMa = 12.0f;
        o.fixture.transmitters = {t};
        o.script = std::move(script);
        o.otherwise = otherwise;
        fixture_ = std::make_unique<PtyFixture>(o);
        std::string error;
        ASSERT_TRUE(fixture_->Start(Config().PortLink(dir_, port), &error)) << error;
    }

    // For the scan: transmitters on CH1 (12 mA) and CH3 (5 mA), CH2 active.
    // A pseudo-terminal has no DTR to route by, so every command 0 after the
    // fixture's own identification goes to the transmitter on the active
    // channel (and stays unanswered on a channel without one).
    void StartScanFixture(std::vector<Behaviour> script, Behaviour otherwise) {
        PtyFixtureOptions o;
        o.fixture.deviceNumber = 0x0A0B0C;
        o.fixture.activeChannel = 1;
        o.fixture.transmitters = {
            sim::TransmitterConfig{.channel = 0, .initialCurrentMa = 12.0f},
            sim::TransmitterConfig{
                .channel = 2, .deviceId = {0x00, 0x30, 0x03}, .initialCurrentMa = 5.0f}};
        o.routeToTransmitter = [this](const sim::MasterRequest& r) {
            return r.command == 0 && identifications_.fetch_add(1) > 0;
        };
        o.script = std::move(script);
        o.otherwise = otherwise;
        fixture_ = std::make_unique<PtyFixture>(o);
        std::string error;
        ASSERT_TRUE(fixture_->Start(Config().PortLink(dir_, 3), &error)) << error;
    }

    // For the transmitter test, one device per verdict, CH1 active: CH1
    // passes (revision 7, with a long tag), CH2 is empty, CH3 fails (its
    // output 1 % high), CH4 carries 12 mA without HART, CH5 refuses fixed
    // currents. The fixture is calibrated. Commands 13, 20 and 40, and every
    // command 0 after the fixture's own identification, go to the
    // transmitter on the active channel.
    void StartTestFixture() {
        PtyFixtureOptions o;
        o.fixture.deviceNumber = 0x0A0B0C;
        o.fixture.activeChannel = 0;
        o.fixture.calibrated = true;
        sim::TransmitterConfig pass{.channel = 0, .initialCurrentMa = 12.0f};
        pass.universalRevision = 7;
        sim::TransmitterConfig fail{
            .channel = 2, .deviceId = {0x00, 0x30, 0x03}, .initialCurrentMa = 8.0f};
        fail.gain = 1.01f;
        sim::TransmitterConfig plain{.channel = 3, .initialCurrentMa = 12.0f};
        plain.answersHart = false;
        sim::TransmitterConfig refusing{
            .channel = 4, .deviceId = {0x00, 0x30, 0x05}, .initialCurrentMa = 6.0f};
        refusing.fixedCurrentRefusal = 11;
        o.fixture.transmitters = {pass, fail, plain, refusing};
        o.routeToTransmitter = [this](const sim::MasterRequest& r) {
            if (r.command == 13 || r.command == 20 || r.command == 40) return true;
            return r.command == 0 && identifications_.fetch_add(1) > 0;
        };
        fixture_ = std::make_unique<PtyFixture>(o);
        std::string error;
        ASSERT_TRUE(fixture_->Start(Config().PortLink(dir_, 3), &error)) << error;
    }

    ProcessResult Tool(const std::vector<std::string>& args, int timeoutMs = 30000,
                       const WhileRunning& whileRunning = {}, const EnvironmentChanges& more = {}) {
        EnvironmentChanges env = Config().Environment(dir_, shimLog_);
        env.insert(env.end(), more.begin(), more.end());
        ProcessResult r = RunProcess(Config().Command(args), env, timeoutMs, whileRunning);
        EXPECT_FALSE(r.timedOut) << "the tool hung";
        // A Windows console program ends its lines with CR LF.
        std::erase(r.out, '\r');
        std::erase(r.err, '\r');
        return r;
    }

    std::vector<FrameRecord> Records(FrameRecord::Kind kind) const {
        std::vector<FrameRecord> out;
        for (auto& r : fixture_->Records())
            if (r.kind == kind) out.push_back(r);
        return out;
    }
    std::vector<FrameRecord> Heard() const { return Records(FrameRecord::kHeard); }
    std::vector<FrameRecord> Sent() const { return Records(FrameRecord::kSent); }

    std::vector<LineChange> LineChanges() const {
        std::vector<LineChange> out;
        std::ifstream in(shimLog_);
        std::string line;
        while (std::getline(in, line)) {
            LineChange c{};
            int dtr = 0, rts = 0;
            if (std::sscanf(line.c_str(), "%lf DTR=%d RTS=%d", &c.ms, &dtr, &rts) == 3) {
                c.dtr = dtr != 0;
                c.rts = rts != 0;
                out.push_back(c);
            }
        }
        return out;
    }

    std::string dir_;
    std::string shimLog_;
    std::unique_ptr<PtyFixture> fixture_;
    std::vector<std::string> links_;
    std::atomic<int> identifications_{0};
};

// The master's quiet time before `next`, when the attempt before it drew no
// character: its frame, the hold of (length + 1) characters, the 380 ms wait
// for a first character, then the quiet time.
double QuietAfterSilence(const FrameRecord& previous, const FrameRecord& next) {
    const double hold = (static_cast<double>(previous.bytes.size()) + 1.0) * kCharTimeMs;
    return next.ms - previous.ms - hold - kFirstCharWaitMs;
}

// ... when the attempt drew a reply that never completed: 100 ms settle and
// the 800 ms reply wait after the reply's first character, then the quiet.
double QuietAfterIncompleteReply(const FrameRecord& reply, const FrameRecord& next) {
    return next.ms - reply.ms - kSettleMs - kReplyWaitMs;
}

// ... when the attempt drew a complete reply that was not good: the settle,
// then the quiet time.
double QuietAfterCompleteReply(const FrameRecord& reply, const FrameRecord& next) {
    return next.ms - reply.ms - kSettleMs;
}

#define EXPECT_QUIET(measured, rule)                     \
    do {                                                 \
        const double q = (measured);                     \
        EXPECT_GE(q, (rule)-kEarlyMs) << "quiet time";   \
        EXPECT_LE(q, (rule) + LateMs()) << "quiet time"; \
    } while (0)

TEST_F(ConsoleToolTest, IdentifiesTheFixtureAndSignalsOnTheModemLines) {
    StartFixture({});
    const ProcessResult r = Tool({"--port", "3", "identify"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "658188\n");  // 0x0A0B0C

    // Identification, then command 0 itself: both in the short form.
    const auto heard = Heard();
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0].bytes, kIdentify);
    EXPECT_EQ(heard[1].bytes, kIdentify);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].bytes,
              (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x06, 0x80, 0x00, 0x0E, 0x00, 0x00, 0xFE,
                     0x3E, 0xB6, 0x05, 0x05, 0x01, 0x01, 0x01, 0x00, 0x0A, 0x0B, 0x0C, 0xF2}));

    // Between the two: five pulses of DTR and RTS together, 300 ms apart,
    // and DTR low while each frame is on the line.
    const auto lines = LineChanges();
    int dtrPulses = 0, rtsPulses = 0;
    bool dtr = false, rts = false;
    for (const auto& c : lines) {
        if (c.ms <= sent[0].ms || c.ms >= heard[1].ms) continue;
        dtrPulses += c.dtr && !dtr;
        rtsPulses += c.rts && !rts;
        dtr = c.dtr;
        rts = c.rts;
    }
    EXPECT_EQ(dtrPulses, 5);
    EXPECT_EQ(rtsPulses, 5);
    for (const auto& frame : heard) {
        bool level = false;
        for (const auto& c : lines)
            if (c.ms < frame.ms) level = c.dtr;
        EXPECT_FALSE(level) << "DTR at the frame at " << frame.ms;
    }
}

TEST_F(ConsoleToolTest, PollsInTheLongFormWith380msQuietAfterASuccess) {
    StartFixture({});
    const ProcessResult r = Tool({"--port", "3", "poll", "--count", "2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "12.037\n12.037\n");  // 12 mA through the fixture's converter

    const auto heard = Heard();
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[0].bytes, kIdentify);
    // Command 2 to the long address 3E B6 0A 0B 0C, primary master bit set.
    const Bytes poll = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x82, 0xBE,
                        0xB6, 0x0A, 0x0B, 0x0C, 0x02, 0x00, 0x85};
    EXPECT_EQ(heard[1].bytes, poll);
    EXPECT_EQ(heard[2].bytes, poll);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_QUIET(QuietAfterCompleteReply(sent[1], heard[2]), 380.0);
}

TEST_F(ConsoleToolTest, GivesUpAfterExactlyThreeFailedAttempts) {
    // No reply, a communication error, a reply with a wrong check byte.
    StartFixture({Behaviour::kSilent, Behaviour::kCommError, Behaviour::kBadChecksum});
    const ProcessResult r = Tool({"--port", "3", "identify"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    // Why, as the last attempt ended.
    EXPECT_EQ(r.err, "tarvok-hart: identification failed: bad checksum\n");

    const auto heard = Heard();
    ASSERT_EQ(heard.size(), 3u) << "exactly three attempts";
    for (const auto& h : heard) EXPECT_EQ(h.bytes, kIdentify);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_QUIET(QuietAfterSilence(heard[0], heard[1]), 380.0);
    // A communication error leaves the quiet time as it was.
    EXPECT_QUIET(QuietAfterCompleteReply(sent[0], heard[2]), 380.0);
}

TEST_F(ConsoleToolTest, IgnoresMalformedRepliesAndWaits75msAfterAnIncompleteOne) {
    // Cut short, then a communication error, then garbage before a good reply.
    StartFixture({Behaviour::kTruncated, Behaviour::kCommError, Behaviour::kNoise});
    const ProcessResult r = Tool({"--port", "3", "read-channel"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "01\n");

    const auto heard = Heard();
    const auto sent = Sent();
    ASSERT_EQ(heard.size(), 4u);  // identification in three attempts, command 15
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].behaviour, Behaviour::kTruncated);
    EXPECT_QUIET(QuietAfterIncompleteReply(sent[0], heard[1]), 75.0);
    EXPECT_QUIET(QuietAfterCompleteReply(sent[1], heard[2]), 75.0);
}

TEST_F(ConsoleToolTest, AReplyAfterTheFirstCharacterWaitCountsAsNone) {
    StartFixture({Behaviour::kLate});
    const ProcessResult r = Tool({"--port", "3", "identify"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "658188\n");
    const auto heard = Heard();
    ASSERT_EQ(heard.size(), 3u) << "the late reply did not end the first transaction";
    EXPECT_QUIET(QuietAfterSilence(heard[0], heard[1]), 380.0);
}

TEST_F(ConsoleToolTest, UsageErrorsAndPortsThatCannotBeOpenedExitWithTwo) {
    // Ports named, but leading to no device.
    for (int port : {9, 12}) {
        const std::string link = Config().PortLink(dir_, port);
        std::filesystem::remove(link);
        std::filesystem::create_symlink(dir_ + "/unplugged", link);
        links_.push_back(link);
    }
    ProcessResult r = Tool({"--port", "3"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("no command"), std::string::npos) << r.err;

    // One line, with the reason: a link to nothing is no device (what
    // Wine's serial layer answers for it is its own business).
    r = Tool({"--port", "9", "identify"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("tarvok-hart: cannot open COM9"), std::string::npos) << r.err;
    if (!Config().UnderWine()) {
        EXPECT_EQ(r.err, "tarvok-hart: cannot open COM9 (" + Config().PortLink(dir_, 9) +
                             "): no such device\n");
    }

    // From 10 on the name takes the device namespace form.
    r = Tool({"--port", "12", "identify"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("tarvok-hart: cannot open \\\\.\\COM12"), std::string::npos) << r.err;
}

TEST_F(ConsoleToolTest, APortAboveNineIsReachedByItsNamespaceName) {
    StartFixture({Behaviour::kSilent}, Behaviour::kSilent, 12);
    const ProcessResult r = Tool({"--port", "12", "identify"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(Heard().size(), 3u);
}

TEST_F(ConsoleToolTest, AFixtureThatGoesAwayFailsTheRestWithoutHanging) {
    StartFixture({});
    std::thread unplug([this] {
        // After the identification and the first poll, while the tool waits
        // for the line to be quiet before the second.
        for (int i = 0; i < 1000 && Sent().size() < 2; ++i) ::usleep(10000);
        ::usleep(250000);
        fixture_->Hangup();
    });
    const ProcessResult r = Tool({"--port", "3", "poll", "--count", "4"});
    unplug.join();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "12.037\n");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3) << r.err;
    EXPECT_NE(r.err.find("tarvok-hart: poll failed: port gone\n"), std::string::npos) << r.err;
}

// "12:03:04.217 TX 0 识别设备 FF FF ...": the time and the rest.
struct TraceLine {
    double ms = -1.0;  // since midnight
    std::string text;
};

std::vector<TraceLine> TraceLines(const std::string& err) {
    std::vector<TraceLine> out;
    size_t at = 0;
    for (size_t nl; (nl = err.find('\n', at)) != std::string::npos; at = nl + 1) {
        const std::string line = err.substr(at, nl - at);
        int h = 0, m = 0, sec = 0, milli = 0, used = 0;
        TraceLine t;
        if (std::sscanf(line.c_str(), "%2d:%2d:%2d.%3d %n", &h, &m, &sec, &milli, &used) == 4 &&
            used == 13) {
            t.ms = ((h * 60.0 + m) * 60.0 + sec) * 1000.0 + milli;
            t.text = line.substr(13);
        } else {
            t.text = line;
        }
        out.push_back(t);
    }
    return out;
}

TEST_F(ConsoleToolTest, TheTraceTimesAndNamesEveryFrameAndEveryFailedAttempt) {
    StartFixture({Behaviour::kSilent, Behaviour::kTruncated});
    const ProcessResult r = Tool({"--port", "3", "--trace", "identify"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<TraceLine> lines;
    for (const auto& l : TraceLines(r.err))
        if (l.text.rfind("TX ", 0) == 0 || l.text.rfind("RX ", 0) == 0 ||
            l.text.rfind("-- ", 0) == 0)
            lines.push_back(l);
    const std::string tx = "TX 0 识别设备 FF FF FF FF FF 02 80 00 00 82";
    ASSERT_EQ(lines.size(), 8u) << r.err;
    EXPECT_EQ(lines[0].text, tx);
    EXPECT_EQ(lines[1].text, "-- 0 识别设备 no reply (attempt 1/3)");
    EXPECT_EQ(lines[2].text, tx);
    EXPECT_EQ(lines[3].text, "-- 0 识别设备 incomplete reply (attempt 2/3)");
    EXPECT_EQ(lines[4].text, tx);
    EXPECT_EQ(lines[5].text.rfind("RX 0 识别设备 FF FF ", 0), 0u) << lines[5].text;
    EXPECT_EQ(lines[6].text, tx) << "command 0 itself, after the line signal";
    EXPECT_EQ(lines[7].text, lines[5].text);
    for (const auto& l : lines) ASSERT_GE(l.ms, 0.0) << "no time stamp: " << l.text;

    // The times are the wire's: a silent attempt is given up 380 ms after
    // its frame has left, an incomplete one 100 + 800 ms after the first
    // character, which the fixture sent half a reply's length in.
    const auto since = [&](size_t i, size_t j) {
        double d = lines[j].ms - lines[i].ms;
        return d < 0 ? d + 24 * 3600 * 1000.0 : d;  // across midnight
    };
    const double frame = (kIdentify.size() + 1) * kCharTimeMs;
    EXPECT_GE(since(0, 1), frame + kFirstCharWaitMs - 20);
    EXPECT_LE(since(0, 1), frame + kFirstCharWaitMs + 60);
    EXPECT_GE(since(2, 3), kSettleMs + kReplyWaitMs);
    EXPECT_LE(since(2, 3), frame + 100 + kSettleMs + kReplyWaitMs + 60);
    EXPECT_GE(since(5, 6), 3000.0) << "the line signal lies between";
}

TEST_F(ConsoleToolTest, StatsSumUpASilentAttemptAndABadChecksum) {
    StartFixture({Behaviour::kSilent, Behaviour::kBadChecksum});
    const ProcessResult r = Tool({"--port", "3", "--stats", "poll", "--count", "2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "12.037\n12.037\n");
    // The identification took three attempts; it and both polls succeeded.
    // The fixture answers 50 ms after the request has left the line, and
    // the pseudo-terminal carries the whole reply at once.
    int mean = 0, max = 0;
    double perMinute = 0.0;
    ASSERT_EQ(std::sscanf(r.err.c_str(),
                          "tarvok-hart: link: 3 requests, 3 ok, 0 failed; 2 retries, failed "
                          "attempts: no reply 1, bad checksum 1; reply time mean %d ms, max %d "
                          "ms; %lf polls/min\n",
                          &mean, &max, &perMinute),
              3)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    const double reply = 50 - kCharTimeMs;
    EXPECT_GE(mean, reply - 5);
    EXPECT_LE(max, reply + 30);
    // Two polls in the run's time: the identification's three attempts, the
    // 3 s of line signal and the polls themselves take 6 to 7 s.
    EXPECT_GT(perMinute, 60.0 * 2 / 8);
    EXPECT_LT(perMinute, 60.0 * 2 / 5);
}

// The command and data bytes of a long-form request.
struct LongRequest {
    int command = -1;
    Bytes data;
};

LongRequest ParseLong(const Bytes& frame) {
    LongRequest r;
    size_t d = 0;
    while (d < frame.size() && frame[d] == 0xFF) ++d;
    if (d + 7 >= frame.size() || frame[d] != 0x82) return r;
    r.command = frame[d + 6];
    r.data.assign(frame.begin() + static_cast<long>(d) + 8,
                  frame.begin() + static_cast<long>(d) + 8 + frame[d + 7]);
    return r;
}

// Checks a scan's CSV with Python's csv module, band by band, and the
// times of its readings, local with their offset and in order: prints
// "rows N" or what is wrong.
constexpr const char* kCheckScanCsv = R"(
import csv, re, sys
from datetime import datetime
def band(ma, transmitter):
    if ma < 1.0 and not transmitter: return "empty"
    ua = round(ma * 1000)
    if ua < 3600 or ua > 21000: return "fault"
    if ua < 3800: return "under"
    if ua > 20500: return "over"
    return "ok"
with open(sys.argv[1], newline="") as f:
    rows = list(csv.reader(f))
assert rows[0] == ["channel", "transmitter", "loop_current_mA", "band", "time"], rows[0]
times = []
for row in rows[1:]:
    assert len(row) == 5, row
    assert 1 <= int(row[0]) <= 32, row
    assert re.fullmatch(r"([0-9A-F]{2}-[0-9A-F]{2}-[0-9A-F]{6})?", row[1]), row
    if row[2] == "":
        assert row[3] == "" and row[1] == "", row
    else:
        assert re.fullmatch(r"-?\d+\.\d{3}", row[2]), row
        assert row[3] == band(float(row[2]), row[1]), row
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d", row[4]), row
    times.append(datetime.fromisoformat(row[4]))
    assert times[-1].utcoffset() is not None, row
assert times == sorted(times), rows
print("rows", len(rows) - 1)
)";

// The CSV without its last column, the time, which the check above reads.
std::string WithoutTimes(const std::string& csv) {
    std::string out;
    size_t at = 0;
    for (size_t end; (end = csv.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = csv.substr(at, end - at);
        out += line.substr(0, line.rfind(',')) + '\n';
    }
    return out + csv.substr(at);
}

std::string CheckCsvWithPython(const std::string& dir, const std::string& csv) {
    const std::string path = dir + "/scan.csv";
    std::ofstream(path) << csv;
    const ProcessResult p = RunProcess({"python3", "-c", kCheckScanCsv, path}, {}, 20000);
    return p.status == 0 ? p.out : "python3: " + p.out + p.err;
}

TEST_F(ConsoleToolTest, ScanReadsEachChannelIdentifiesWhereALoopIsAndRestores) {
    StartScanFixture({}, Behaviour::kAnswer);
    const ProcessResult r = Tool({"--port", "3", "scan", "--channels", "1-4", "--csv"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // 12 and 5 mA through the fixture's converter; the empty loops read its
    // offset alone.
    EXPECT_EQ(WithoutTimes(r.out),
              "channel,transmitter,loop_current_mA,band\n"
              "1,26-05-000001,12.037,ok\n"
              "2,,0.013,empty\n"
              "3,26-05-003003,5.023,ok\n"
              "4,,0.013,empty\n");
    EXPECT_EQ(CheckCsvWithPython(dir_, r.out), "rows 4\n");

    // Identification, then 15; 34 and 2 for each channel, 0 where a loop
    // is; 34 for CH2 (1.0) at the end.
    std::vector<int> commands;
    for (const auto& h : Heard()) {
        const LongRequest q = ParseLong(h.bytes);
        commands.push_back(q.command < 0 ? 0 : q.command);
    }
    EXPECT_EQ(commands, (std::vector<int>{0, 15, 34, 2, 0, 34, 2, 34, 2, 0, 34, 2, 34}));
    const LongRequest restore = ParseLong(Heard().back().bytes);
    EXPECT_EQ(restore.data, (Bytes{0x3F, 0x80, 0x00, 0x00})) << "CH2 active again";
}

TEST_F(ConsoleToolTest, AScanWhoseFixtureStopsAnsweringSaysWhereAndWhy) {
    // Identification, 15, CH1's three exchanges, CH2's two; then silence.
    StartScanFixture(std::vector<Behaviour>(7, Behaviour::kAnswer), Behaviour::kSilent);
    const ProcessResult r = Tool({"--port", "3", "scan", "--csv"}, 60000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(WithoutTimes(r.out),
              "channel,transmitter,loop_current_mA,band\n"
              "1,26-05-000001,12.037,ok\n"
              "2,,0.013,empty\n"
              "3,,,\n");
    EXPECT_EQ(CheckCsvWithPython(dir_, r.out), "rows 3\n");
    EXPECT_EQ(r.err,
              "tarvok-hart: scan failed: making CH03 active: no reply; the channel active "
              "before is not active again: no reply (identifying the fixture)\n");
    // Three attempts at CH3, then three at identifying the fixture again
    // for the restore; nothing after.
    EXPECT_EQ(Heard().size(), 7u + 3u + 3u);
}

TEST_F(ConsoleToolTest, PollCsvRowsReadBackWithTheirTimes) {
    // Identification, 15, a poll; three silent attempts at the second poll.
    StartFixture({Behaviour::kAnswer, Behaviour::kAnswer, Behaviour::kAnswer, Behaviour::kSilent,
                  Behaviour::kSilent, Behaviour::kSilent});
    const ProcessResult r = Tool({"--port", "3", "poll", "--count", "3", "--csv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tarvok-hart: poll failed: no reply\n");
    const std::string path = dir_ + "/poll.csv";
    std::ofstream(path) << r.out;
    // Local times with their offset, in order; CH1 throughout; the failed
    // poll's reading empty.
    const ProcessResult p = RunProcess({"python3", "-c", R"(
import csv, sys
from datetime import datetime
with open(sys.argv[1], newline="") as f:
    rows = list(csv.reader(f))
assert rows[0] == ["time", "channel", "loop_current_mA"], rows[0]
times = [datetime.fromisoformat(row[0]) for row in rows[1:]]
assert all(t.utcoffset() is not None for t in times), rows
assert times == sorted(times), rows
assert all(len(row[0]) == 29 for row in rows[1:]), rows
print([row[1:] for row in rows[1:]])
)",
                                        path},
                                       {}, 20000);
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.out, "[['01', '12.037'], ['01', ''], ['01', '12.037']]\n") << r.out;
}

TEST_F(ConsoleToolTest, APollWithoutDataIsAFailureNeverTheReadingBefore) {
    // Identification and the first poll answered; from then on the status
    // bytes alone.
    StartFixture({Behaviour::kAnswer, Behaviour::kAnswer}, Behaviour::kEmpty);
    const ProcessResult r = Tool({"--port", "3", "poll", "--count", "3"}, 60000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "12.037\n");
    EXPECT_EQ(r.err,
              "tarvok-hart: poll failed: incomplete reply\n"
              "tarvok-hart: poll failed: incomplete reply (identifying the fixture)\n");
    // Each failed exchange made its three attempts; the replies came whole,
    // so the quiet time before each retry is the long one.
    const auto heard = Heard();
    ASSERT_EQ(heard.size(), 2u + 3u + 3u);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), heard.size());
    for (size_t i = 2; i < sent.size(); ++i) EXPECT_EQ(sent[i].behaviour, Behaviour::kEmpty);
    EXPECT_QUIET(QuietAfterCompleteReply(sent[2], heard[3]), 380.0);
}

TEST_F(ConsoleToolTest, AChannelReadWithoutDataIsAFailure) {
    StartFixture({Behaviour::kAnswer}, Behaviour::kEmpty);
    const ProcessResult r = Tool({"--port", "3", "read-channel"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tarvok-hart: reading the channel failed: incomplete reply\n");
    EXPECT_EQ(Heard().size(), 1u + 3u);
}

TEST_F(ConsoleToolTest, CurrentsThatAreNoReadingsAreFailuresWithTheirReason) {
    // Identification, the channel read, then NaN, +inf, 1e30 and a reading.
    StartFixture({Behaviour::kAnswer, Behaviour::kAnswer, Behaviour::kNan, Behaviour::kInf,
                  Behaviour::kHuge, Behaviour::kAnswer});
    const ProcessResult r =
        Tool({"--port", "3", "--stats", "poll", "--count", "4", "--csv"}, 60000);
    EXPECT_EQ(r.status, 1);
    std::vector<std::string> readings;
    std::istringstream rows(r.out);
    std::string row;
    std::getline(rows, row);  // the header
    while (std::getline(rows, row)) readings.push_back(row.substr(row.rfind(',') + 1));
    EXPECT_EQ(readings, (std::vector<std::string>{"", "", "", "12.037"})) << r.out;
    EXPECT_EQ(r.err.substr(0, r.err.find("tarvok-hart: link:")),
              "tarvok-hart: poll failed: value not available\n"
              "tarvok-hart: poll failed: implausible value\n"
              "tarvok-hart: poll failed: implausible value\n");
    EXPECT_NE(r.err.find("6 requests, 3 ok, 3 failed (value not available 1, implausible value "
                         "2); 0 retries;"),
              std::string::npos)
        << r.err;
    // Not retried, and the fixture stays identified: one request each.
    EXPECT_EQ(Heard().size(), 6u);
}

// The fixture executable, as a test script or a person would use it.
TEST_F(ConsoleToolTest, TheFixtureProgramLogsEveryFrame) {
    Child fixture;
    ASSERT_TRUE(fixture.Start({Config().fixture, "--link", Config().PortLink(dir_, 3), "--script",
                               "truncated", "--then", "silent"},
                              {}));
    const auto ready = fixture.ReadLine(5000);
    ASSERT_TRUE(ready.has_value());
    EXPECT_EQ(ready->rfind("# ready /dev/pts/", 0), 0u) << *ready;

    const ProcessResult r = Tool({"--port", "3", "identify"});
    EXPECT_EQ(r.status, 1) << r.err;
    fixture.Signal(SIGTERM);
    std::vector<std::string> lines;
    while (auto line = fixture.ReadLine(2000)) lines.push_back(*line);
    EXPECT_EQ(fixture.Finish(2000), 0);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find(" heard gap=-1.0 FF FF FF FF FF 02 80 00 00 82"), std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find(" sent truncated FF FF FF FF FF 06 80 00 0E 00 00 FE"),
              std::string::npos)
        << lines[1];
    EXPECT_NE(lines[2].find(" heard gap="), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find(" heard gap="), std::string::npos) << lines[3];
}

TEST_F(ConsoleToolTest, ARecordNestedTooDeepIsNamedAndSkippedWithoutACrash) {
    if (Config().UnderWine()) GTEST_SKIP() << "the Windows build keeps its records elsewhere";
    const std::string folder = dir_ + "/data/tarvok/records";
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/deep.json")
        << R"({"kind":"calibration","time":"2026-05-04T10:00:00Z","result":"written","x":)"
        << std::string(80000, '[') << std::string(80000, ']') << "}";
    std::ofstream(folder + "/20260504-100000-2.json")
        << R"({"kind":"calibration","time":"2026-05-04T10:00:00+08:00",)"
        << R"("fixture_device_number":2,"result":"written","points":[]})";
    const ProcessResult r = Tool({"records"}, 30000, {}, {"XDG_DATA_HOME=" + dir_ + "/data"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "2026-05-04T10:00:00+08:00 2 calibration written 20260504-100000-2\n");
    EXPECT_EQ(r.err, "tarvok-hart: not a record, skipped: " + folder + "/deep.json\n");
}

// Stop signals: the Linux build's. A POSIX signal to the wine wrapper is no
// console event of the Windows program's.
#define SKIP_UNDER_WINE()                                                      \
    do {                                                                       \
        if (Config().UnderWine()) GTEST_SKIP() << "POSIX signals, Linux only"; \
    } while (0)

size_t CountHeard(const std::vector<FrameRecord>& heard, int command) {
    return static_cast<size_t>(std::count_if(heard.begin(), heard.end(), [&](const FrameRecord& h) {
        return ParseLong(h.bytes).command == command;
    }));
}

std::vector<FrameRecord> HeardAfter(const std::vector<FrameRecord>& heard, double ms) {
    std::vector<FrameRecord> out;
    for (const auto& h : heard)
        if (h.ms > ms) out.push_back(h);
    return out;
}

// Command 34 making CH2 active: the scan fixture's channel before.
const Bytes kCh2 = {0x3F, 0x80, 0x00, 0x00};

// Every command 40 with a current heard is followed by one with 0.0 before
// the next command 34, and none is left fixed.
::testing::AssertionResult EveryFixIsReleased(const std::vector<FrameRecord>& heard) {
    bool fixed = false;
    for (const auto& h : heard) {
        const LongRequest q = ParseLong(h.bytes);
        if (q.command == 40) fixed = q.data != Bytes{0, 0, 0, 0};
        if (q.command == 34 && fixed)
            return ::testing::AssertionFailure() << "command 34 while a current is fixed";
    }
    if (fixed) return ::testing::AssertionFailure() << "a current still fixed at the end";
    return ::testing::AssertionSuccess();
}

TEST_F(ConsoleToolTest, ATransmitterTestGivesEveryVerdictAndItsCsvReadsBack) {
    StartTestFixture();
    const ProcessResult r =
        Tool({"--port", "3", "test", "--channels", "1-5", "--points", "4,20", "--settle-ms", "250",
              "--csv"},
             110000, {}, {"XDG_DATA_HOME=" + dir_ + "/data"});
    EXPECT_EQ(r.status, 3) << r.err;
    // The Windows build keeps no database, and says so.
    if (!r.err.empty()) {
        EXPECT_EQ(r.err, "tarvok-hart: the run is not stored: this build has no database\n");
    }
    const std::string path = dir_ + "/test.csv";
    std::ofstream(path) << r.out;
    const ProcessResult p = RunProcess({"python3", "-c", R"(
import csv, sys
rows = list(csv.DictReader(open(sys.argv[1], newline="")))
assert [r["channel"] + ":" + r["verdict"] for r in rows] == [
    "1:pass", "1:pass", "2:empty", "3:fail", "3:fail", "4:no-hart", "5:error"], rows
assert rows[0]["transmitter"] == "26-05-000001" and rows[0]["tag"] == "PT-101", rows[0]
assert [r["point_mA"] for r in rows[:2]] == ["4.000", "20.000"], rows
assert [r["pass"] for r in rows[3:5]] == ["false", "false"], rows
for r in rows[2:3] + rows[5:]:
    assert r["point_mA"] == r["reading_mA"] == r["error_mA"] == r["pass"] == "", r
for r in rows[:2] + rows[3:5]:
    e = float(r["reading_mA"]) - float(r["point_mA"])
    assert abs(e - float(r["error_mA"])) <= 0.0011, r
    assert (abs(float(r["error_percent_of_span"])) <= 0.1) == (r["pass"] == "true"), r
print("rows", len(rows))
)", path}, {}, 20000);
    EXPECT_EQ(p.status, 0) << p.out << p.err << r.out;
    EXPECT_EQ(p.out, "rows 7\n");

    const auto heard = Heard();
    EXPECT_TRUE(EveryFixIsReleased(heard));
    int fixes = 0, releases = 0, longTags = 0;
    for (const auto& h : heard) {
        const LongRequest q = ParseLong(h.bytes);
        if (q.command == 40) ++(q.data == Bytes{0, 0, 0, 0} ? releases : fixes);
        if (q.command == 20) ++longTags;
    }
    EXPECT_EQ(fixes, 2 + 2 + 1) << "two points on CH1 and CH3, CH5's refused one";
    EXPECT_EQ(releases, 3);
    EXPECT_EQ(longTags, 1) << "CH1 only: revision 7";
    const LongRequest restore = ParseLong(heard.back().bytes);
    EXPECT_EQ(restore.command, 34);
    EXPECT_EQ(restore.data, (Bytes{0, 0, 0, 0})) << "CH1 active again";
}

TEST_F(ConsoleToolTest, SigtermDuringATransmitterTestLetsTheCurrentGoAndPutsTheChannelBack) {
    SKIP_UNDER_WINE();
    StartTestFixture();
    double signalled = -1.0;
    const ProcessResult r = Tool(
        {"--port", "3", "test", "--channels", "1-5", "--settle-ms", "2000"}, 60000,
        [&](pid_t pid, const auto&) {
            if (signalled >= 0) return;
            for (const auto& h : Heard()) {
                const LongRequest q = ParseLong(h.bytes);
                if (q.command == 40 && q.data != Bytes{0, 0, 0, 0}) {
                    signalled = NowMs();
                    ::kill(pid, SIGTERM);
                    return;
                }
            }
        },
        {"XDG_DATA_HOME=" + dir_ + "/data"});
    ASSERT_GE(signalled, 0.0) << "the test ended before it was signalled";
    EXPECT_EQ(r.status, 143) << r.err;
    EXPECT_TRUE(EveryFixIsReleased(Heard()));
    // The fixed current let go, then CH1 active again; nothing after it.
    const auto after = HeardAfter(Heard(), signalled);
    ASSERT_GE(after.size(), 2u);
    EXPECT_LE(after.size(), 3u) << "at most the exchange under way before them";
    const LongRequest release = ParseLong(after[after.size() - 2].bytes);
    EXPECT_EQ(release.command, 40);
    EXPECT_EQ(release.data, (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(ParseLong(after.back().bytes).command, 34);
}

TEST_F(ConsoleToolTest, SigintDuringAScanPutsTheChannelBackAndLetsThePortGo) {
    SKIP_UNDER_WINE();
    StartScanFixture({}, Behaviour::kAnswer);
    double signalled = -1.0;
    const ProcessResult r = Tool({"--port", "3", "scan"}, 60000, [&](pid_t pid, const auto&) {
        // Three channels made active: the fixture is far from where it was.
        if (signalled < 0 && CountHeard(Heard(), 34) >= 3) {
            signalled = NowMs();
            ::kill(pid, SIGINT);
        }
    });
    ASSERT_GE(signalled, 0.0) << "the scan ended before it was signalled";
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_NE(r.err.find("tarvok-hart: SIGINT: stopping"), std::string::npos) << r.err;
    // At most the exchange under way, then CH2 made active again; nothing
    // after it.
    const auto after = HeardAfter(Heard(), signalled);
    ASSERT_FALSE(after.empty());
    EXPECT_LE(after.size(), 2u);
    const LongRequest restore = ParseLong(after.back().bytes);
    EXPECT_EQ(restore.command, 34);
    EXPECT_EQ(restore.data, kCh2);

    // The port is free at once: the next program opens it and finds CH2.
    identifications_.store(0);
    const ProcessResult next = Tool({"--port", "3", "read-channel"});
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(next.out, "02\n");
}

TEST_F(ConsoleToolTest, SigtermDuringPollEndsItWith143AndThePortFree) {
    SKIP_UNDER_WINE();
    StartFixture({});
    double signalled = -1.0;
    const ProcessResult r =
        Tool({"--port", "3", "poll", "--count", "100"}, 120000, [&](pid_t pid, const auto&) {
            // The identification and two polls answered.
            if (signalled < 0 && Sent().size() >= 3) {
                signalled = NowMs();
                ::kill(pid, SIGTERM);
            }
        });
    const double ended = NowMs();
    ASSERT_GE(signalled, 0.0);
    EXPECT_EQ(r.status, 143) << r.err;
    // Only the notice: a poll the signal cut short is no failure.
    EXPECT_EQ(r.err, "tarvok-hart: SIGTERM: stopping (again to quit at once)\n");
    // The second poll's reply may still have been on its way: cut short.
    const auto readings = std::count(r.out.begin(), r.out.end(), '\n');
    EXPECT_GE(readings, 1) << r.out;
    EXPECT_LT(readings, 10) << r.out;
    EXPECT_LE(HeardAfter(Heard(), signalled).size(), 1u) << "no poll after the signal";
    // 100 polls take more than a minute; the signal ends them in far less
    // than one.
    EXPECT_LT(ended - signalled, 5000.0);

    const ProcessResult next = Tool({"--port", "3", "read-channel"});
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(next.out, "01\n");
}

TEST_F(ConsoleToolTest, ASecondSignalEndsTheToolAtOnceWithNothingPutBack) {
    SKIP_UNDER_WINE();
    StartScanFixture({}, Behaviour::kAnswer);
    double first = -1.0, second = -1.0;
    const ProcessResult r =
        Tool({"--port", "3", "scan"}, 60000, [&](pid_t pid, const ProcessResult& sofar) {
            if (first < 0 && CountHeard(Heard(), 34) >= 2) {
                // The exchange under way then takes its three attempts: the
                // second signal comes long before the tool could put back.
                fixture_->SetScript({}, Behaviour::kSilent);
                first = NowMs();
                ::kill(pid, SIGINT);
            } else if (first >= 0 && second < 0 &&
                       sofar.err.find("stopping") != std::string::npos) {
                second = NowMs();
                ::kill(pid, SIGINT);
            }
        });
    const double ended = NowMs();
    ASSERT_GE(second, 0.0) << r.err;
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_LT(ended - second, 2000.0);
    for (const auto& h : HeardAfter(Heard(), first)) {
        const LongRequest q = ParseLong(h.bytes);
        EXPECT_FALSE(q.command == 34 && q.data == kCh2) << "put back after the second signal";
    }

    // Even so the port is let go.
    fixture_->SetScript({}, Behaviour::kAnswer);
    identifications_.store(0);
    const ProcessResult next = Tool({"--port", "3", "read-channel"});
    EXPECT_EQ(next.status, 0) << next.err;
}

}  // namespace
}  // namespace e2e
