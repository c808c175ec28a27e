#include "meter/meter.h"

#include <charconv>
#include <cstdio>

#include "meter/nr3.h"
#include "platform/clock.h"
#include "platform/trace.h"

namespace meter {
namespace {

constexpr size_t kQuotedMax = 40;

// An answer fit for one line: control bytes as \xNN, long ones cut.
std::string Quoted(std::string_view text) {
    std::string q = "\"";
    for (size_t i = 0; i < text.size() && i < kQuotedMax; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "\\x%02X", c);
            q += hex;
        } else {
            q += static_cast<char>(c);
        }
    }
    if (text.size() > kQuotedMax) q += "...";
    return q + "\"";
}

std::string Seconds(uint32_t ms) {
    char text[32];
    if (ms % 1000 == 0)
        std::snprintf(text, sizeof(text), "%u s", ms / 1000);
    else
        std::snprintf(text, sizeof(text), "%u ms", ms);
    return text;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// SYST:ERR? answers "<code>,"<text>""; code 0 is "no error".
bool ReportsAnError(std::string_view answer) {
    answer = Trim(answer);
    if (!answer.empty() && answer.front() == '+') answer.remove_prefix(1);
    long code = 0;
    const auto [end, ec] = std::from_chars(answer.data(), answer.data() + answer.size(), code);
    if (ec != std::errc() || code != 0) return !answer.empty();
    return !(end == answer.data() + answer.size() || *end == ',');
}

void TraceLine(std::string_view direction, std::string_view text) {
    if (!platform::TraceEnabled()) return;
    std::string line = "meter ";
    line += direction;
    line += ' ';
    line += text;
    platform::Trace(line);
}

MeterFailure Failure(MeterError error, std::string command, std::string detail = {}) {
    MeterFailure f;
    f.error = error;
    f.command = std::move(command);
    f.detail = std::move(detail);
    return f;
}

}  // namespace

std::string MeterFailure::Describe() const {
    std::string why;
    switch (error) {
        case MeterError::kNone:
            return "ok";
        case MeterError::kOpen:
            why = "cannot connect (" + detail + ")";
            break;
        case MeterError::kTimeout:
            why = "timeout (no answer to " + command + " within " + Seconds(timeoutMs) + ")";
            break;
        case MeterError::kBadAnswer:
            why = Trim(detail).empty()
                      ? "empty answer to " + command
                      : "no number in the answer to " + command + " (" + Quoted(detail) + ")";
            break;
        case MeterError::kOverload:
            why = "overload (the meter answered " + Quoted(detail) + ")";
            break;
        case MeterError::kGone:
            why = "meter gone (" + detail + ")";
            break;
        case MeterError::kCancelled:
            return "cancelled";
    }
    if (ReportsAnError(meterError)) why += "; the meter reports " + std::string(Trim(meterError));
    return why;
}

Identity ParseIdentity(std::string_view answer) {
    Identity id;
    id.raw = std::string(answer);
    std::string* fields[] = {&id.maker, &id.model, &id.serial, &id.firmware};
    size_t at = 0;
    for (int i = 0; i < 4 && at <= answer.size(); ++i) {
        const size_t comma = i < 3 ? answer.find(',', at) : std::string_view::npos;
        const size_t end = comma == std::string_view::npos ? answer.size() : comma;
        *fields[i] = std::string(Trim(answer.substr(at, end - at)));
        if (comma == std::string_view::npos) break;
        at = comma + 1;
    }
    return id;
}

Meter::Meter(std::unique_ptr<Transport> transport, MeterOptions options)
    : transport_(std::move(transport)), options_(std::move(options)) {}

Meter::~Meter() { Disconnect(); }

void Meter::Disconnect() {
    if (transport_) transport_->Close();
    connected_ = false;
    configured_ = false;
}

