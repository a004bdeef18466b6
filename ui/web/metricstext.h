#pragma once
// The server's counters in the Prometheus text format (version 0.0.4), for /metrics, and the same
// figures as JSON for the console's live charts.
// Thread safety: any thread (the counters are atomics; each value is read once).

#include <string>

#include <nlohmann/json.hpp>

class CServerMetrics;

// velkan_sessions_active, velkan_requests_total{service}, velkan_request_duration_seconds (a
// histogram per service), velkan_search_hits_total, velkan_refused_connections_total{reason}.
std::string RenderPrometheusMetrics(const CServerMetrics& metrics, int activeSessions);

// {"sessions", "hits", "services": {name: {"count", "seconds"}}, "refused": {reason: n}}.
nlohmann::json MetricsJson(const CServerMetrics& metrics, int activeSessions);

class CMetricsHistory;
// [{"t": seconds, "services": {name: {"count", "seconds"}}}, ...], oldest first; "t" counts back
// from the newest sample (0).
nlohmann::json MetricsHistoryJson(const CMetricsHistory& history);
