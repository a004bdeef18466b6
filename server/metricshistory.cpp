// CMetricsHistory: the ten-minute ring of counter samples (see metricshistory.h).
#include "server/metricshistory.h"

void CMetricsHistory::Take(const CServerMetrics& metrics, double nowSeconds) {
    Sample s;
    s.m_seconds = nowSeconds;
    for (size_t i = 0; i < CServerMetrics::kServices; ++i) {
        const auto& service = metrics.GetService(static_cast<CMetricService>(i));
        s.m_counts[i] = service.m_count.load(std::memory_order_relaxed);
        s.m_microseconds[i] = service.m_microseconds.load(std::memory_order_relaxed);
    }
    CMutexLock lock(m_lock);
    if (!m_samples.empty() && nowSeconds - m_samples.back().m_seconds < 1.0)
        return;
    m_samples.push_back(s);
    if (m_samples.size() > kMaxSamples)
        m_samples.pop_front();
}

std::deque<CMetricsHistory::Sample> CMetricsHistory::Samples() const {
    CMutexLock lock(m_lock);
    return m_samples;
}
