#pragma once
// CServerMetrics: counters the operator console exposes (/metrics, live charts): requests and
// their durations per service, hits found, connections refused. Lock-free counters; the
// histogram buckets are fixed.
// Ownership: CTunnelArray owns one (m_metrics); sessions and the listener add to it.
// Threads: any thread.

#include <array>
#include <atomic>
#include <cstdint>

enum class CMetricService { kInit = 0, kSearch, kPresent, kEs, kClose, kScan, kSort, kDelete, kCount };
enum class CMetricRefusal { kIpFilter = 0, kForbidden, kServiceOff, kAddressLimit, kCount };

class CServerMetrics {
public:
    // Upper bounds (seconds) of the duration buckets; a last, unbounded bucket follows.
    static constexpr std::array<double, 10> kBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01,
                                                        0.025,  0.05,  0.1,    0.5,   2.5};
    static constexpr size_t kServices = static_cast<size_t>(CMetricService::kCount);

    // One answered request of `service` that took `seconds`.
    void CountRequest(CMetricService service, double seconds) {
        Service& s = m_services[static_cast<size_t>(service)];
        s.m_count.fetch_add(1, std::memory_order_relaxed);
        s.m_microseconds.fetch_add(static_cast<uint64_t>(seconds * 1e6),
                                   std::memory_order_relaxed);
        size_t b = 0;
        while (b < kBuckets.size() && seconds > kBuckets[b])
            ++b;
        s.m_buckets[b].fetch_add(1, std::memory_order_relaxed);
    }
    void CountHits(int64_t hits) {
        if (hits > 0)
            m_hits.fetch_add(static_cast<uint64_t>(hits), std::memory_order_relaxed);
    }
    void CountRefused(CMetricRefusal why) {
        m_refused[static_cast<size_t>(why)].fetch_add(1, std::memory_order_relaxed);
    }

    // One access-log line dropped because the log's queue was full.
    void CountAccessLogDropped() { m_accessLogDropped.fetch_add(1, std::memory_order_relaxed); }
    uint64_t GetAccessLogDropped() const { return m_accessLogDropped.load(std::memory_order_relaxed); }

    struct Service {
        std::atomic<uint64_t> m_count{0};
        std::atomic<uint64_t> m_microseconds{0};  // sum of durations
        std::array<std::atomic<uint64_t>, kBuckets.size() + 1> m_buckets{};  // not cumulative
    };
    const Service& GetService(CMetricService s) const {
        return m_services[static_cast<size_t>(s)];
    }
    uint64_t GetHits() const { return m_hits.load(std::memory_order_relaxed); }
    uint64_t GetRefused(CMetricRefusal why) const {
        return m_refused[static_cast<size_t>(why)].load(std::memory_order_relaxed);
    }

private:
    std::array<Service, kServices> m_services{};
    std::atomic<uint64_t> m_hits{0};
    std::atomic<uint64_t> m_accessLogDropped{0};
    std::array<std::atomic<uint64_t>, static_cast<size_t>(CMetricRefusal::kCount)> m_refused{};
};
