// The simulated wire. Nothing runs on its own: every call first brings the
// line up to the present clock tick (frames that have finished leaving the
// wire are heard and answered, reply bytes whose stop bit has passed are
// queued), so the outcome depends only on the scheduled times, never on
// which thread happened to look, and no thread of the simulator's own has to
// be kept in step with the clock.
#include "sim/simulated_fixture.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <random>

#include "platform/clock.h"
#include "sim/slave_devices.h"
#include "sim/slave_frame.h"

namespace sim {
namespace {

// 1200 baud, 11 bits a character: start, 8 data, odd parity, stop.
constexpr double kCharMs = 1000.0 * 11.0 / 1200.0;
constexpr size_t kInputLimit = 4096;  // the driver's receive buffer; more is dropped
constexpr size_t kLogLimit = 20000;   // the demo polls for hours: keep the newest
constexpr int kFaultKinds = static_cast<int>(Fault::kHugeValue) + 1;
constexpr uint8_t kCommErrorStatus = 0x88;
constexpr uint8_t kGarbled = 'F';  // a character received with a parity error

using FaultSet = uint32_t;
constexpr FaultSet Bit(Fault f) { return FaultSet{1} << static_cast<unsigned>(f); }
constexpr FaultSet kValueFaults =
    Bit(Fault::kNotANumber) | Bit(Fault::kInfinity) | Bit(Fault::kHugeValue);

// The current each value fault puts into a reply.
float FaultyCurrent(FaultSet faults) {
    if (faults & Bit(Fault::kNotANumber)) return std::numeric_limits<float>::quiet_NaN();
    if (faults & Bit(Fault::kInfinity)) return std::numeric_limits<float>::infinity();
    return 1e30f;
}

uint32_t TickOf(double time) {
    return static_cast<uint32_t>(static_cast<uint64_t>(std::llround(time)));
}

// A port end's own state. Guarded by Wire::mutex like everything else.
struct PortState {
    uint64_t id = 0;
    bool open = false;
    uint64_t generation = 0;  // the wire's generation when opened
    bool cancel = false;
    int waiters = 0;
    bool configured = false;
    bool rtsReleased = false;
};

// Times are clock milliseconds on a 64-bit extension of platform::Tick(), as
// doubles so that character times keep their fraction.
class Wire {
public:
    explicit Wire(const FixtureConfig& config) : config_(config), fixture_(config) {
        for (const auto& t : config.transmitters)
            if (t.channel >= 0 && t.channel < 32) transmitters_.emplace_back(t);
        lastTick_ = platform::Tick();
        now_ = lastTick_;
        history_.push_back({static_cast<double>(now_), false, false});
    }

    std::mutex mutex;
    std::condition_variable cv;

    // --- port operations, called with mutex held ---

    bool Open(PortState& port) {
        const double now = Advance();
        if (destroyed_ || unplugged_) return false;
        if (openPort_ != 0 && openPort_ != port.id) return false;
        PurgeOutput(now);
        input_.clear();
        arrivals_.clear();
        port.open = true;
        port.generation = generation_;
        port.cancel = false;
        port.configured = false;
        port.rtsReleased = false;
        openPort_ = port.id;
        return true;
    }

    void Close(PortState& port) {
        const double now = Advance();
        if (!port.open) return;
        if (Live(port)) {
            PurgeOutput(now);
            input_.clear();
            arrivals_.clear();
            SetLine(now, true, false);
            SetLine(now, false, false);
            openPort_ = 0;
        }
        port.open = false;
        if (port.waiters > 0) port.cancel = true;
        cv.notify_all();
    }

    bool Live(const PortState& port) const {
        return port.open && port.generation == generation_ && openPort_ == port.id;
    }
    bool Vanished(const PortState& port) const {
        return port.open && port.generation != generation_;
    }

    bool ConfigureLine(PortState& port) {
        const double now = Advance();
        if (!Live(port)) return false;
        port.configured = true;
        port.rtsReleased = false;
        SetLine(now, true, true);  // DTR enabled
        return true;
    }

