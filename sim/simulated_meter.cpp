#include "sim/simulated_meter.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <random>

#include "platform/clock.h"

namespace sim {
namespace {

constexpr size_t kHeardKept = 10000;

}  // namespace

struct SimulatedMeter::State {
    explicit State(SimulatedMeterConfig c) : config(std::move(c)), rng(config.seed) {}

    // The answer to one command, if it has one. Locks itself.
    std::optional<std::string> Answer(const std::string& command, uint32_t atTick);

    const SimulatedMeterConfig config;
    mutable std::mutex mutex;
    std::mt19937 rng;
    std::normal_distribution<double> noise{0.0, 1.0};
    bool answering = true;
    bool started = false;
    double shownMa = 0.0;  // the settling value, noise aside
    uint32_t shownTick = 0;
    std::deque<std::string> errors;
    std::vector<std::string> heard;
};

namespace {

std::string Normalised(std::string_view command) {
    while (!command.empty() && std::isspace(static_cast<unsigned char>(command.front())))
        command.remove_prefix(1);
    while (!command.empty() && std::isspace(static_cast<unsigned char>(command.back())))
        command.remove_suffix(1);
    std::string s(command);
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool StartsWith(const std::string& s, std::string_view prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool Is(const std::string& s, std::initializer_list<std::string_view> names) {
    return std::find(names.begin(), names.end(), s) != names.end();
}

// What a cable to the simulated meter does: the answer to a query is
// worked out when it is sent and is there measureMs later.
class SimulatedTransport final : public meter::Transport {
public:
    explicit SimulatedTransport(std::shared_ptr<SimulatedMeter::State> state)
        : state_(std::move(state)) {}

    meter::IoResult Open(uint32_t) override {
        std::lock_guard lock(mutex_);
        open_ = true;
        answer_.reset();
        return {};
    }
    void Close() override {
        std::lock_guard lock(mutex_);
        open_ = false;
        answer_.reset();
    }

    meter::IoResult Send(std::string_view command, uint32_t) override {
        {
            std::lock_guard lock(mutex_);
            if (!open_) return {meter::IoStatus::kGone, "not open"};
            if (cancelled_) return {meter::IoStatus::kCancelled, "cancelled"};
        }
        const uint32_t ready = platform::Tick() + state_->config.measureMs;
        auto answer = state_->Answer(std::string(command), ready);
        std::lock_guard lock(mutex_);
        if (answer) {
            answer_ = std::move(answer);
            readyTick_ = ready;
        }
        return {};
    }

    meter::IoResult Receive(uint32_t timeoutMs) override {
        const uint32_t start = platform::Tick();
        std::unique_lock lock(mutex_);
        for (;;) {
            if (!open_) return {meter::IoStatus::kGone, "not open"};
            if (cancelled_) return {meter::IoStatus::kCancelled, "cancelled"};
            const uint32_t now = platform::Tick();
            if (answer_ && static_cast<int32_t>(now - readyTick_) >= 0) {
                meter::IoResult r{meter::IoStatus::kOk, std::move(*answer_)};
                answer_.reset();
                return r;
            }
            const uint32_t elapsed = now - start;
            if (elapsed >= timeoutMs) return {meter::IoStatus::kTimeout, "no answer"};
            uint32_t wait = timeoutMs - elapsed;
            if (answer_) wait = std::min(wait, readyTick_ - now);
            cv_.wait_for(lock, platform::RealDuration(std::max<uint32_t>(wait, 1)));
        }
    }

    void DiscardInput() override {
        std::lock_guard lock(mutex_);
        // An answer not yet measured is still coming; one that is there is
        // late for whoever asked.
        if (answer_ && static_cast<int32_t>(platform::Tick() - readyTick_) >= 0) answer_.reset();
    }

    void Cancel() override {
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
        }
        cv_.notify_all();
    }
    void ResetCancel() override {
        std::lock_guard lock(mutex_);
        cancelled_ = false;
    }

private:
    std::shared_ptr<SimulatedMeter::State> state_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
    bool cancelled_ = false;
    std::optional<std::string> answer_;
    uint32_t readyTick_ = 0;
};

}  // namespace

std::optional<std::string> SimulatedMeter::State::Answer(const std::string& raw, uint32_t atTick) {
    const std::string command = Normalised(raw);
    const bool reading = Is(command, {"READ?", "MEAS:CURR:DC?", "MEASURE:CURRENT:DC?"});
    // Outside the lock: the callback may take the simulated fixture's.
    const double trueMa = reading && config.trueCurrentMa ? config.trueCurrentMa() : 0.0;

    std::lock_guard lock(mutex);
    // A demo reads for hours: keep the recent past only.
    if (heard.size() >= kHeardKept) heard.erase(heard.begin(), heard.begin() + kHeardKept / 2);
    heard.push_back(raw);
    if (!answering) return std::nullopt;
    if (command == "*IDN?") return config.identity;
    if (command == "*CLS") {
        errors.clear();
        return std::nullopt;
    }
    if (command == "*RST" || StartsWith(command, "CONF:CURR:DC") ||
        StartsWith(command, "CONFIGURE:CURRENT:DC"))
        return std::nullopt;
    if (Is(command, {"SYST:ERR?", "SYSTEM:ERROR?", "SYST:ERR:NEXT?"})) {
        if (errors.empty()) return "+0,\"No error\"";
        std::string e = errors.front();
        errors.pop_front();
        return e;
    }
    if (reading) {
        if (!started) {
            started = true;
            shownMa = trueMa;
        } else {
            const double dt =
                static_cast<double>(std::max<int32_t>(static_cast<int32_t>(atTick - shownTick), 0));
            const double tau = std::max<double>(config.lagMs, 1.0);
            shownMa = trueMa + (shownMa - trueMa) * std::exp(-dt / tau);
        }
        shownTick = atTick;
        return FormatNr3((shownMa + config.noiseMa * noise(rng)) / 1000.0);
    }
    errors.push_back("-113,\"Undefined header\"");
    return std::nullopt;
}

SimulatedMeter::SimulatedMeter(SimulatedMeterConfig config)
    : state_(std::make_shared<State>(std::move(config))) {}

SimulatedMeter::~SimulatedMeter() = default;

std::unique_ptr<meter::Transport> SimulatedMeter::CreateTransport() {
    return std::make_unique<SimulatedTransport>(state_);
}

void SimulatedMeter::SetAnswering(bool answering) {
    std::lock_guard lock(state_->mutex);
    state_->answering = answering;
}

std::vector<std::string> SimulatedMeter::Heard() const {
    std::lock_guard lock(state_->mutex);
    return state_->heard;
}

std::string FormatNr3(double amperes) {
    char digits[40];
    const auto r =
        std::to_chars(digits, digits + sizeof(digits), amperes, std::chars_format::scientific, 8);
    std::string s(digits, r.ptr);
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (s.front() != '-') s.insert(s.begin(), '+');
    return s;
}

}  // namespace sim
