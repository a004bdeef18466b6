// CConnectionDeadlines (see consoledeadline.h).
#include "ui/web/consoledeadline.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// The inode of the socket open as `name` in /proc/self/fd ("socket:[123]"), or 0.
unsigned long SocketInode(DIR* folder, const char* name) {
    char target[64];
    const ssize_t n = ::readlinkat(dirfd(folder), name, target, sizeof target - 1);
    if (n <= 0)
        return 0;
    target[n] = '\0';
    if (std::strncmp(target, "socket:[", 8) != 0)
        return 0;
    return std::strtoul(target + 8, nullptr, 10);
}

// True when `fd` is a connected TCP socket (not a listening one) whose local port is `port`.
bool IsConnectionOnPort(int fd, int port) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return false;
    int localPort = -1;
    if (local.ss_family == AF_INET)
        localPort = ntohs(reinterpret_cast<const sockaddr_in&>(local).sin_port);
    else if (local.ss_family == AF_INET6)
        localPort = ntohs(reinterpret_cast<const sockaddr_in6&>(local).sin6_port);
    int listening = 0;
    socklen_t size = sizeof listening;
    return localPort == port && ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && !listening;
}

// Shuts down the socket `fd` names if it is still the one of `inode`.
bool ShutDownIfSame(int fd, unsigned long inode) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return false;
    struct stat st {};
    const bool same = ::fstat(copy, &st) == 0 && st.st_ino == inode;
    if (same)
        ::shutdown(copy, SHUT_RDWR);
    ::close(copy);
    return same;
}

}  // namespace

CConnectionDeadlines::CConnectionDeadlines(int port, std::chrono::milliseconds limit)
    : m_port(port), m_limit(limit), m_thread([this] { Run(); }) {}

CConnectionDeadlines::~CConnectionDeadlines() {
    {
        CMutexLock lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

size_t CConnectionDeadlines::Cut() {
    CMutexLock lock(m_mutex);
    return m_cut;
}

void CConnectionDeadlines::Run() {
    // A few looks per limit, so that a connection ends at most a quarter of it late.
    const auto period = std::clamp(m_limit / 4, std::chrono::milliseconds(50), std::chrono::milliseconds(1000));
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        Scan(now);
        CMutexLock lock(m_mutex);
        if (!m_stop)
            lock.WaitUntil(m_wake, now + period);
        if (m_stop)
            return;
    }
}

void CConnectionDeadlines::Scan(std::chrono::steady_clock::time_point now) {
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder)
        return;
    std::map<unsigned long, CSeen> seen;
    size_t cut = 0;
    while (const dirent* entry = ::readdir(folder)) {
        const unsigned long inode = SocketInode(folder, entry->d_name);
        const int fd = std::atoi(entry->d_name);
        if (inode == 0 || fd == dirfd(folder) || !IsConnectionOnPort(fd, m_port))
            continue;
        const auto known = m_seen.find(inode);
        CSeen& connection = seen[inode] = known == m_seen.end() ? CSeen{now, false} : known->second;
        if (!connection.cut && now - connection.since >= m_limit && ShutDownIfSame(fd, inode)) {
            connection.cut = true;  // the library closes it at its next read or write
            ++cut;
        }
    }
    ::closedir(folder);
    m_seen.swap(seen);
    if (cut > 0) {
        CMutexLock lock(m_mutex);
        m_cut += cut;
    }
}
