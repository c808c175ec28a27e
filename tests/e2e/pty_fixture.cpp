#include "pty_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>

#include "pseudo_terminal.h"
#include "sim/slave_devices.h"

namespace e2e {
namespace {

// 1200 baud, 11 bits a character.
constexpr double kCharMs = 1000.0 * 11.0 / 1200.0;
// Bytes that never make a request within this time are logged as heard
// and dropped.
constexpr double kFrameGiveUpMs = 100.0;
constexpr uint8_t kCommErrorStatus = 0x88;  // longitudinal parity error
// Never 0xFF, so they cannot pass for preambles; one is a delimiter.
const std::vector<uint8_t> kNoise = {0x3C, 0x00, 0x06, 0xA5};

struct Pending {
    double dueMs = 0.0;
    Behaviour behaviour = Behaviour::kAnswer;
    std::vector<uint8_t> bytes;
};

}  // namespace

std::string_view BehaviourName(Behaviour behaviour) {
    switch (behaviour) {
        case Behaviour::kAnswer:
            return "answer";
        case Behaviour::kSilent:
            return "silent";
        case Behaviour::kLate:
            return "late";
        case Behaviour::kBadChecksum:
            return "bad-checksum";
        case Behaviour::kNoise:
            return "noise";
        case Behaviour::kTruncated:
            return "truncated";
        case Behaviour::kCommError:
            return "comm-error";
        case Behaviour::kEmpty:
            return "empty";
        case Behaviour::kNan:
            return "nan";
        case Behaviour::kInf:
            return "inf";
        case Behaviour::kHuge:
            return "huge";
    }
    return "?";
}

std::optional<Behaviour> ParseBehaviour(std::string_view name) {
    for (Behaviour b :
         {Behaviour::kAnswer, Behaviour::kSilent, Behaviour::kLate, Behaviour::kBadChecksum,
          Behaviour::kNoise, Behaviour::kTruncated, Behaviour::kCommError, Behaviour::kEmpty,
          Behaviour::kNan, Behaviour::kInf, Behaviour::kHuge})
        if (BehaviourName(b) == name) return b;
    return std::nullopt;
}

std::optional<std::vector<Behaviour>> ParseScript(std::string_view script) {
    std::vector<Behaviour> out;
    while (!script.empty()) {
        const size_t comma = script.find(',');
        std::string_view item = script.substr(0, comma);
        script = comma == std::string_view::npos ? std::string_view() : script.substr(comma + 1);
        int repeat = 1;
        if (const size_t star = item.find('*'); star != std::string_view::npos) {
            const auto [end, ec] = std::from_chars(item.data(), item.data() + star, repeat);
            if (ec != std::errc() || end != item.data() + star || repeat < 1 || repeat > 1000)
                return std::nullopt;
            item = item.substr(star + 1);
        }
        const auto b = ParseBehaviour(item);
        if (!b) return std::nullopt;
        out.insert(out.end(), static_cast<size_t>(repeat), *b);
    }
    return out;
}

double NowMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

std::string FormatRecord(const FrameRecord& record, double originMs) {
    char head[64];
    if (record.kind == FrameRecord::kHeard) {
        std::snprintf(head, sizeof(head), "%.1f heard gap=%.1f", record.ms - originMs,
                      record.gapMs);
    } else {
        std::snprintf(head, sizeof(head), "%.1f sent %s", record.ms - originMs,
                      std::string(BehaviourName(record.behaviour)).c_str());
    }
    std::string line = head;
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (uint8_t b : record.bytes) {
        line += ' ';
        line += kHex[b >> 4];
        line += kHex[b & 0x0F];
    }
    return line;
}

struct PtyFixture::Impl {
    explicit Impl(PtyFixtureOptions o)
        : options(std::move(o)), fixture(options.fixture), otherwise(options.otherwise) {
        for (const auto& t : options.fixture.transmitters) transmitters.emplace_back(t);
        script.assign(options.script.begin(), options.script.end());
    }

