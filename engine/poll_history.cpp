#include "engine/poll_history.h"

#include <algorithm>
#include <cmath>

namespace engine {

TrendStats ComputeStats(const std::vector<PollSample>& samples) {
    TrendStats s;
    double sum = 0.0;
    for (const PollSample& p : samples) {
        if (!p.ok) continue;
        const float v = p.milliamps;
        if (s.count == 0) s.min = s.max = v;
        s.min = std::min(s.min, v);
        s.max = std::max(s.max, v);
        sum += v;
        ++s.count;
    }
    if (s.count == 0) return s;
    const double mean = sum / static_cast<double>(s.count);
    double squares = 0.0;
    for (const PollSample& p : samples)
        if (p.ok) squares += (p.milliamps - mean) * (p.milliamps - mean);
    s.mean = static_cast<float>(mean);
    s.stddev = static_cast<float>(std::sqrt(squares / static_cast<double>(s.count)));
    return s;
}

void PollHistory::Add(const PollSample& sample) {
    std::lock_guard lock(m_mutex);
    m_samples.push_back(sample);
    const auto oldest = sample.time - m_keep;
    while (!m_samples.empty() && m_samples.front().time < oldest) m_samples.pop_front();
    ++m_version;
}

std::vector<PollSample> PollHistory::Since(std::chrono::system_clock::time_point from) const {
    std::lock_guard lock(m_mutex);
    const auto first = std::lower_bound(
        m_samples.begin(), m_samples.end(), from,
        [](const PollSample& s, std::chrono::system_clock::time_point t) { return s.time < t; });
    return {first, m_samples.end()};
}

uint64_t PollHistory::Version() const {
    std::lock_guard lock(m_mutex);
    return m_version;
}

void PollHistory::Clear() {
    std::lock_guard lock(m_mutex);
    m_samples.clear();
    ++m_version;
}

}  // namespace engine