Result<Identity> Meter::Connect() {
    Disconnect();
    identity_ = {};
    if (cancelled_) return Failure(MeterError::kCancelled, {});
    const IoResult opened = transport_->Open(options_.timeoutMs);
    if (opened.status == IoStatus::kCancelled) return Failure(MeterError::kCancelled, {});
    if (opened.status != IoStatus::kOk) {
        const std::string why = opened.status == IoStatus::kTimeout
                                    ? "no connection within " + Seconds(options_.timeoutMs)
                                    : opened.text;
        TraceLine("--", "cannot connect: " + why);
        return Failure(MeterError::kOpen, {}, why);
    }
    connected_ = true;
    const auto answer = Query("*IDN?");
    if (answer && Trim(*answer).empty()) {
        MeterFailure f = Failure(MeterError::kBadAnswer, "*IDN?");
        AskMeterError(f);
        Disconnect();
        return f;
    }
    if (!answer) {
        Disconnect();
        return answer.Error();
    }
    identity_ = ParseIdentity(Trim(*answer));
    return identity_;
}

Result<double> Meter::ReadMilliamps() {
    if (connected_ && !configured_) {
        // An error left from before would otherwise answer the first
        // SYST:ERR? asked for this session.
        if (const auto r = Command("*CLS"); !r) return r.Error();
        if (const auto r = Command(options_.configure); !r) return r.Error();
        configured_ = true;
    }
    const std::string command = "READ?";
    const auto answer = Query(command);
    if (!answer) return answer.Error();
    const Number n = ParseNumber(*answer);
    if (n.kind == Number::kValue) return n.value * 1000.0;
    MeterFailure f =
        Failure(n.kind == Number::kOverload ? MeterError::kOverload : MeterError::kBadAnswer,
                command, *answer);
    AskMeterError(f);
    return f;
}

Result<std::string> Meter::Query(const std::string& command) {
    std::string answer;
    MeterFailure f = Exchange(command, true, &answer);
    if (f.error == MeterError::kNone) return answer;
    if (f.error == MeterError::kTimeout) AskMeterError(f);
    return f;
}

Result<bool> Meter::Command(const std::string& command) {
    MeterFailure f = Exchange(command, false, nullptr);
    if (f.error == MeterError::kNone) return true;
    if (f.error == MeterError::kTimeout) AskMeterError(f);
    return f;
}

MeterFailure Meter::Exchange(const std::string& command, bool answered, std::string* answer) {
    if (!connected_) return Failure(MeterError::kGone, command, "not connected");
    if (cancelled_) return Failure(MeterError::kCancelled, command);
    transport_->DiscardInput();
    TraceLine(">", command);
    IoResult r = transport_->Send(command, options_.timeoutMs);
    if (r.status == IoStatus::kOk && answered) r = transport_->Receive(options_.timeoutMs);
    switch (r.status) {
        case IoStatus::kOk:
            if (answered) {
                TraceLine("<", r.text);
                *answer = std::move(r.text);
            }
            return {};
        case IoStatus::kTimeout: {
            MeterFailure f = Failure(MeterError::kTimeout, command);
            f.timeoutMs = options_.timeoutMs;
            TraceLine("--", command + " " + f.Describe());
            return f;
        }
        case IoStatus::kCancelled:
            TraceLine("--", command + " cancelled");
            return Failure(MeterError::kCancelled, command);
        case IoStatus::kGone:
            break;
    }
    TraceLine("--", command + " meter gone: " + r.text);
    Disconnect();
    return Failure(MeterError::kGone, command, r.text);
}

void Meter::AskMeterError(MeterFailure& failure) {
    std::string answer;
    if (Exchange("SYST:ERR?", true, &answer).error == MeterError::kNone)
        failure.meterError = std::string(Trim(answer));
}

void Meter::Cancel() {
    {
        std::lock_guard lock(pauseMutex_);
        cancelled_ = true;
    }
    pauseCv_.notify_all();
    transport_->Cancel();
}

void Meter::ResetCancel() {
    cancelled_ = false;
    transport_->ResetCancel();
}

bool Meter::Pause(uint32_t ms) {
    std::unique_lock lock(pauseMutex_);
    return !pauseCv_.wait_for(lock, platform::RealDuration(ms),
                              [this] { return cancelled_.load(); });
}

}  // namespace meter
