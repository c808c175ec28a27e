// The polls of the last half hour, for the trend: kept by the worker as it
// polls, read by the window whenever it repaints. Spans are measured on the
// monotonic clock of each sample; the wall clock only labels them.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "engine/main_window_view.h"

namespace engine {

struct TrendStats {
    int channel = -1;  // whose readings they are (ActiveChannelStats); -1 for none
    size_t count = 0;  // good readings counted; the rest are 0 without any
    float min = 0.0f;
    float max = 0.0f;
    float mean = 0.0f;
    float stddev = 0.0f;  // of the population
};

// Whether a sample's reading is a current: a failed poll is none, and
// neither is a NaN or an infinite value, however the link let it through.
bool IsGoodReading(const PollSample& sample);

// Over the good readings only.
TrendStats ComputeStats(const std::vector<PollSample>& samples);

// Over the good readings of the channel active in the newest sample, since
// it last became active: a span that holds another channel's readings
// compares like with like all the same. `samples` oldest first.
TrendStats ActiveChannelStats(const std::vector<PollSample>& samples);

class PollHistory {
public:
    using SteadyTime = std::chrono::steady_clock::time_point;

    explicit PollHistory(std::chrono::seconds keep = std::chrono::minutes(30)) : m_keep(keep) {}

    // From the worker; drops what is older than the span kept.
    void Add(const PollSample& sample);
    // The samples polled at `from` or later on the monotonic clock, oldest
    // first.
    std::vector<PollSample> Since(SteadyTime from) const;
    // Changes with every sample added: the window repaints only then.
    uint64_t Version() const;
    void Clear();

private:
    const std::chrono::seconds m_keep;
    mutable std::mutex m_mutex;
    std::deque<PollSample> m_samples;  // ordered by their monotonic time
    uint64_t m_version = 0;
};

}  // namespace engine
