#pragma once
// CPgReadServers: the hot standbys that serve the reads of one primary ([Backend] ReadServers),
// each through a pool of its own, taken in turn. A standby that cannot be reached, or whose
// connection breaks, rests for kPgStandbyRest and is tried again after; with none awake the
// primary serves every read. Internal to vkstrata.
// Thread safety: shared by every channel of the primary's pool; all members are locked or fixed.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/mutex.h"

class CPgPool;
struct PgTarget;

constexpr auto kPgStandbyRest = std::chrono::seconds(10);
// How long a read waits for a standby to replay the channel's own last write before it goes to
// the primary instead.
constexpr auto kPgCatchUpWait = std::chrono::milliseconds(500);

// A write position that no standby is taken to have replayed: the reads go to the primary.
constexpr const char* kPgOnPrimary = "primary";

class CPgReadServers {
public:
    explicit CPgReadServers(const std::vector<PgTarget>& standbys);

    // The standbys that are awake, starting with the next one in the rotation.
    std::vector<std::shared_ptr<CPgPool>> Rotation();
    // `pool` failed: it leaves the rotation for kPgStandbyRest.
    void Rest(const CPgPool* pool);
    const std::vector<std::shared_ptr<CPgPool>>& Pools() const { return m_pools; }

private:
    const std::vector<std::shared_ptr<CPgPool>> m_pools;  // fixed at construction
    CMutex m_lock;
    std::vector<std::chrono::steady_clock::time_point> m_restUntil GUARDED_BY(m_lock);  // per pool
    size_t m_next GUARDED_BY(m_lock) = 0;
};
