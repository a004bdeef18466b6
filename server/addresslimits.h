#pragma once
// CAddressLimits: the per-client-address limits of the listener ([Server] MaxSessionsPerAddress
// and MaxConnectsPerMinute): live sessions and connections in the current minute, per address,
// so that one address cannot take every session of the process.
// Ownership: CTunnelArray owns one (m_addressLimits).
// Thread safety: any thread; every member is guarded by m_lock. Check and Enter are made by the
// listener thread only, so no other session of an address slips in between them.

#include <cstdint>
#include <string>
#include <unordered_map>

#include "platform/critsec.h"

enum class CAddressVerdict { kAdmit = 0, kTooManySessions, kTooManyConnects };

class CAddressLimits {
public:
    // Most addresses tracked for their connection rate alone; past it, rate entries older than a
    // minute go, then every rate-only entry (addresses with live sessions always stay).
    static constexpr size_t kMaxRateEntries = 65536;

    // Counts one connection of `address` at `nowSeconds` (a steady clock) and says whether it may
    // open a session: at most `maxSessions` live ones and `maxPerMinute` connections in the
    // current minute (0: no limit). `log` is set when a refusal should be logged: at most once a
    // minute per address. Any thread.
    CAddressVerdict Check(const std::string& address, int maxSessions, int maxPerMinute, int64_t nowSeconds,
                          bool& log) EXCLUDES(m_lock);
    // A session of `address` started / ended. Any thread.
    void Enter(const std::string& address) EXCLUDES(m_lock);
    void Leave(const std::string& address) EXCLUDES(m_lock);
    // Live sessions of `address`. Any thread.
    int Sessions(const std::string& address) const EXCLUDES(m_lock);
    // Addresses tracked (for tests and the bound). Any thread.
    size_t Size() const EXCLUDES(m_lock);

private:
    struct Entry {
        int sessions = 0;
        int64_t windowStart = 0;  // start of the current minute of this address
        int connects = 0;         // connections since windowStart
        int64_t lastLog = -60;    // last logged refusal
    };
    void Prune(int64_t nowSeconds) REQUIRES(m_lock);

    mutable CCriticalSection m_lock;
    std::unordered_map<std::string, Entry> m_entries GUARDED_BY(m_lock);
};