    void Run() {
        std::vector<uint8_t> heard;
        double heardFirst = 0.0, heardLast = 0.0;
        for (;;) {
            int timeout = -1;
            {
                std::lock_guard lock(mutex);
                if (stopping) return;
                if (pending) timeout = std::max(0, static_cast<int>(pending->dueMs - NowMs()) + 1);
            }
            if (!heard.empty()) {
                const int giveUp = static_cast<int>(heardLast + kFrameGiveUpMs - NowMs()) + 1;
                timeout =
                    timeout < 0 ? std::max(0, giveUp) : std::min(timeout, std::max(0, giveUp));
            }
            // After a hang-up the master is -1, which poll() skips.
            pollfd fds[2] = {{terminal.Master(), POLLIN, 0}, {wakeRead, POLLIN, 0}};
            const int ready = ::poll(fds, 2, timeout);
            if (ready < 0 && errno != EINTR) return;
            if (fds[1].revents != 0) {
                uint8_t drop[16];
                while (::read(wakeRead, drop, sizeof(drop)) > 0) {
                }
            }
            std::lock_guard lock(mutex);
            if (stopping) return;
            if (hangupRequested) {
                terminal.Hangup();
                hangupRequested = false;
                pending.reset();
                heard.clear();
            }
            if (terminal.Master() >= 0 && (fds[0].revents & POLLIN)) {
                uint8_t buffer[512];
                const ssize_t n = ::read(terminal.Master(), buffer, sizeof(buffer));
                if (n > 0) {
                    const double now = NowMs();
                    if (heard.empty()) heardFirst = now;
                    heardLast = now;
                    heard.insert(heard.end(), buffer, buffer + n);
                    if (auto request = sim::ParseMasterFrame(heard.data(), heard.size())) {
                        Heard(heardFirst, heard, true);
                        Answer(*request, heardFirst, heard.size());
                        heard.clear();
                    }
                }
            }
            if (!heard.empty() && NowMs() - heardLast >= kFrameGiveUpMs) {
                Heard(heardFirst, heard, false);
                heard.clear();
            }
            if (pending && NowMs() >= pending->dueMs) {
                Send(*pending);
                pending.reset();
            }
        }
    }

    // mutex held.
    void Heard(double first, const std::vector<uint8_t>& bytes, bool request) {
        FrameRecord r;
        r.kind = FrameRecord::kHeard;
        r.ms = first;
        r.gapMs = busyUntil < 0.0 ? -1.0 : first - busyUntil;
        r.request = request;
        r.bytes = bytes;
        busyUntil = first + static_cast<double>(bytes.size()) * kCharMs;
        // A new request ends the wait for an answer to the last one.
        pending.reset();
        Record(std::move(r));
    }

    // mutex held.
    void Answer(const sim::MasterRequest& request, double first, size_t length) {
        sim::TransmitterModel* transmitter = nullptr;
        if (options.routeToTransmitter && options.routeToTransmitter(request)) {
            for (auto& t : transmitters)
                if (t.Channel() == fixture.ActiveChannel()) transmitter = &t;
            // A loop without HART stays silent. The address is not checked:
            // without DTR on a pseudo-terminal, frames routed here by their
            // command may carry the fixture's address.
            if (transmitter == nullptr || !transmitter->AnswersHart()) return;
        } else if (!fixture.Addressed(request)) {
            return;
        }
        Behaviour behaviour = otherwise;
        if (!script.empty()) {
            behaviour = script.front();
            script.pop_front();
        }
        if (behaviour == Behaviour::kSilent) return;

        // The request has been heard once its last character is in.
        const double heard = first + static_cast<double>(length) * kCharMs;
        sim::DeviceReply reply;
        if (behaviour == Behaviour::kCommError) {
            reply = sim::DeviceReply{kCommErrorStatus, 0, {}};
        } else if (transmitter != nullptr) {
            reply = transmitter->Handle(request, heard);
        } else {
            float loopMa = 0.0f;
            for (auto& t : transmitters)
                if (t.Channel() == fixture.ActiveChannel()) loopMa = t.LoopCurrent(heard);
            reply = fixture.Handle(request, loopMa);
        }
        if (behaviour == Behaviour::kEmpty) reply.data.clear();
        if (behaviour == Behaviour::kNan)
            sim::ReplaceReportedCurrent(request.command, reply,
                                        std::numeric_limits<float>::quiet_NaN());
        if (behaviour == Behaviour::kInf)
            sim::ReplaceReportedCurrent(request.command, reply,
                                        std::numeric_limits<float>::infinity());
        if (behaviour == Behaviour::kHuge)
            sim::ReplaceReportedCurrent(request.command, reply, 1e30f);
        Pending p;
        p.behaviour = behaviour;
        p.bytes = sim::BuildSlaveReply(request, reply.code, reply.status, reply.data,
                                       options.fixture.replyPreambles);
        if (behaviour == Behaviour::kBadChecksum) p.bytes.back() ^= 0xFF;
        if (behaviour == Behaviour::kNoise)
            p.bytes.insert(p.bytes.begin(), kNoise.begin(), kNoise.end());
        if (behaviour == Behaviour::kTruncated) p.bytes.resize(p.bytes.size() / 2);
        // The request would still be on a 1200 baud line until its last
        // character had left.
        const double end = first + static_cast<double>(length) * kCharMs;
        p.dueMs = end + (behaviour == Behaviour::kLate ? options.lateMs : options.turnaroundMs);
        pending = std::move(p);
    }

