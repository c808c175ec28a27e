// The polls of the last half hour, for the trend: kept by the worker as it
// polls, read by the window whenever it repaints.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "engine/main_window_view.h"

namespace engine {

struct TrendStats {
    size_t count = 0;  // good readings in the span; the rest are 0 without any
    float min = 0.0f;
    float max = 0.0f;
    float mean = 0.0f;
    float stddev = 0.0f;  // of the population
};

// Over the good readings only: a failed poll is no current.
TrendStats ComputeStats(const std::vector<PollSample>& samples);

class PollHistory {
public:
    explicit PollHistory(std::chrono::seconds keep = std::chrono::minutes(30)) : m_keep(keep) {}

    // From the worker; drops what is older than the span kept.
    void Add(const PollSample& sample);
    // The samples from `from` on, oldest first.
    std::vector<PollSample> Since(std::chrono::system_clock::time_point from) const;
    // Changes with every sample added: the window repaints only then.
    uint64_t Version() const;
    void Clear();

private:
    const std::chrono::seconds m_keep;
    mutable std::mutex m_mutex;
    std::deque<PollSample> m_samples;
    uint64_t m_version = 0;
};

}  // namespace engine
