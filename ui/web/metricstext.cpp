// Prometheus text and JSON forms of CServerMetrics (see metricstext.h).
#include "ui/web/metricstext.h"

#include <cstdio>

#include "backend/strata/strata_cache.h"
#include "backend/strata/strata_channel.h"
#include "server/metrics.h"
#include "server/metricshistory.h"

namespace {

const char* const kServiceNames[] = {"init", "search", "present", "es", "close", "scan", "sort", "delete"};
const char* const kRefusalNames[] = {"ipfilter", "forbidden", "service", "limit"};
static_assert(std::size(kServiceNames) == CServerMetrics::kServices);
static_assert(std::size(kRefusalNames) == static_cast<size_t>(CMetricRefusal::kCount));

std::string Number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

// One service's counters, each read once, so the histogram's parts agree with each other.
struct ServiceFigures {
    uint64_t buckets[CServerMetrics::kBuckets.size() + 1];
    uint64_t count = 0;  // the sum of the buckets
    double seconds = 0;
};

ServiceFigures ReadService(const CServerMetrics& metrics, size_t index) {
    const auto& s = metrics.GetService(static_cast<CMetricService>(index));
    ServiceFigures f;
    for (size_t b = 0; b < std::size(f.buckets); ++b) {
        f.buckets[b] = s.m_buckets[b].load(std::memory_order_relaxed);
        f.count += f.buckets[b];
    }
    f.seconds = static_cast<double>(s.m_microseconds.load(std::memory_order_relaxed)) / 1e6;
    return f;
}

// The network back-end's servers: pool connections, waits, statements and searches per server.
void AppendBackendServers(std::string& out) {
    const std::vector<StrataServerStats> servers = StrataNetworkServerStats();
    if (servers.empty()) return;
    auto label = [](const StrataServerStats& s) {
        return std::string("server=\"") + s.m_address + "\",role=\"" + (s.m_standby ? "standby" : "primary") + "\"";
    };
    out += "# HELP velkan_backend_connections Connections of the back-end pool, by server and state.\n";
    out += "# TYPE velkan_backend_connections gauge\n";
    for (const StrataServerStats& s : servers) {
        out += "velkan_backend_connections{" + label(s) + ",state=\"in_use\"} " + std::to_string(s.m_inUse) + "\n";
        out += "velkan_backend_connections{" + label(s) + ",state=\"idle\"} " +
               std::to_string(s.m_open - s.m_inUse) + "\n";
    }
    const struct {
        const char* m_name;
        const char* m_help;
        uint64_t StrataServerStats::*m_value;
    } counters[] = {
        {"velkan_backend_pool_waits_total", "Leases that waited for a free connection.", &StrataServerStats::m_waits},
        {"velkan_backend_round_trips_total", "Statements sent to the server.", &StrataServerStats::m_roundTrips},
        {"velkan_backend_searches_total", "Searches the server answered.", &StrataServerStats::m_searches},
    };
    for (const auto& c : counters) {
        out += std::string("# HELP ") + c.m_name + " " + c.m_help + "\n# TYPE " + c.m_name + " counter\n";
        for (const StrataServerStats& s : servers)
            out += std::string(c.m_name) + "{" + label(s) + "} " + std::to_string(s.*c.m_value) + "\n";
    }
    // The process's cache of hit lists and records in front of the servers.
    const StrataCacheStats cache = StrataNetworkCacheStats();
    const struct {
        const char* m_name;
        const char* m_type;
        const char* m_help;
        uint64_t m_value;
    } figures[] = {
        {"velkan_backend_cache_hits_total", "counter", "Hit lists and records answered from the cache.", cache.m_hits},
        {"velkan_backend_cache_misses_total", "counter", "Hit lists and records read from the server.", cache.m_misses},
        {"velkan_backend_cache_emptied_total", "counter", "Times the cache emptied (a write, a change notice).",
         cache.m_emptied},
        {"velkan_backend_cache_bytes", "gauge", "Bytes the cache holds.", cache.m_bytes},
    };
    for (const auto& f : figures) {
        out += std::string("# HELP ") + f.m_name + " " + f.m_help + "\n# TYPE " + f.m_name + " " + f.m_type + "\n";
        out += std::string(f.m_name) + " " + std::to_string(f.m_value) + "\n";
    }
}

}  // namespace

