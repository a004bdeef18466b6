// Linux implementation of platform/event.h on an eventfd: the counter is the signal.
#include "platform/event.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

#include "platform/clock.h"

CAutoResetEvent::CAutoResetEvent() : m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (m_fd < 0) throw std::system_error(errno, std::system_category(), "eventfd");
}

CAutoResetEvent::~CAutoResetEvent() { close(m_fd); }

void CAutoResetEvent::Set() {
    uint64_t one = 1;
    // Can only fail when the counter is near 2^64, which one signal per Set never reaches.
    while (write(m_fd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

void CAutoResetEvent::Reset() { TryConsume(); }

bool CAutoResetEvent::TryConsume() {
    uint64_t value = 0;
    for (;;) {
        ssize_t n = read(m_fd, &value, sizeof(value));  // reads and zeroes the counter atomically
        if (n == static_cast<ssize_t>(sizeof(value))) return true;
        if (n < 0 && errno == EINTR) continue;
        return false;  // EAGAIN: not signalled (or another waiter took it first)
    }
}

bool CAutoResetEvent::Wait(uint32_t timeoutMs) {
    int timeout = timeoutMs == PLAT_WAIT_FOREVER ? -1
                  : timeoutMs > 0x7FFFFFFFu  ? 0x7FFFFFFF
                                             : static_cast<int>(timeoutMs);
    return PlatWaitEventOrSocket(*this, INVALID_SOCKET_T, false, timeout) == PLAT_WAIT_EVENT;
}

int PlatWaitEventOrSocket(CAutoResetEvent& ev, SOCKET_T sock, bool forWrite, int timeoutMs) {
    const uint64_t deadline = timeoutMs < 0 ? 0 : PlatTickCount() + static_cast<uint64_t>(timeoutMs);
    for (;;) {
        struct pollfd fds[2] = {};
        fds[0].fd = ev.m_fd;
        fds[0].events = POLLIN;
        nfds_t count = 1;
        if (sock != INVALID_SOCKET_T) {
            fds[1].fd = sock;
            fds[1].events = forWrite ? POLLOUT : POLLIN;
            count = 2;
        }
        int wait = -1;
        if (timeoutMs >= 0) {
            uint64_t now = PlatTickCount();
            wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
        }
        int rc = poll(fds, count, wait);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return PLAT_WAIT_ERROR;
        }
        if (fds[0].revents & POLLIN) {
            if (ev.TryConsume()) return PLAT_WAIT_EVENT;
            // another waiter took the signal between poll and read: fall through to the socket
        }
        if (count == 2 && fds[1].revents != 0) {
            if (fds[1].revents & POLLNVAL) {
                errno = EBADF;
                return PLAT_WAIT_ERROR;
            }
            return PLAT_WAIT_SOCKET;  // ready, hung up or in error: the next recv/send says which
        }
        if (rc == 0 || (timeoutMs >= 0 && PlatTickCount() >= deadline)) return PLAT_WAIT_TIMEOUT;
    }
}