    bool ReleaseRts(PortState& port) {
        Advance();
        if (!Live(port)) return false;
        port.rtsReleased = true;
        return true;
    }

    void SetModemLine(PortState& port, bool isDtr, bool on) {
        const double now = Advance();
        if (Live(port)) SetLine(now, isDtr, on);
    }

    bool CarrierDetect(const PortState& port) {
        const double now = Advance();
        if (!Live(port)) return false;
        return std::any_of(carrier_.begin(), carrier_.end(),
                           [now](const Interval& i) { return i.from <= now && now < i.to; });
    }

    size_t QueuedInput(const PortState& port) {
        Advance();
        return Live(port) ? input_.size() : 0;
    }

    long Read(const PortState& port, uint8_t* buffer, size_t max) {
        Advance();
        if (!Live(port)) return -1;
        const size_t n = std::min(max, input_.size());
        std::copy_n(input_.begin(), n, buffer);
        input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
        return static_cast<long>(n);
    }

    long Write(const PortState& port, const uint8_t* data, size_t length) {
        const double now = Advance();
        if (!Live(port)) return -1;
        if (length == 0) return 0;
        // Taken by the driver at once; on the wire after what is still going out.
        const double start = frames_.empty() ? now : std::max(now, frames_.back().End());
        Frame frame;
        frame.start = start;
        frame.bytes.assign(data, data + length);
        frame.rtsDriven = port.configured && !port.rtsReleased;
        LineEvent e{};
        e.kind = LineEvent::kMasterFrame;
        e.tick = TickOf(start);
        e.endTick = TickOf(frame.End());
        e.dtr = dtr_;
        e.rtsThroughout = frame.rtsDriven || rts_;  // settled once the frame is out
        e.bytes = frame.bytes;
        frame.logId = AddLog(start, std::move(e));
        Collide(frame);
        if (config_.echo) {
            for (size_t k = 0; k < length; ++k)
                Schedule(start + double(k + 1) * kCharMs, data[k], frame.logId);
        }
        frames_.push_back(std::move(frame));
        cv.notify_all();
        return static_cast<long>(length);
    }

    void Purge(const PortState& port, bool input, bool output) {
        const double now = Advance();
        if (!Live(port)) return;
        if (input) input_.clear();
        if (output) PurgeOutput(now);
    }

    serial::WaitResult WaitForInput(PortState& port, std::unique_lock<std::mutex>& lock) {
        ++port.waiters;
        serial::WaitResult result;
        for (;;) {
            const double now = Advance();
            if (port.cancel) {
                port.cancel = false;
                result = serial::WaitResult::kCancelled;
                break;
            }
            if (!Live(port)) {
                result = serial::WaitResult::kVanished;
                break;
            }
            if (!input_.empty()) {
                result = serial::WaitResult::kInput;
                break;
            }
            if (auto next = NextEvent()) {
                // Sleep until the next byte is due, at least a clock tick.
                const double ms = std::clamp(std::ceil(*next - now), 1.0, 60000.0);
                cv.wait_for(lock, platform::RealDuration(static_cast<uint32_t>(ms)));
            } else {
                cv.wait(lock);  // Write, Close, CancelWait or a vanish wakes us
            }
        }
        --port.waiters;
        return result;
    }

    void CancelWait(PortState& port) {
        port.cancel = true;
        cv.notify_all();
    }

    // --- fixture operations, called with mutex held ---

    uint64_t NewPortId() { return nextPortId_++; }

    void Vanish(bool destroyed) {
        const double now = Advance();
        PurgeOutput(now);
        input_.clear();
        arrivals_.clear();
        carrier_.clear();
        // The adapter is gone: its lines with it, but the wire saw no change.
        dtr_ = rts_ = false;
        history_.push_back({now, false, false});
        unplugged_ = true;
        destroyed_ = destroyed_ || destroyed;
        ++generation_;
        openPort_ = 0;
        cv.notify_all();
    }

