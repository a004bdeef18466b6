#pragma once
// CMetricsHistory: the request counters of the last ten minutes, one sample a second at most, so
// that the console's charts open with what happened before the page was shown.
// Ownership: CTunnelArray owns one (m_metricsHistory); its manager thread takes the samples.
// Thread safety: any thread; the samples are guarded by m_lock.

#include <array>
#include <cstdint>
#include <deque>

#include "platform/mutex.h"
#include "server/metrics.h"

class CMetricsHistory {
public:
    // Ten minutes of samples a second apart.
    static constexpr size_t kMaxSamples = 600;

    struct Sample {
        double m_seconds = 0;  // steady clock, seconds
        std::array<uint64_t, CServerMetrics::kServices> m_counts{};
        std::array<uint64_t, CServerMetrics::kServices> m_microseconds{};
    };

    // Records the counters at `nowSeconds` unless the last sample is less than a second old.
    // Any thread.
    void Take(const CServerMetrics& metrics, double nowSeconds);
    // The samples, oldest first. Any thread.
    std::deque<Sample> Samples() const;

private:
    mutable CMutex m_lock;
    std::deque<Sample> m_samples GUARDED_BY(m_lock);
};