std::string RenderPrometheusMetrics(const CServerMetrics& metrics, int activeSessions) {
    std::string out;
    out += "# HELP velkan_sessions_active Z39.50 sessions currently open.\n";
    out += "# TYPE velkan_sessions_active gauge\n";
    out += "velkan_sessions_active " + std::to_string(activeSessions) + "\n";

    ServiceFigures figures[CServerMetrics::kServices];
    for (size_t i = 0; i < CServerMetrics::kServices; ++i)
        figures[i] = ReadService(metrics, i);

    out += "# HELP velkan_requests_total Requests answered, by service.\n";
    out += "# TYPE velkan_requests_total counter\n";
    for (size_t i = 0; i < CServerMetrics::kServices; ++i)
        out += std::string("velkan_requests_total{service=\"") + kServiceNames[i] + "\"} " +
               std::to_string(figures[i].count) + "\n";

    out += "# HELP velkan_request_duration_seconds Time to answer a request, by service.\n";
    out += "# TYPE velkan_request_duration_seconds histogram\n";
    for (size_t i = 0; i < CServerMetrics::kServices; ++i) {
        const std::string label = std::string("service=\"") + kServiceNames[i] + "\"";
        uint64_t cumulative = 0;
        for (size_t b = 0; b < CServerMetrics::kBuckets.size(); ++b) {
            cumulative += figures[i].buckets[b];
            out += "velkan_request_duration_seconds_bucket{" + label + ",le=\"" +
                   Number(CServerMetrics::kBuckets[b]) + "\"} " + std::to_string(cumulative) + "\n";
        }
        out += "velkan_request_duration_seconds_bucket{" + label + ",le=\"+Inf\"} " +
               std::to_string(figures[i].count) + "\n";
        out += "velkan_request_duration_seconds_sum{" + label + "} " + Number(figures[i].seconds) + "\n";
        out += "velkan_request_duration_seconds_count{" + label + "} " +
               std::to_string(figures[i].count) + "\n";
    }

    out += "# HELP velkan_search_hits_total Records found by searches.\n";
    out += "# TYPE velkan_search_hits_total counter\n";
    out += "velkan_search_hits_total " + std::to_string(metrics.GetHits()) + "\n";

    out += "# HELP velkan_refused_connections_total Connections refused, by reason.\n";
    out += "# TYPE velkan_refused_connections_total counter\n";
    for (size_t r = 0; r < std::size(kRefusalNames); ++r)
        out += std::string("velkan_refused_connections_total{reason=\"") + kRefusalNames[r] + "\"} " +
               std::to_string(metrics.GetRefused(static_cast<CMetricRefusal>(r))) + "\n";

    AppendBackendServers(out);

    out += "# HELP velkan_access_log_dropped_total Access-log lines dropped because its queue was full.\n";
    out += "# TYPE velkan_access_log_dropped_total counter\n";
    out += "velkan_access_log_dropped_total " + std::to_string(metrics.GetAccessLogDropped()) + "\n";
    return out;
}

nlohmann::json MetricsJson(const CServerMetrics& metrics, int activeSessions) {
    nlohmann::json services = nlohmann::json::object();
    for (size_t i = 0; i < CServerMetrics::kServices; ++i) {
        const ServiceFigures f = ReadService(metrics, i);
        services[kServiceNames[i]] = {{"count", f.count}, {"seconds", f.seconds}};
    }
    nlohmann::json refused = nlohmann::json::object();
    for (size_t r = 0; r < std::size(kRefusalNames); ++r)
        refused[kRefusalNames[r]] = metrics.GetRefused(static_cast<CMetricRefusal>(r));
    return {{"sessions", activeSessions},
            {"hits", metrics.GetHits()},
            {"services", services},
            {"refused", refused}};
}

nlohmann::json MetricsHistoryJson(const CMetricsHistory& history) {
    const auto samples = history.Samples();
    nlohmann::json out = nlohmann::json::array();
    for (const CMetricsHistory::Sample& s : samples) {
        nlohmann::json services = nlohmann::json::object();
        for (size_t i = 0; i < CServerMetrics::kServices; ++i)
            services[kServiceNames[i]] = {{"count", s.m_counts[i]}, {"seconds", s.m_microseconds[i] / 1e6}};
        out.push_back({{"t", s.m_seconds - samples.back().m_seconds}, {"services", services}});
    }
    return out;
}
