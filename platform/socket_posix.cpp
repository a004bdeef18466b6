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

bool ParseIPv4(const std::string& address, in_addr& out) {
    if (address.empty()) {
        out.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return inet_pton(AF_INET, address.c_str(), &out) == 1;
}

std::string FormatIPv4(const sockaddr_storage& ss) {
    if (ss.ss_family != AF_INET) return std::string();
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&ss);
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof(text)) == nullptr) return std::string();
    return text;
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
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    if (!ParseIPv4(address, sin.sin_addr)) {
        errorCode = EINVAL;
        return INVALID_SOCKET_T;
    }
    SOCKET_T s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        errorCode = errno;
        return INVALID_SOCKET_T;
    }
    int on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        bind(s, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) != 0 || listen(s, backlog) != 0) {
        errorCode = errno;
        close(s);
        return INVALID_SOCKET_T;
    }
    return s;
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
    peerAddress = FormatIPv4(ss);
    return s;
}

SOCKET_T PlatConnect(const std::string& address, unsigned short port, int& errorCode) {
    errorCode = 0;
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    if (address.empty() || inet_pton(AF_INET, address.c_str(), &sin.sin_addr) != 1) {
        errorCode = EINVAL;
        return INVALID_SOCKET_T;
    }
    SOCKET_T s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        errorCode = errno;
        return INVALID_SOCKET_T;
    }
    if (connect(s, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) != 0) {
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
    return FormatIPv4(ss);
}

int PlatLocalPort(SOCKET_T s) {
    sockaddr_storage ss{};
    socklen_t len = sizeof(ss);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&ss), &len) != 0 || ss.ss_family != AF_INET) return -1;
    return ntohs(reinterpret_cast<const sockaddr_in*>(&ss)->sin_port);
}