    void Restore() { unplugged_ = false; }

    void InjectFault(Fault fault, int count, Target target) {
        if (count > 0 && Valid(fault)) injected_.push_back({fault, count, target});
    }

    void SetFaultRate(Fault fault, double rate, uint32_t seed) {
        if (!Valid(fault)) return;
        auto& r = rates_[static_cast<size_t>(fault)];
        r.rate = std::isnan(rate) ? 0.0 : std::clamp(rate, 0.0, 1.0);
        r.rng.seed(seed);
        if (fault == Fault::kNoise) noiseRng_.seed(seed);
    }

    void ClearFaults() {
        injected_.clear();
        for (auto& r : rates_) r.rate = 0.0;
    }

    int ActiveChannel() {
        Advance();
        return fixture_.ActiveChannel();
    }

    uint32_t DeviceNumber() {
        Advance();
        return fixture_.DeviceNumber();
    }

    float TransmitterCurrent(int channel) {
        const double now = Advance();
        const auto* t = TransmitterOn(channel);
        return t ? t->LoopCurrent(now) : 0.0f;
    }

    void SetTransmitterCurrent(int channel, float ma) {
        Advance();
        if (auto* t = TransmitterOn(channel)) t->SetCurrent(ma);
    }

    std::vector<LineEvent> LineLog() {
        Advance();
        std::vector<const LogItem*> items;
        items.reserve(log_.size());
        for (const auto& item : log_) items.push_back(&item);
        // Replies are logged when heard, ahead of their time on the wire.
        std::stable_sort(items.begin(), items.end(),
                         [](const LogItem* a, const LogItem* b) { return a->time < b->time; });
        std::vector<LineEvent> out;
        out.reserve(items.size());
        for (const auto* item : items) out.push_back(item->event);
        return out;
    }

    void ClearLineLog() {
        Advance();
        log_.clear();
    }

    std::vector<uint64_t> FaultCounts() const {
        return std::vector<uint64_t>(faultCounts_.begin(), faultCounts_.end());
    }

private:
    struct LineState {
        double time;
        bool dtr;
        bool rts;
    };
    struct Frame {
        uint64_t logId = 0;
        double start = 0.0;
        std::vector<uint8_t> bytes;
        bool rtsDriven = false;  // the driver toggles RTS (before ReleaseRts)
        bool truncated = false;  // purged while going out: nobody hears it
        bool collided = false;   // a slave talked at the same time: nobody hears it
        double End() const { return start + double(bytes.size()) * kCharMs; }
    };
    struct Arrival {
        double time;
        uint8_t byte;
        uint64_t source;  // log id of the master frame echoed, 0 for replies
    };
    struct Interval {
        double from;
        double to;
    };
    struct LogItem {
        uint64_t id;
        double time;
        LineEvent event;
    };
    struct Injected {
        Fault fault;
        int remaining;
        Target target;
    };
    struct Rate {
        double rate = 0.0;
        std::mt19937 rng;
    };

    static bool Valid(Fault f) {
        const int i = static_cast<int>(f);
        return i >= 0 && i < kFaultKinds;
    }

    double Now() {
        const uint32_t tick = platform::Tick();
        now_ += static_cast<uint32_t>(tick - lastTick_);
        lastTick_ = tick;
        return static_cast<double>(now_);
    }

    double Advance() {
        const double now = Now();
        while (!frames_.empty() && frames_.front().End() <= now) {
            Frame frame = std::move(frames_.front());
            frames_.pop_front();
            Hear(frame);
        }
        while (!arrivals_.empty() && arrivals_.front().time <= now) {
            if (input_.size() < kInputLimit) input_.push_back(arrivals_.front().byte);
            arrivals_.pop_front();
        }
        std::erase_if(carrier_, [now](const Interval& i) { return i.to <= now; });
        std::erase_if(replies_, [now](const Interval& i) { return i.to <= now; });
        // Keep the line states back to the oldest frame still to be heard.
        const double oldest = frames_.empty() ? now : frames_.front().start;
        while (history_.size() > 1 && history_[1].time <= oldest) history_.pop_front();
        return now;
    }

