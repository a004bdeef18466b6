// CBackendOutage: outage start and end lines (see backendoutage.h).
#include "server/backendoutage.h"

#include "server/logger.h"

void CBackendOutage::Lost(const std::string& client, const std::string& error) {
    CMutexLock lock(m_lock);
    if (m_open.load()) {
        ++m_ended;
        return;
    }
    m_open.store(true);
    m_since = std::chrono::steady_clock::now();
    m_ended = 1;
    m_log.Write(1, "back-end lost, association from %s ended (associations ended later are counted until the "
                   "back-end answers again): %s",
                client.c_str(), error.c_str());
}

void CBackendOutage::Answered(std::chrono::steady_clock::time_point begun) {
    if (!m_open.load())
        return;
    CMutexLock lock(m_lock);
    if (!m_open.load() || begun < m_since)
        return;
    m_open.store(false);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - m_since).count();
    m_log.Write(2, "back-end answers again after %lld s; the outage ended %llu association(s)",
                static_cast<long long>(seconds), static_cast<unsigned long long>(m_ended));
}
