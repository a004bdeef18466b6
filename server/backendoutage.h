#pragma once
// CBackendOutage: one log line per back-end outage instead of one per association it ends. The
// first session that finds the back-end lost logs it; later losses only count, until a session's
// call gets an answer again, which logs one line with the outage's length and the associations it
// ended. A lost back-end reached again at once still makes one outage.
// Ownership: the session manager owns one; `log` must outlive it.
// Thread safety: any thread; Answered is one atomic load while no outage is open.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/mutex.h"

class CLogger;

class CBackendOutage {
public:
    explicit CBackendOutage(CLogger& log) : m_log(log) {}

    // An association from `client` ended because the back-end was lost with `error`.
    void Lost(const std::string& client, const std::string& error);
    // A call of some session, part of a request that began at `begun`, got an answer from the
    // back-end. Answers to requests that began before the outage do not end it.
    void Answered(std::chrono::steady_clock::time_point begun);

private:
    CLogger& m_log;
    std::atomic<bool> m_open{false};  // set and cleared under m_lock; read without it
    CMutex m_lock;
    std::chrono::steady_clock::time_point m_since GUARDED_BY(m_lock){};
    uint64_t m_ended GUARDED_BY(m_lock) = 0;
};
