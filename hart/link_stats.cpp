#include "hart/link_stats.h"

#include <cstdio>

#include "platform/clock.h"

namespace hart {
namespace {

constexpr uint8_t kPollCommand = 2;

std::string ByReason(const std::array<uint64_t, kReasonCount>& counts) {
    std::string text;
    for (int r = 1; r < kReasonCount; ++r) {
        if (counts[static_cast<size_t>(r)] == 0) continue;
        if (!text.empty()) text += ", ";
        text += ReasonText(static_cast<Reason>(r));
        text += ' ';
        text += std::to_string(counts[static_cast<size_t>(r)]);
    }
    return text;
}

}  // namespace

uint64_t LinkStatsSnapshot::Failures() const {
    uint64_t n = 0;
    for (uint64_t f : failures) n += f;
    return n;
}

LinkStats::LinkStats() : lastTick_(platform::Tick()) {}

void LinkStats::Advance() {
    // Accumulated in 64 bits from 32-bit tick differences, so that a long
    // run outlives the tick's wrap.
    const uint32_t now = platform::Tick();
    counts_.elapsedMs += now - lastTick_;
    lastTick_ = now;
}

void LinkStats::Record(const ExchangeRecord& e) {
    std::lock_guard lock(mutex_);
    Advance();
    ++counts_.requests;
    if (e.outcome == Reason::kNone) {
        ++counts_.successes;
        if (e.command == kPollCommand) ++counts_.polls;
    } else {
        ++counts_.failures[static_cast<size_t>(e.outcome)];
    }
    if (e.attempts > 0) {
        counts_.attempts += static_cast<uint64_t>(e.attempts);
        counts_.retries += static_cast<uint64_t>(e.attempts - 1);
    }
    for (int i = 0; i < e.failedAttemptCount && i < static_cast<int>(e.failedAttempts.size()); ++i)
        ++counts_.failedAttempts[static_cast<size_t>(e.failedAttempts[static_cast<size_t>(i)])];
    if (e.replyMs >= 0) {
        const auto ms = static_cast<uint32_t>(e.replyMs);
        ++counts_.replies;
        replyMsSum_ += ms;
        if (ms > counts_.maxReplyMs) counts_.maxReplyMs = ms;
    }
}

LinkStatsSnapshot LinkStats::Snapshot() {
    std::lock_guard lock(mutex_);
    Advance();
    LinkStatsSnapshot s = counts_;
    if (s.replies > 0)
        s.meanReplyMs = static_cast<double>(replyMsSum_) / static_cast<double>(s.replies);
    if (s.elapsedMs > 0)
        s.pollsPerMinute =
            static_cast<double>(s.polls) * 60000.0 / static_cast<double>(s.elapsedMs);
    return s;
}

void LinkStats::Reset() {
    std::lock_guard lock(mutex_);
    counts_ = LinkStatsSnapshot{};
    replyMsSum_ = 0;
    lastTick_ = platform::Tick();
}

LinkStats& LinkStatistics() {
    // Never destroyed: a worker may still count while the process ends.
    static LinkStats* const stats = new LinkStats;
    return *stats;
}

std::string FormatLinkStats(const LinkStatsSnapshot& s) {
    char text[160];
    std::string line = std::to_string(s.requests) + " requests, " + std::to_string(s.successes) +
                       " ok, " + std::to_string(s.Failures()) + " failed";
    if (s.Failures() > 0) line += " (" + ByReason(s.failures) + ")";
    line += "; " + std::to_string(s.retries) + " retries";
    const std::string attempts = ByReason(s.failedAttempts);
    if (!attempts.empty()) line += ", failed attempts: " + attempts;
    if (s.replies > 0) {
        std::snprintf(text, sizeof(text), "; reply time mean %.0f ms, max %u ms", s.meanReplyMs,
                      s.maxReplyMs);
        line += text;
    } else {
        line += "; no reply timed";
    }
    std::snprintf(text, sizeof(text), "; %.1f polls/min", s.pollsPerMinute);
    line += text;
    return line;
}

}  // namespace hart