    std::optional<double> NextEvent() const {
        std::optional<double> next;
        if (!frames_.empty()) next = frames_.front().End();
        if (!arrivals_.empty() && (!next || arrivals_.front().time < *next))
            next = arrivals_.front().time;
        return next;
    }

    void SetLine(double now, bool isDtr, bool on) {
        bool& level = isDtr ? dtr_ : rts_;
        if (level == on) return;
        level = on;
        history_.push_back({now, dtr_, rts_});
        LineEvent e{};
        e.kind = isDtr ? LineEvent::kDtr : LineEvent::kRts;
        e.tick = e.endTick = TickOf(now);
        e.level = on;
        e.dtr = dtr_;
        AddLog(now, std::move(e));
    }

    LineState LevelAt(double time) const {
        for (auto it = history_.rbegin(); it != history_.rend(); ++it)
            if (it->time <= time) return *it;
        return history_.front();
    }

    uint64_t AddLog(double time, LineEvent event) {
        const uint64_t id = nextLogId_++;
        log_.push_back({id, time, std::move(event)});
        if (log_.size() > kLogLimit) log_.pop_front();
        return id;
    }

    LogItem* FindLog(uint64_t id) {
        for (auto it = log_.rbegin(); it != log_.rend(); ++it)
            if (it->id == id) return &*it;
        return nullptr;
    }

    void Schedule(double time, uint8_t byte, uint64_t source) {
        Arrival a{time, byte, source};
        if (arrivals_.empty() || arrivals_.back().time <= time) {
            arrivals_.push_back(a);
        } else {
            auto at = std::upper_bound(arrivals_.begin(), arrivals_.end(), time,
                                       [](double t, const Arrival& x) { return t < x.time; });
            arrivals_.insert(at, a);
        }
    }

    // Drops what the driver has not sent yet. A frame caught half-way stays
    // on the log as far as it got, and no slave can make sense of it.
    void PurgeOutput(double now) {
        std::deque<Frame> kept;
        for (auto& f : frames_) {
            const size_t sent =
                f.start >= now ? 0 : static_cast<size_t>(std::floor((now - f.start) / kCharMs));
            std::erase_if(arrivals_, [&](const Arrival& a) {
                return a.source == f.logId && a.time > f.start + double(sent) * kCharMs;
            });
            if (sent == 0) {
                std::erase_if(log_, [&](const LogItem& i) { return i.id == f.logId; });
                continue;
            }
            f.bytes.resize(sent);
            f.truncated = true;
            if (auto* item = FindLog(f.logId)) {
                item->event.bytes = f.bytes;
                item->event.endTick = TickOf(f.End());
            }
            kept.push_back(std::move(f));
        }
        frames_ = std::move(kept);
    }

    TransmitterModel* TransmitterOn(int channel) {
        for (auto& t : transmitters_)
            if (t.Channel() == channel) return &t;
        return nullptr;
    }

    // carriesCurrent: the reply holds a current that value faults can replace.
    FaultSet DrawFaults(Target target, bool carriesCurrent) {
        const FaultSet possible = carriesCurrent ? ~FaultSet{0} : ~kValueFaults;
        FaultSet set = 0;
        for (auto& i : injected_) {
            if (i.remaining <= 0 || (i.target != Target::kAny && i.target != target)) continue;
            if (!(possible & Bit(i.fault))) continue;
            if (set & Bit(i.fault)) continue;  // one of a kind per reply
            set |= Bit(i.fault);
            --i.remaining;
        }
        std::erase_if(injected_, [](const Injected& i) { return i.remaining <= 0; });
        for (int f = 0; f < kFaultKinds; ++f) {
            auto& r = rates_[static_cast<size_t>(f)];
            if (r.rate <= 0.0 || !(possible & Bit(static_cast<Fault>(f)))) continue;
            const double u = static_cast<double>(r.rng()) / 4294967296.0;
            if (u < r.rate) set |= Bit(static_cast<Fault>(f));
        }
        for (int f = 0; f < kFaultKinds; ++f)
            if (set & Bit(static_cast<Fault>(f))) ++faultCounts_[static_cast<size_t>(f)];
        return set;
    }

