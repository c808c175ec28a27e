#include "hart/link_stats.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/clock.h"

namespace hart {
namespace {

ExchangeRecord Exchange(uint8_t command, Reason outcome, int attempts,
                        std::initializer_list<Reason> failed, int32_t replyMs) {
    ExchangeRecord e;
    e.command = command;
    e.outcome = outcome;
    e.attempts = attempts;
    for (Reason r : failed) e.failedAttempts[static_cast<size_t>(e.failedAttemptCount++)] = r;
    e.replyMs = replyMs;
    return e;
}

TEST(LinkStats, CountsMeansAndPollsPerMinuteSinceTheReset) {
    platform::SetTick(1000);
    LinkStats stats;
    stats.Record(Exchange(2, Reason::kNone, 1, {}, 230));
    stats.Record(Exchange(2, Reason::kNone, 3, {Reason::kNoReply, Reason::kBadChecksum}, 250));
    stats.Record(Exchange(15, Reason::kNone, 1, {}, 300));
    stats.Record(Exchange(2, Reason::kNoReply, 3,
                          {Reason::kNoReply, Reason::kNoReply, Reason::kNoReply}, -1));
    stats.Record(Exchange(34, Reason::kRejected, 1, {}, 240));
    stats.Record(Exchange(40, Reason::kNoChannel, 0, {}, -1));
    platform::SetTick(1000 + 30000);

    const LinkStatsSnapshot s = stats.Snapshot();
    EXPECT_EQ(s.requests, 6u);
    EXPECT_EQ(s.successes, 3u);
    EXPECT_EQ(s.Failures(), 3u);
    EXPECT_EQ(s.failures[static_cast<size_t>(Reason::kNoReply)], 1u);
    EXPECT_EQ(s.failures[static_cast<size_t>(Reason::kRejected)], 1u);
    EXPECT_EQ(s.failures[static_cast<size_t>(Reason::kNoChannel)], 1u);
    EXPECT_EQ(s.attempts, 9u);
    EXPECT_EQ(s.retries, 4u);
    EXPECT_EQ(s.failedAttempts[static_cast<size_t>(Reason::kNoReply)], 4u);
    EXPECT_EQ(s.failedAttempts[static_cast<size_t>(Reason::kBadChecksum)], 1u);
    EXPECT_EQ(s.replies, 4u);
    EXPECT_DOUBLE_EQ(s.meanReplyMs, (230.0 + 250.0 + 300.0 + 240.0) / 4.0);
    EXPECT_EQ(s.maxReplyMs, 300u);
    EXPECT_EQ(s.polls, 2u) << "command 2 exchanges that succeeded";
    EXPECT_GE(s.elapsedMs, 30000u);
    EXPECT_LT(s.elapsedMs, 30500u);
    EXPECT_NEAR(s.pollsPerMinute, 4.0, 0.1);

    EXPECT_EQ(FormatLinkStats(s),
              "6 requests, 3 ok, 3 failed (no reply 1, rejected 1, no active channel 1); "
              "4 retries, failed attempts: no reply 4, bad checksum 1; "
              "reply time mean 255 ms, max 300 ms; 4.0 polls/min");

    stats.Reset();
    const LinkStatsSnapshot z = stats.Snapshot();
    EXPECT_EQ(z.requests, 0u);
    EXPECT_EQ(z.maxReplyMs, 0u);
    EXPECT_LT(z.elapsedMs, 500u) << "counted from the reset";
    EXPECT_EQ(FormatLinkStats(z),
              "0 requests, 0 ok, 0 failed; 0 retries; no reply timed; 0.0 polls/min");
}

TEST(LinkStats, TheElapsedTimeOutlivesTheTickWrap) {
    platform::SetTick(0xFFFFFFFFu - 10000u);
    LinkStats stats;
    stats.Record(Exchange(2, Reason::kNone, 1, {}, 230));
    platform::SetTick(20000u);  // 30001 ms later, across the wrap
    const auto s = stats.Snapshot();
    EXPECT_GE(s.elapsedMs, 30001u);
    EXPECT_LT(s.elapsedMs, 30500u);
}

TEST(LinkStats, SnapshotsWhileAnotherThreadCounts) {
    LinkStats stats;
    std::atomic<bool> stop{false};
    std::thread counter([&] {
        for (int i = 0; i < 20000; ++i) stats.Record(Exchange(2, Reason::kNone, 1, {}, 200));
        stop = true;
    });
    uint64_t last = 0;
    while (!stop.load()) {
        const auto s = stats.Snapshot();
        // Each snapshot is one moment: every request it counts succeeded.
        EXPECT_EQ(s.requests, s.successes);
        EXPECT_EQ(s.requests, s.polls);
        EXPECT_GE(s.requests, last);
        last = s.requests;
    }
    counter.join();
    EXPECT_EQ(stats.Snapshot().requests, 20000u);
}

}  // namespace
}  // namespace hart
