// CSruResultSets: kept SRU result sets under random ids, with idle times and a bound.
#include "server/sru/sruresultsets.h"

#include <algorithm>
#include <cstdio>
#include <random>

CSruResultSets::CSruResultSets(Clock now) : m_now(std::move(now)) {
    if (!m_now)
        m_now = [] { return std::chrono::steady_clock::now(); };
}

std::string CSruResultSets::NewId() {
    std::random_device random;
    std::string id;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        snprintf(part, sizeof part, "%08x", static_cast<unsigned>(random()));
        id += part;
    }
    return id;
}

std::vector<std::shared_ptr<CSruResultSets::Entry>> CSruResultSets::TakeExpired(
    std::chrono::steady_clock::time_point now) {
    std::vector<std::shared_ptr<Entry>> expired;
    std::erase_if(m_entries, [&](std::shared_ptr<Entry>& entry) {
        if (entry->m_expires > now)
            return false;
        expired.push_back(std::move(entry));
        return true;
    });
    return expired;
}

std::string CSruResultSets::Keep(std::unique_ptr<CZResultSet> set, const std::string& account, int seconds,
                                 size_t capacity) {
    if (capacity == 0 || set == nullptr || seconds <= 0)
        return std::string();
    auto entry = std::make_shared<Entry>();
    entry->m_id = NewId();
    entry->m_account = account;
    entry->m_idle = std::chrono::seconds(seconds);
    {
        CMutexLock hold(entry->m_lock);
        entry->m_set = std::move(set);
    }
    std::vector<std::shared_ptr<Entry>> dropped;  // deleted after the lock is released
    CMutexLock hold(m_lock);
    const auto now = m_now();
    entry->m_expires = now + entry->m_idle;
    dropped = TakeExpired(now);
    while (m_entries.size() >= capacity) {
        auto nearest = std::min_element(m_entries.begin(), m_entries.end(),
                                        [](const auto& a, const auto& b) { return a->m_expires < b->m_expires; });
        dropped.push_back(std::move(*nearest));
        m_entries.erase(nearest);
    }
    m_entries.push_back(entry);
    return entry->m_id;
}

bool CSruResultSets::Use(const std::string& id, const std::string& account, int seconds,
                         const std::function<void(CZResultSet& set, int idleSeconds)>& use) {
    std::shared_ptr<Entry> found;
    int idle = 0;
    std::vector<std::shared_ptr<Entry>> expired;
    {
        CMutexLock hold(m_lock);
        const auto now = m_now();
        expired = TakeExpired(now);
        for (const auto& entry : m_entries)
            if (entry->m_id == id && entry->m_account == account)
                found = entry;
        if (found == nullptr)
            return false;
        if (seconds > 0)
            found->m_idle = std::chrono::seconds(seconds);
        found->m_expires = now + found->m_idle;
        idle = static_cast<int>(found->m_idle.count());
    }
    CMutexLock hold(found->m_lock);
    use(*found->m_set, idle);
    return true;
}

void CSruResultSets::Purge() {
    std::vector<std::shared_ptr<Entry>> expired;
    CMutexLock hold(m_lock);
    expired = TakeExpired(m_now());
}

size_t CSruResultSets::Size() const {
    CMutexLock hold(m_lock);
    return m_entries.size();
}