    std::vector<uint8_t> Noise() {
        std::vector<uint8_t> noise(3 + noiseRng_() % 4);
        for (auto& b : noise) b = static_cast<uint8_t>(noiseRng_() % 0xFF);  // never 0xFF
        return noise;
    }

    // Half duplex: a master frame and a slave's reply on the wire at the same
    // time garble each other. The slave hears nothing it can parse, and every
    // reply character sent while the master's frame was going out reaches the
    // master as a parity error, which the driver turns into 'F'.
    void Collide(Frame& frame) {
        const double from = frame.start;
        const double to = frame.End();
        bool hit = false;
        for (const Interval& r : replies_)
            if (r.from < to && from < r.to) hit = true;
        if (!hit) return;
        frame.collided = true;
        for (Arrival& a : arrivals_) {
            const double charStart = a.time - kCharMs;
            if (a.source == 0 && charStart < to && from < a.time) a.byte = kGarbled;
        }
        if (auto* item = FindLog(frame.logId)) item->event.collided = true;
    }

    // A master frame has left the wire: whoever it reached answers.
    void Hear(const Frame& frame) {
        const double end = frame.End();
        const LineState atStart = LevelAt(frame.start);
        bool dtrSteady = true;
        bool rtsHeld = atStart.rts;
        for (const auto& h : history_) {
            if (h.time <= frame.start || h.time >= end) continue;
            if (h.dtr != atStart.dtr) dtrSteady = false;
            if (!h.rts) rtsHeld = false;
        }
        const bool rtsThroughout = frame.rtsDriven || rtsHeld;
        if (auto* item = FindLog(frame.logId)) {
            item->event.dtr = atStart.dtr;
            item->event.rtsThroughout = rtsThroughout;
        }
        // Switching the route mid-frame garbles it for both sides, and so
        // does a slave talking over it.
        if (frame.truncated || frame.collided || !dtrSteady) return;
        const auto request = ParseMasterFrame(frame.bytes.data(), frame.bytes.size());
        if (!request) return;

        // DTR low: the fixture's own port. High: the modem on the active
        // channel, which transmits only while RTS keys it.
        TransmitterModel* transmitter = nullptr;
        Target target = Target::kFixture;
        if (!atStart.dtr) {
            if (!fixture_.Addressed(*request)) return;
        } else {
            transmitter = TransmitterOn(fixture_.ActiveChannel());
            if (!transmitter || !rtsThroughout || !transmitter->Addressed(*request)) return;
            target = Target::kTransmitter;
        }

        // A device that did not hear, or heard badly, does not act.
        const bool carriesCurrent =
            !transmitter && (request->command == 2 || request->command == 33);
        const FaultSet faults = DrawFaults(target, carriesCurrent);
        if (faults & Bit(Fault::kNoReply)) return;
        DeviceReply reply;
        if (faults & Bit(Fault::kCommError)) {
            reply = DeviceReply{kCommErrorStatus, 0, {}};
        } else if (faults & Bit(Fault::kRejectedCode)) {
            reply = DeviceReply{config_.rejectedCode, 0, {}};
        } else if (transmitter) {
            reply = transmitter->Handle(*request, end);
        } else {
            const auto* loop = TransmitterOn(fixture_.ActiveChannel());
            reply = fixture_.Handle(*request, loop ? loop->LoopCurrent(end) : 0.0f);
        }
        if (faults & kValueFaults)
            ReplaceReportedCurrent(request->command, reply, FaultyCurrent(faults));
        if (faults & Bit(Fault::kEmptyReply)) reply.data.clear();

        auto bytes = BuildSlaveReply(*request, reply.code, reply.status, reply.data,
                                     std::clamp(config_.replyPreambles, 0, 64));
        if (faults & Bit(Fault::kBadChecksum)) bytes.back() ^= 0xFF;
        if (faults & Bit(Fault::kNoise)) {
            auto noise = Noise();
            bytes.insert(bytes.begin(), noise.begin(), noise.end());
        }

        const double delay =
            (faults & Bit(Fault::kLateReply)) ? config_.lateReplyMs : config_.turnaroundMs;
        const double start = end + delay;
        for (size_t k = 0; k < bytes.size(); ++k)
            Schedule(start + double(k + 1) * kCharMs, bytes[k], 0);
        const double replyEnd = start + double(bytes.size()) * kCharMs;
        replies_.push_back({start, replyEnd});
        for (auto& queued : frames_) Collide(queued);
        const double hold = (faults & Bit(Fault::kCarrierHeld)) ? config_.carrierHoldMs : 0.0;
        if (transmitter) {
            carrier_.push_back({start, replyEnd + hold});
        } else if (hold > 0.0) {
            carrier_.push_back({replyEnd, replyEnd + hold});
        }

        LineEvent e{};
        e.kind = LineEvent::kReply;
        e.tick = TickOf(start);
        e.endTick = TickOf(replyEnd);
        e.dtr = atStart.dtr;
        e.bytes = std::move(bytes);
        AddLog(start, std::move(e));
    }

