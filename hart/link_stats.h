// Statistics of the link, counted per exchange (one command with up to three
// attempts) where the exchange happens. Thread-safe: the transaction thread
// counts while another thread takes snapshots or resets.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "hart/failure.h"

namespace hart {

// What one exchange did, as the transaction layer reports it.
struct ExchangeRecord {
    uint8_t command = 0;
    Reason outcome = Reason::kNone;
    int attempts = 0;  // transmissions made
    // Why each failed attempt failed, in order (no reply, incomplete reply,
    // bad checksum, communication error).
    std::array<Reason, 3> failedAttempts{};
    int failedAttemptCount = 0;
    // From the end of the request that drew the good reply to the reply's
    // check byte; negative without one.
    int32_t replyMs = -1;
};

struct LinkStatsSnapshot {
    uint64_t requests = 0;   // exchanges begun
    uint64_t successes = 0;  // exchanges that ended with an accepted reply
    // Exchanges that failed, by the reason they ended with (index: Reason).
    std::array<uint64_t, kReasonCount> failures{};
    uint64_t attempts = 0;
    uint64_t retries = 0;  // attempts after an exchange's first
    // Attempts that failed, by reason; each but an exchange's last is retried.
    std::array<uint64_t, kReasonCount> failedAttempts{};
    uint64_t replies = 0;  // good replies timed
    double meanReplyMs = 0.0;
    uint32_t maxReplyMs = 0;
    uint64_t polls = 0;  // command 2 exchanges that succeeded
    // Clock milliseconds since the counters were (re)set, and the polls per
    // minute over that time.
    uint64_t elapsedMs = 0;
    double pollsPerMinute = 0.0;

    uint64_t Failures() const;
};

class LinkStats {
public:
    LinkStats();

    void Record(const ExchangeRecord& exchange);
    LinkStatsSnapshot Snapshot();
    // Zero counters; the polls per minute count from now.
    void Reset();

private:
    void Advance();  // the mutex held

    std::mutex mutex_;
    LinkStatsSnapshot counts_;
    uint64_t replyMsSum_ = 0;
    uint32_t lastTick_ = 0;
};

// The program's link's statistics.
LinkStats& LinkStatistics();

// One line: "6 requests, 4 ok, 2 failed (no reply 2); 3 retries, failed
// attempts: no reply 4, bad checksum 1; reply time mean 236 ms, max 241 ms;
// 68.2 polls/min".
std::string FormatLinkStats(const LinkStatsSnapshot& s);

}  // namespace hart
