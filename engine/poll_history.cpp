#include "engine/poll_history.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace engine {
namespace {

template <class It>
TrendStats StatsOf(It first, It last) {
    TrendStats s;
    double sum = 0.0;
    for (It it = first; it != last; ++it) {
        if (!IsGoodReading(*it)) continue;
        const float v = it->milliamps;
        if (s.count == 0) s.min = s.max = v;
        s.min = std::min(s.min, v);
        s.max = std::max(s.max, v);
        sum += v;
        ++s.count;
    }
    if (s.count == 0) return s;
    const double mean = sum / static_cast<double>(s.count);
    double squares = 0.0;
    for (It it = first; it != last; ++it)
        if (IsGoodReading(*it)) squares += (it->milliamps - mean) * (it->milliamps - mean);
    s.mean = static_cast<float>(mean);
    s.stddev = static_cast<float>(std::sqrt(squares / static_cast<double>(s.count)));
    return s;
}

bool Earlier(const PollSample& a, const PollSample& b) { return a.steady < b.steady; }

}  // namespace

bool IsGoodReading(const PollSample& sample) {
    return sample.ok && std::isfinite(sample.milliamps);
}

TrendStats ComputeStats(const std::vector<PollSample>& samples) {
    return StatsOf(samples.begin(), samples.end());
}

TrendStats ActiveChannelStats(const std::vector<PollSample>& samples) {
    if (samples.empty()) return {};
    const int channel = samples.back().channel;
    auto first = samples.end();
    while (first != samples.begin() && std::prev(first)->channel == channel) --first;
    TrendStats s = StatsOf(first, samples.end());
    s.channel = channel;
    return s;
}

void PollHistory::Add(const PollSample& sample) {
    std::lock_guard lock(m_mutex);
    // One worker polls, so samples come in order; one that does not still
    // goes where its time puts it, or the spans would be cut wrongly.
    if (m_samples.empty() || !Earlier(sample, m_samples.back()))
        m_samples.push_back(sample);
    else
        m_samples.insert(std::upper_bound(m_samples.begin(), m_samples.end(), sample, Earlier),
                         sample);
    const SteadyTime oldest = m_samples.back().steady - m_keep;
    while (!m_samples.empty() && m_samples.front().steady < oldest) m_samples.pop_front();
    ++m_version;
}

std::vector<PollSample> PollHistory::Since(SteadyTime from) const {
    std::lock_guard lock(m_mutex);
    const auto first =
        std::lower_bound(m_samples.begin(), m_samples.end(), from,
                         [](const PollSample& s, SteadyTime t) { return s.steady < t; });
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
