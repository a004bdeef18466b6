// POSIX implementation of platform/socket.h.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
std::atomic<int> g_startupCount{0};

// The socket address of `address` (IPv4 dotted or IPv6 text, brackets allowed) and `port`.
bool MakeAddress(const std::string& address, unsigned short port, sockaddr_storage& ss, socklen_t& len) {
    ss = sockaddr_storage{};
    auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
    if (inet_pton(AF_INET, address.c_str(), &sin->sin_addr) == 1) {
        sin->sin_family = AF_INET;
        sin->sin_port = htons(port);
        len = sizeof(sockaddr_in);
        return true;
    }
    std::string v6 = address;
    if (v6.size() >= 2 && v6.front() == '[' && v6.back() == ']')
        v6 = v6.substr(1, v6.size() - 2);
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (inet_pton(AF_INET6, v6.c_str(), &sin6->sin6_addr) != 1)
        return false;
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(port);
    len = sizeof(sockaddr_in6);
    return true;
}

// "a.b.c.d" for IPv4 and IPv4-mapped IPv6 peers, the IPv6 text otherwise, "" for other families.
std::string FormatAddress(const sockaddr_storage& ss) {
    char text[INET6_ADDRSTRLEN] = {};
    if (ss.ss_family == AF_INET) {
        const auto* sin = reinterpret_cast<const sockaddr_in*>(&ss);
        return inet_ntop(AF_INET, &sin->sin_addr, text, sizeof(text)) ? text : "";
    }
    if (ss.ss_family != AF_INET6)
        return std::string();
    const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&ss);
    if (IN6_IS_ADDR_V4MAPPED(&sin6->sin6_addr))
        return inet_ntop(AF_INET, sin6->sin6_addr.s6_addr + 12, text, sizeof(text)) ? text : "";
    return inet_ntop(AF_INET6, &sin6->sin6_addr, text, sizeof(text)) ? text : "";
}

// Binds and listens; the socket or INVALID_SOCKET_T with errorCode. `dualStack` opens an IPv6
// socket to IPv4 peers too; an IPv6 address otherwise listens for IPv6 only.
SOCKET_T BindAndListen(const sockaddr_storage& ss, socklen_t len, bool dualStack, int backlog, int& errorCode) {
    SOCKET_T s = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        errorCode = errno;
        return INVALID_SOCKET_T;
    }
    int on = 1;
    int v6only = dualStack ? 0 : 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        (ss.ss_family == AF_INET6 && setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof(v6only)) != 0) ||
        bind(s, reinterpret_cast<const sockaddr*>(&ss), len) != 0 || listen(s, backlog) != 0) {
        errorCode = errno;
        close(s);
        return INVALID_SOCKET_T;
    }
    errorCode = 0;
    return s;
}

long IoStatusFromErrno() {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return PLAT_IO_WOULDBLOCK;
    if (errno == ECONNRESET || errno == EPIPE) return PLAT_IO_CLOSED;
    return PLAT_IO_ERROR;
}
}  // namespace

int PlatSocketStartup() {
    g_startupCount.fetch_add(1);
    return 0;
}

void PlatSocketCleanup() {
    int count = g_startupCount.load();
    while (count > 0 && !g_startupCount.compare_exchange_weak(count, count - 1)) {
    }
}

SOCKET_T PlatListen(unsigned short port, const std::string& address, int backlog, int& errorCode) {
    errorCode = 0;
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (address.empty() || address == "::" || address == "[::]") {
        MakeAddress("::", port, ss, len);
        SOCKET_T s = BindAndListen(ss, len, true, backlog, errorCode);
        // A host without IPv6 serves IPv4 alone.
        if (s != INVALID_SOCKET_T || (errorCode != EAFNOSUPPORT && errorCode != EADDRNOTAVAIL))
            return s;
        MakeAddress("0.0.0.0", port, ss, len);
        return BindAndListen(ss, len, false, backlog, errorCode);
    }
    if (!MakeAddress(address, port, ss, len)) {
        errorCode = EINVAL;
        return INVALID_SOCKET_T;
    }
    return BindAndListen(ss, len, false, backlog, errorCode);
}

SOCKET_T PlatAccept(SOCKET_T listener, std::string& peerAddress, int& errorCode) {
    errorCode = 0;
    peerAddress.clear();
    sockaddr_storage ss{};
    socklen_t len = sizeof(ss);
    SOCKET_T s;
    do {
        s = accept4(listener, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
    } while (s < 0 && errno == EINTR);
    if (s < 0) {
        errorCode = errno;
        return INVALID_SOCKET_T;
    }
    peerAddress = FormatAddress(ss);
    return s;
}

SOCKET_T PlatConnect(const std::string& address, unsigned short port, int& errorCode) {
    errorCode = 0;
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (!MakeAddress(address, port, ss, len)) {
        errorCode = EINVAL;
        return INVALID_SOCKET_T;
    }
    SOCKET_T s = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        errorCode = errno;
        return INVALID_SOCKET_T;
    }
    if (connect(s, reinterpret_cast<const sockaddr*>(&ss), len) != 0) {
        errorCode = errno;
        close(s);
        return INVALID_SOCKET_T;
    }
    return s;
}

bool PlatSocketPair(SOCKET_T& first, SOCKET_T& second) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
    first = fds[0];
    second = fds[1];
    return true;
}

bool PlatSetNonBlocking(SOCKET_T s, bool nonBlocking) {
    int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0) return false;
    flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(s, F_SETFL, flags) == 0;
}

long PlatRecv(SOCKET_T s, void* buffer, size_t length) {
    if (length == 0) return 0;
    for (;;) {
        ssize_t n = recv(s, buffer, length, 0);
        if (n > 0) return static_cast<long>(n);
        if (n == 0) return PLAT_IO_CLOSED;
        if (errno != EINTR) return IoStatusFromErrno();
    }
}

long PlatSend(SOCKET_T s, const void* data, size_t length) {
    if (length == 0) return 0;
    for (;;) {
        ssize_t n = send(s, data, length, MSG_NOSIGNAL);
        if (n >= 0) return n > 0 ? static_cast<long>(n) : PLAT_IO_WOULDBLOCK;
        if (errno != EINTR) return IoStatusFromErrno();
    }
}

void PlatShutdown(SOCKET_T s) {
    if (s != INVALID_SOCKET_T) shutdown(s, SHUT_RDWR);
}

void PlatCloseSocket(SOCKET_T s) {
    if (s != INVALID_SOCKET_T) close(s);
}

std::string PlatPeerAddress(SOCKET_T s) {
    sockaddr_storage ss{};
    socklen_t len = sizeof(ss);
    if (getpeername(s, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return std::string();
    return FormatAddress(ss);
}

int PlatLocalPort(SOCKET_T s) {
    sockaddr_storage ss{};
    socklen_t len = sizeof(ss);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return -1;
    if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_port);
    if (ss.ss_family != AF_INET) return -1;
    return ntohs(reinterpret_cast<const sockaddr_in*>(&ss)->sin_port);
}
