#pragma once
// CAccessLog: the access log ([Server] AccessLog=1): one line per request, written to
// folder + "YYYYMMDD.access.log" (local date) beside the daily log by a writer thread of its own,
// so that a session never waits for the disk. The queue between them is bounded: a line that
// finds it full is dropped (Write says so; the session counts it in the metrics), never waited for.
// Line: time, session id, client address, user, operation, databases, query (PQF), hits or
// records, status, milliseconds; tab-separated, LF-terminated, tabs and line ends in the fields
// replaced by spaces.
// Ownership: CTunnelArray owns one (m_accessLog); the destructor writes what is queued, then ends
// the thread.
// Thread safety: any thread.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>

#include "platform/mutex.h"

struct CAccessRecord {
    uint32_t m_sessionId = 0;
    std::string m_address, m_user, m_operation, m_databases, m_query;
    int64_t m_count = -1;  // hits of a search, records of a present; -1: none
    std::string m_status;  // "ok", "failed", or the diagnostic
    double m_milliseconds = 0;
};

class CAccessLog {
public:
    // Lines queued at most; past it lines are dropped.
    static constexpr size_t kMaxQueued = 8192;

    CAccessLog() = default;
    ~CAccessLog();
    CAccessLog(const CAccessLog&) = delete;
    CAccessLog& operator=(const CAccessLog&) = delete;

    // The folder of the files (ending with "/"). Any thread.
    void SetFolder(const std::string& folder);
    // Queues one line for `record` stamped with `now`; never blocks on the disk. False when the
    // queue was full (the line is dropped). Starts the writer on first use. Any thread.
    bool Write(const CAccessRecord& record, time_t now);
    // The line Write queues (without the date file), for tests.
    static std::string FormatLine(const CAccessRecord& record, time_t now);

private:
    struct Line {
        time_t when;
        std::string text;
    };
    void Run();
    static void AppendBatch(const std::deque<Line>& batch, const std::string& folder);

    CMutex m_lock;
    std::condition_variable m_wake;  // a line queued, or stopping
    std::deque<Line> m_queue GUARDED_BY(m_lock);
    std::string m_folder GUARDED_BY(m_lock);
    bool m_stop GUARDED_BY(m_lock) = false;
    std::thread m_thread GUARDED_BY(m_lock);  // started by the first Write
};
