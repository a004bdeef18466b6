// CPgReadServers: the rotation of a primary's hot standbys.
#include "backend/strata/pg_standbys.h"

#include "backend/strata/pg_driver.h"

namespace {

std::vector<std::shared_ptr<CPgPool>> PoolsOf(const std::vector<PgTarget>& standbys) {
    std::vector<std::shared_ptr<CPgPool>> pools;
    for (const PgTarget& t : standbys) pools.push_back(CPgPool::For(t));
    return pools;
}

}  // namespace

CPgReadServers::CPgReadServers(const std::vector<PgTarget>& standbys)
    : m_pools(PoolsOf(standbys)), m_restUntil(m_pools.size()) {}

std::vector<std::shared_ptr<CPgPool>> CPgReadServers::Rotation() {
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::shared_ptr<CPgPool>> awake;
    CMutexLock lock(m_lock);
    const size_t n = m_pools.size();
    for (size_t i = 0; i < n; ++i) {
        const size_t at = (m_next + i) % n;
        if (m_restUntil[at] <= now) awake.push_back(m_pools[at]);
    }
    if (n > 0) m_next = (m_next + 1) % n;
    return awake;
}

void CPgReadServers::Rest(const CPgPool* pool) {
    CMutexLock lock(m_lock);
    for (size_t i = 0; i < m_pools.size(); ++i) {
        if (m_pools[i].get() == pool) m_restUntil[i] = std::chrono::steady_clock::now() + kPgStandbyRest;
    }
}
