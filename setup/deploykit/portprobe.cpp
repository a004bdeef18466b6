// DetectPortListenning: a real connect-then-bind probe on the loopback interface.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/syserror.h"
#include "setup/deploykit/deploykit.h"

namespace {

constexpr int kConnectTimeoutMs = 1000;

sockaddr_in Address(unsigned port, in_addr_t host) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = host;
    return a;
}

// 1 connected, 0 refused or nothing answered, -1 failure with `error` (an errno value).
int TryConnect(unsigned port, int& error) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    const sockaddr_in a = Address(port, htonl(INADDR_LOOPBACK));
    int rc = connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    int result = 0;
    if (rc == 0) {
        result = 1;
    } else if (errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        rc = poll(&p, 1, kConnectTimeoutMs);
        int soError = 0;
        socklen_t len = sizeof soError;
        if (rc > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 && soError == 0)
            result = 1;
    } else if (errno != ECONNREFUSED) {
        error = errno;
        result = -1;
    }
    close(fd);
    return result;
}

// 1 in use, 0 bound (free), -1 failure with `error`.
int TryBind(unsigned port, int& error) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in a = Address(port, htonl(INADDR_ANY));
    int result = 0;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        error = errno;
        result = error == EADDRINUSE ? 1 : -1;
    }
    close(fd);
    return result;
}

}  // namespace

int DetectPortListenning(unsigned port, std::string& errorText) {
    errorText.clear();
    if (port == 0 || port > 65535) {
        errorText = "port " + std::to_string(port) + " is out of range";
        return -1;
    }
    int error = 0;
    int rc = TryConnect(port, error);
    if (rc == 0)
        rc = TryBind(port, error);
    if (rc < 0)
        errorText = "cannot probe port " + std::to_string(port) + ": " + PlatSystemErrorText(error);
    return rc;
}
