// CIPFilter: reading, writing and applying the friend and enemy lists (see ipfilter.h).
#include "server/ipfilter.h"

#include <algorithm>
#include <cctype>
#include <strings.h>

#include "berkit/bertrace.h"
#include "platform/file.h"

namespace {

std::string Trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

std::vector<PlatIPRange> ParseRanges(const std::vector<std::string>& list) {
    std::vector<PlatIPRange> ranges;
    PlatIPRange r;
    for (const std::string& entry : list)
        if (PlatParseIPRange(entry, r))
            ranges.push_back(r);
    return ranges;
}

bool Contains(const std::vector<std::string>& list, const std::vector<PlatIPRange>& ranges,
              const std::string& address, const PlatIPRange* parsed) {
    if (std::find(list.begin(), list.end(), address) != list.end())
        return true;
    return parsed && std::any_of(ranges.begin(), ranges.end(),
                                 [&](const PlatIPRange& r) { return PlatIPRangeContains(r, *parsed); });
}

// A setting line ("IsFriendsOnly=1"): switches the named setting on when the line has a "="
// and ends in "1"; anything else leaves it as it is.
void ApplySettingLine(const std::string& line, int& friendsOnly, int& enemyRefuse) {
    if (line.size() < 14)
        return;
    const bool on = line.find('=') != std::string::npos && line.back() == '1';
    if (!on)
        return;
    if (strncasecmp(line.c_str(), "IsFriendsOnly", 13) == 0)
        friendsOnly = 1;
    else if (strncasecmp(line.c_str(), "IsEnemyRefuse", 13) == 0)
        enemyRefuse = 1;
}

}  // namespace

int CIPFilter::Init(const char* fileName, int friendsOnly, int enemyRefuse) {
    if (!fileName) {
        CSingleLock lock(m_lock);
        m_isFriendsOnly = friendsOnly;
        m_isEnemyRefuse = enemyRefuse;
        return 0;
    }
    std::string text;
    const bool read = PlatReadFile(fileName, text, kMaxFileBytes) == 0;
    if (!read) {
        if (PlatFileExists(fileName))
            BerTrace("Error CIPFilter::Init() (vkipfilt.cfg)\r\n");
        text.clear();
    }

    enum { kNone, kFriend, kEnemy } section = kNone;
    std::vector<std::string> friends;
    std::vector<std::string> enemies;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line[0] == '<' || line[0] == '/')
            continue;
        if (line[0] == 'i' || line[0] == 'I') {
            ApplySettingLine(line, friendsOnly, enemyRefuse);
        } else if (line == "[friend]") {
            section = kFriend;
        } else if (line == "[enemy]") {
            section = kEnemy;
        } else if (section == kFriend) {
            friends.push_back(line);
        } else if (section == kEnemy) {
            enemies.push_back(line);
        }
    }

    SetFilter(friendsOnly, enemyRefuse, friends, enemies);
    return read ? 0 : -1;
}

int CIPFilter::SetFilter(int friendsOnly, int enemyRefuse, const std::vector<std::string>& friends,
                         const std::vector<std::string>& enemies) {
    std::vector<std::string> f(friends);
    std::vector<std::string> e(enemies);
    std::vector<PlatIPRange> fr = ParseRanges(f);
    std::vector<PlatIPRange> er = ParseRanges(e);
    CSingleLock lock(m_lock);
    m_isFriendsOnly = friendsOnly;
    m_isEnemyRefuse = enemyRefuse;
    m_friends.swap(f);
    m_enemies.swap(e);
    m_friendRanges.swap(fr);
    m_enemyRanges.swap(er);
    return 0;
}

int CIPFilter::GetFilter(int& friendsOnly, int& enemyRefuse, std::vector<std::string>& friends,
                         std::vector<std::string>& enemies) const {
    CSingleLock lock(m_lock);
    friendsOnly = m_isFriendsOnly;
    enemyRefuse = m_isEnemyRefuse;
    friends = m_friends;
    enemies = m_enemies;
    return 0;
}

void CIPFilter::DumpToFile(const char* fileName) const {
    if (!fileName)
        return;
    std::string text;
    {
        CSingleLock lock(m_lock);
        if (!m_friends.empty() || !m_enemies.empty()) {
            text = "IsFriendsOnly=" + std::to_string(m_isFriendsOnly) + "\r\n";
            text += "IsEnemyRefuse=" + std::to_string(m_isEnemyRefuse) + "\r\n";
            text += "[friend]\r\n";
            for (const std::string& a : m_friends)
                text += a + "\r\n";
            text += "[enemy]\r\n";
            for (const std::string& a : m_enemies)
                text += a + "\r\n";
        }
    }
    PlatDeleteFile(fileName);
    if (text.empty())
        return;
    if (PlatWriteFileAtomic(fileName, text.data(), text.size()) != 0)
        BerTrace("Error CIPFilter::DumpToFile() (vkipfilt.cfg)\r\n");
}

bool CIPFilter::IsAllowed(const std::string& address) const {
    PlatIPRange parsed;
    const bool isAddress = PlatParseIPRange(address, parsed) && address.find('/') == std::string::npos;
    const PlatIPRange* client = isAddress ? &parsed : nullptr;
    CSingleLock lock(m_lock);
    if (!m_isFriendsOnly && !m_isEnemyRefuse)
        return true;
    if (m_isFriendsOnly && !Contains(m_friends, m_friendRanges, address, client))
        return false;
    if (m_isEnemyRefuse && Contains(m_enemies, m_enemyRanges, address, client))
        return false;
    return true;
}
