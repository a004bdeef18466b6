#pragma once
// Readiness of the service for a load balancer or systemd (/readyz): the listener accepts (and
// the service is not forbidden), the back-end answers a login, the catalogue holds databases.
// The back-end is asked at most once a second; later checks within the second reuse the answer.
// Ownership: the caller owns one per console; `manager` must outlive it.
// Thread safety: any thread.

#include <chrono>
#include <string>

#include "platform/mutex.h"

class CTunnelArray;

class CReadiness {
public:
    explicit CReadiness(CTunnelArray& manager) : m_manager(manager) {}

    // True when ready; otherwise `why` says what is missing (one short English line). Any thread.
    bool Check(std::string& why);

private:
    // The back-end's answer, asked anew when the cached one is older than a second.
    bool BackendReachable(std::string& why);

    CTunnelArray& m_manager;  // set at construction, never changed
    CMutex m_lock;            // guards the cache and serialises the back-end probes
    std::chrono::steady_clock::time_point m_askedAt GUARDED_BY(m_lock){};
    bool m_reachable GUARDED_BY(m_lock) = false;
    std::string m_why GUARDED_BY(m_lock);
};
