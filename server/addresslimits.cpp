// CAddressLimits: live sessions and connection rate per client address (see addresslimits.h).
#include "server/addresslimits.h"

#include <iterator>

namespace {
constexpr int64_t kMinute = 60;
}

CAddressVerdict CAddressLimits::Check(const std::string& address, int maxSessions, int maxPerMinute,
                                      int64_t nowSeconds, bool& log) {
    log = false;
    if (maxSessions <= 0 && maxPerMinute <= 0)
        return CAddressVerdict::kAdmit;
    CSingleLock lock(m_lock);
    if (m_entries.size() >= kMaxRateEntries && m_entries.find(address) == m_entries.end())
        Prune(nowSeconds);
    Entry& e = m_entries[address];
    if (nowSeconds - e.windowStart >= kMinute) {
        e.windowStart = nowSeconds;
        e.connects = 0;
    }
    ++e.connects;
    CAddressVerdict verdict = CAddressVerdict::kAdmit;
    if (maxSessions > 0 && e.sessions >= maxSessions)
        verdict = CAddressVerdict::kTooManySessions;
    else if (maxPerMinute > 0 && e.connects > maxPerMinute)
        verdict = CAddressVerdict::kTooManyConnects;
    if (verdict != CAddressVerdict::kAdmit && nowSeconds - e.lastLog >= kMinute) {
        e.lastLog = nowSeconds;
        log = true;
    }
    return verdict;
}

void CAddressLimits::Prune(int64_t nowSeconds) {
    for (int pass = 0; pass < 2 && m_entries.size() >= kMaxRateEntries; ++pass)
        for (auto it = m_entries.begin(); it != m_entries.end();)
            it = it->second.sessions == 0 && (pass == 1 || nowSeconds - it->second.windowStart >= kMinute)
                     ? m_entries.erase(it)
                     : std::next(it);
}

void CAddressLimits::Enter(const std::string& address) {
    CSingleLock lock(m_lock);
    ++m_entries[address].sessions;
}

void CAddressLimits::Leave(const std::string& address) {
    CSingleLock lock(m_lock);
    auto it = m_entries.find(address);
    if (it == m_entries.end() || it->second.sessions <= 0)
        return;
    if (--it->second.sessions == 0 && it->second.connects == 0)
        m_entries.erase(it);
}

int CAddressLimits::Sessions(const std::string& address) const {
    CSingleLock lock(m_lock);
    auto it = m_entries.find(address);
    return it == m_entries.end() ? 0 : it->second.sessions;
}

size_t CAddressLimits::Size() const {
    CSingleLock lock(m_lock);
    return m_entries.size();
}
