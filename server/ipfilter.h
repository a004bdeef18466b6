#pragma once
// CIPFilter: decides whether a client's address may open a session, from a friend list, an
// enemy list and two switches (friends only; refuse enemies). Loaded from and saved to the file
// "vkipfilt.cfg" of the home folder: "IsFriendsOnly=N", "IsEnemyRefuse=N", "[friend]", one
// entry per line, "[enemy]", one entry per line (CR LF ends every line). An entry is a dotted
// IPv4 address, an IPv6 address, or a CIDR range of either family ("10.0.0.0/8", "2001:db8::/32"):
// it matches the identical text of the address and, when it parses, every address in its range
// (an IPv4 client also matches an IPv4-mapped IPv6 range). Names and masks are not understood.
// Thread safety: any thread. Switches and lists are replaced together under m_lock, so IsAllowed
// on the listener thread always sees one consistent filter.

#include <cstddef>
#include <string>
#include <vector>

#include "platform/critsec.h"
#include "platform/ipaddress.h"

class CIPFilter {
public:
    // Files above this size are not read (Init returns -1 and keeps the start values).
    static constexpr size_t kMaxFileBytes = 4 * 1024 * 1024;

    CIPFilter() = default;
    virtual ~CIPFilter() = default;
    CIPFilter(const CIPFilter&) = delete;
    CIPFilter& operator=(const CIPFilter&) = delete;

    // Sets the switches to the start values; with a file name, empties both lists and reads the
    // file. 0 on success; -1 when the file cannot be opened, is too large or fails to read (what
    // was read before the failure stays). Any thread.
    int Init(const char* fileName, int friendsOnly, int enemyRefuse) EXCLUDES(m_lock);

    // Replaces both switches and both lists as one change. Returns 0. Any thread.
    int SetFilter(int friendsOnly, int enemyRefuse, const std::vector<std::string>& friends,
                  const std::vector<std::string>& enemies) EXCLUDES(m_lock);
    // Copies the switches and lists out (the lists are replaced). Returns 0. Any thread.
    int GetFilter(int& friendsOnly, int& enemyRefuse, std::vector<std::string>& friends,
                  std::vector<std::string>& enemies) const EXCLUDES(m_lock);

    // Deletes the file, then writes the filter to it unless both lists are empty. Failures are
    // only traced. Any thread.
    void DumpToFile(const char* fileName) const EXCLUDES(m_lock);

    // True when `address` may connect: (friends-only off or a friend) and (enemy refusal off or
    // not an enemy). Any thread.
    bool IsAllowed(const std::string& address) const EXCLUDES(m_lock);

private:
    mutable CCriticalSection m_lock;
    int m_isFriendsOnly GUARDED_BY(m_lock) = 0;
    int m_isEnemyRefuse GUARDED_BY(m_lock) = 0;
    std::vector<std::string> m_friends GUARDED_BY(m_lock);
    std::vector<std::string> m_enemies GUARDED_BY(m_lock);
    // The entries of m_friends and m_enemies that parse as addresses or ranges.
    std::vector<PlatIPRange> m_friendRanges GUARDED_BY(m_lock);
    std::vector<PlatIPRange> m_enemyRanges GUARDED_BY(m_lock);
};
