#pragma once
// CSruResultSets: the result sets SRU clients asked the server to keep (resultSetTTL), shared by
// every HTTP connection: each under an unguessable id, for the account that made it, until it has
// been idle for its time. HTTP clients often open a new connection per request, so the sets live
// here rather than in a session. Bounded: at most `capacity` sets (the one nearest its end goes
// first when another comes); expired sets are dropped on every call and by Purge, which the
// session manager's sweep calls.
// Ownership: the store owns its sets (and so their data files).
// Threads: any thread. One lock guards the list; each set has a lock of its own, held while a
// caller reads it, so a set is never read by two threads at once and never deleted while read.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "server/zrecordset.h"

class CSruResultSets {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // `now` tells the time (tests pass their own); empty: the steady clock.
    explicit CSruResultSets(Clock now = Clock());

    // Keeps `set` for `account` until it has been idle `seconds` (> 0); the new id. Nothing is
    // kept ("" returned) when `capacity` is 0 or the set is null.
    std::string Keep(std::unique_ptr<CZResultSet> set, const std::string& account, int seconds, size_t capacity);
    // Calls `use` with the set `id` of `account` and its idle time (seconds), under the set's
    // lock, and starts its idle time again (`seconds` > 0 replaces the set's time). False, without
    // calling, when there is no such set for this account (never kept, expired, dropped, or
    // another account's).
    bool Use(const std::string& id, const std::string& account, int seconds,
             const std::function<void(CZResultSet& set, int idleSeconds)>& use);
    // Drops the expired sets.
    void Purge();
    size_t Size() const;

private:
    // m_id and m_account are fixed once listed; m_idle and m_expires change under the store's lock.
    struct Entry {
        std::string m_id;
        std::string m_account;
        std::chrono::seconds m_idle{0};
        std::chrono::steady_clock::time_point m_expires;
        CMutex m_lock;  // held while the set is read
        std::unique_ptr<CZResultSet> m_set GUARDED_BY(m_lock);
    };
    // The expired entries taken out of the list (deleted by the caller outside the lock).
    std::vector<std::shared_ptr<Entry>> TakeExpired(std::chrono::steady_clock::time_point now) REQUIRES(m_lock);
    // 128 random bits as 32 hex digits.
    static std::string NewId();

    Clock m_now;
    mutable CMutex m_lock;
    std::vector<std::shared_ptr<Entry>> m_entries GUARDED_BY(m_lock);
};