    // mutex held.
    void Send(const Pending& p) {
        FrameRecord r;
        r.kind = FrameRecord::kSent;
        r.ms = NowMs();
        r.behaviour = p.behaviour;
        r.bytes = p.bytes;
        if (!terminal.Send(p.bytes)) return;
        busyUntil = NowMs();
        Record(std::move(r));
    }

    // mutex held.
    void Record(FrameRecord r) {
        records.push_back(r);
        if (options.onRecord) options.onRecord(records.back());
    }

    void Wake() {
        const uint8_t token = 1;
        while (::write(wakeWrite, &token, 1) < 0 && errno == EINTR) {
        }
    }

    const PtyFixtureOptions options;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::thread thread;

    mutable std::mutex mutex;  // guards everything below
    PseudoTerminal terminal;
    sim::FixtureModel fixture;
    std::vector<sim::TransmitterModel> transmitters;
    std::deque<Behaviour> script;
    Behaviour otherwise;
    std::optional<Pending> pending;
    double busyUntil = -1.0;
    std::vector<FrameRecord> records;
    bool stopping = false;
    bool hangupRequested = false;
};

PtyFixture::PtyFixture(PtyFixtureOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

PtyFixture::~PtyFixture() { Stop(); }

bool PtyFixture::Start(const std::string& linkPath, std::string* error) {
    if (impl_->thread.joinable()) return true;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (error != nullptr) *error = "pipe failed";
        return false;
    }
    impl_->wakeRead = fds[0];
    impl_->wakeWrite = fds[1];
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->terminal.Create(linkPath, error)) return false;
        impl_->stopping = false;
    }
    impl_->thread = std::thread([this] { impl_->Run(); });
    return true;
}

void PtyFixture::Stop() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    if (impl_->thread.joinable()) {
        impl_->Wake();
        impl_->thread.join();
    }
    std::lock_guard lock(impl_->mutex);
    impl_->terminal.Destroy();
    if (impl_->wakeRead >= 0) ::close(impl_->wakeRead);
    if (impl_->wakeWrite >= 0) ::close(impl_->wakeWrite);
    impl_->wakeRead = impl_->wakeWrite = -1;
}

void PtyFixture::Hangup() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->hangupRequested = true;
    }
    impl_->Wake();
}

std::string PtyFixture::SlavePath() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->terminal.SlavePath();
}

std::vector<FrameRecord> PtyFixture::Records() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->records;
}

void PtyFixture::SetScript(std::vector<Behaviour> script, Behaviour otherwise) {
    std::lock_guard lock(impl_->mutex);
    impl_->script.assign(script.begin(), script.end());
    impl_->otherwise = otherwise;
}

}  // namespace e2e