    const FixtureConfig config_;
    FixtureModel fixture_;
    std::vector<TransmitterModel> transmitters_;

    uint64_t now_ = 0;
    uint32_t lastTick_ = 0;

    uint64_t nextPortId_ = 1;
    uint64_t openPort_ = 0;    // the one port allowed on the wire, 0 none
    uint64_t generation_ = 0;  // bumped when the ports vanish
    bool unplugged_ = false;
    bool destroyed_ = false;

    bool dtr_ = false;
    bool rts_ = false;
    std::deque<LineState> history_;
    std::deque<Frame> frames_;      // written, not yet heard
    std::deque<Arrival> arrivals_;  // sorted by time
    std::deque<uint8_t> input_;     // arrived, not yet read
    std::vector<Interval> carrier_;
    std::vector<Interval> replies_;  // slaves' transmissions not yet over

    std::deque<LogItem> log_;
    uint64_t nextLogId_ = 1;

    std::vector<Injected> injected_;
    std::array<uint64_t, kFaultKinds> faultCounts_{};
    std::array<Rate, kFaultKinds> rates_{};
    std::mt19937 noiseRng_{1};
};

class SimulatedPort final : public serial::ComPort {
public:
    explicit SimulatedPort(std::shared_ptr<Wire> wire) : wire_(std::move(wire)) {
        std::lock_guard lock(wire_->mutex);
        state_.id = wire_->NewPortId();
    }
    ~SimulatedPort() override { Close(); }

