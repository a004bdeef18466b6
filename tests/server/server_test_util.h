#pragma once
// Helpers of the server runtime tests: a temporary home folder, loopback clients, bounded waits.

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "platform/socket.h"

namespace vktest {

// A fresh folder under the system's temporary folder, removed at the end; Path() ends with "/".
class CTempHome {
public:
    explicit CTempHome(const std::string& tag) {
        m_dir = std::filesystem::temp_directory_path() /
                ("vk_" + tag + "_" + std::to_string(::getpid()) + "_" +
                 std::to_string(reinterpret_cast<uintptr_t>(this)));
        std::filesystem::create_directories(m_dir);
    }
    ~CTempHome() {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    std::string Path() const { return m_dir.string() + "/"; }

private:
    std::filesystem::path m_dir;
};

// A port that was free a moment ago (bound to 0, read back, closed).
inline int FreePort() {
    int error = 0;
    SOCKET_T s = PlatListen(0, "127.0.0.1", 1, error);
    const int port = PlatLocalPort(s);
    PlatCloseSocket(s);
    return port;
}

inline SOCKET_T Connect(int port) {
    int error = 0;
    return PlatConnect("127.0.0.1", static_cast<unsigned short>(port), error);
}

// True when the server ended the connection (end of stream or reset) within `ms`.
inline bool ClosedByServer(SOCKET_T s, int ms) {
    pollfd p{s, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0)
        return false;
    char c;
    const long n = PlatRecv(s, &c, 1);
    return n == PLAT_IO_CLOSED || n == PLAT_IO_ERROR;
}

// Polls `done` every 10 ms for at most `ms`; true as soon as it holds.
inline bool WaitFor(const std::function<bool()>& done, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace vktest