    bool Open(const std::string&) override {
        std::lock_guard lock(wire_->mutex);
        return wire_->Open(state_);
    }
    void Close() override {
        std::lock_guard lock(wire_->mutex);
        wire_->Close(state_);
    }
    bool IsOpen() const override {
        std::lock_guard lock(wire_->mutex);
        return state_.open;
    }
    bool ConfigureLine() override {
        std::lock_guard lock(wire_->mutex);
        return wire_->ConfigureLine(state_);
    }
    bool ReleaseRts() override {
        std::lock_guard lock(wire_->mutex);
        return wire_->ReleaseRts(state_);
    }
    void SetDtr(bool on) override {
        std::lock_guard lock(wire_->mutex);
        wire_->SetModemLine(state_, true, on);
    }
    void SetRts(bool on) override {
        std::lock_guard lock(wire_->mutex);
        wire_->SetModemLine(state_, false, on);
    }
    bool CarrierDetect() override {
        std::lock_guard lock(wire_->mutex);
        return wire_->CarrierDetect(state_);
    }
    size_t QueuedInput() override {
        std::lock_guard lock(wire_->mutex);
        return wire_->QueuedInput(state_);
    }
    long Read(uint8_t* buffer, size_t max) override {
        std::lock_guard lock(wire_->mutex);
        return wire_->Read(state_, buffer, max);
    }
    long Write(const uint8_t* data, size_t length) override {
        std::lock_guard lock(wire_->mutex);
        return wire_->Write(state_, data, length);
    }
    void Purge(bool input, bool output) override {
        std::lock_guard lock(wire_->mutex);
        wire_->Purge(state_, input, output);
    }
    serial::WaitResult WaitForInput() override {
        std::unique_lock lock(wire_->mutex);
        return wire_->WaitForInput(state_, lock);
    }
    void CancelWait() override {
        std::lock_guard lock(wire_->mutex);
        wire_->CancelWait(state_);
    }
    bool HasVanished() const override {
        std::lock_guard lock(wire_->mutex);
        return wire_->Vanished(state_);
    }

private:
    std::shared_ptr<Wire> wire_;  // outlives the fixture while a port holds it
    PortState state_;             // guarded by wire_->mutex
};

}  // namespace

struct SimulatedFixture::Impl {
    std::shared_ptr<Wire> wire;
};

SimulatedFixture::SimulatedFixture(FixtureConfig config)
    : impl_(std::make_unique<Impl>(Impl{std::make_shared<Wire>(config)})) {}

SimulatedFixture::~SimulatedFixture() {
    std::lock_guard lock(impl_->wire->mutex);
    impl_->wire->Vanish(true);
}

std::unique_ptr<serial::ComPort> SimulatedFixture::CreatePort() {
    return std::make_unique<SimulatedPort>(impl_->wire);
}

void SimulatedFixture::InjectFault(Fault fault, int count, Target target) {
    std::lock_guard lock(impl_->wire->mutex);
    impl_->wire->InjectFault(fault, count, target);
}

void SimulatedFixture::SetFaultRate(Fault fault, double rate, uint32_t seed) {
    std::lock_guard lock(impl_->wire->mutex);
    impl_->wire->SetFaultRate(fault, rate, seed);
}

void SimulatedFixture::ClearFaults() {
    std::lock_guard lock(impl_->wire->mutex);
    impl_->wire->ClearFaults();
}

void SimulatedFixture::VanishPorts() {
    std::lock_guard lock(impl_->wire->mutex);
    impl_->wire->Vanish(false);
}

void SimulatedFixture::RestorePorts() {
    std::lock_guard lock(impl_->wire->mutex);
    impl_->wire->Restore();
}

int SimulatedFixture::ActiveChannel() const {
    std::lock_guard lock(impl_->wire->mutex);
    return impl_->wire->ActiveChannel();
}

uint32_t SimulatedFixture::DeviceNumber() const {
    std::lock_guard lock(impl_->wire->mutex);
    return impl_->wire->DeviceNumber();
}

float SimulatedFixture::TransmitterCurrent(int channel) const {
    std::lock_guard lock(impl_->wire->mutex);
    return impl_->wire->TransmitterCurrent(channel);
}

void SimulatedFixture::SetTransmitterCurrent(int channel, float ma) {
    std::lock_guard lock(impl_->wire->mutex);
    impl_->wire->SetTransmitterCurrent(channel, ma);
}

std::vector<LineEvent> SimulatedFixture::LineLog() const {
    std::lock_guard lock(impl_->wire->mutex);
    return impl_->wire->LineLog();
}

std::vector<uint64_t> SimulatedFixture::FaultCounts() const {
    std::lock_guard lock(impl_->wire->mutex);
    return impl_->wire->FaultCounts();
}

void SimulatedFixture::ClearLineLog() {
    std::lock_guard lock(impl_->wire->mutex);
    impl_->wire->ClearLineLog();
}

}  // namespace sim
