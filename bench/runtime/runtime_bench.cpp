// vkbench_runtime PORT [IDLE]: load run against a vk9000 on 127.0.0.1:PORT (anonymous access on).
// Prints the Init round-trip latency (p50, p99) over 2,000 sequential Inits on one connection each,
// associations per second (connect, Init, answer, close) with 1, 8 and 64 concurrent clients for
// 3 s each, and, with IDLE > 0, the server's resident-memory growth per idle association after
// IDLE connections are opened, measured first on a fresh server (/proc/$VK_PID/status).
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace {

using Clock = std::chrono::steady_clock;

// initRequest: protocolVersion v1-v3, options search+present, message sizes 4096.
const unsigned char kInit[] = {0xB4, 0x10, 0x83, 0x02, 0x05, 0xE0, 0x84, 0x02, 0x06, 0xC0,
                               0x85, 0x02, 0x10, 0x00, 0x86, 0x02, 0x10, 0x00};

// Sends one Init on a new connection and reads until some answer arrives. False on failure.
bool InitOnce(int port) {
    int error = 0;
    SOCKET_T s = PlatConnect("127.0.0.1", static_cast<unsigned short>(port), error);
    if (s == INVALID_SOCKET_T)
        return false;
    bool ok = PlatSend(s, kInit, sizeof kInit) == static_cast<long>(sizeof kInit);
    if (ok) {
        pollfd p{s, POLLIN, 0};
        unsigned char buffer[4096];
        ok = poll(&p, 1, 5000) == 1 && PlatRecv(s, buffer, sizeof buffer) > 0;
    }
    PlatCloseSocket(s);
    return ok;
}

long ResidentKb(const char* pid) {
    std::ifstream in(std::string("/proc/") + pid + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: vkbench_runtime PORT [IDLE]\n");
        return 1;
    }
    const int port = std::atoi(argv[1]);
    const int idle = argc > 2 ? std::atoi(argv[2]) : 0;

    const char* pid = std::getenv("VK_PID");
    if (idle > 0 && pid) {
        const long before = ResidentKb(pid);
        std::vector<SOCKET_T> open;
        for (int i = 0; i < idle; ++i) {
            int error = 0;
            open.push_back(PlatConnect("127.0.0.1", static_cast<unsigned short>(port), error));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const long after = ResidentKb(pid);
        std::printf("%d idle associations: +%ld kB resident, %.1f kB each\n", idle, after - before,
                    double(after - before) / idle);
        for (SOCKET_T s : open)
            PlatCloseSocket(s);
    }

    std::vector<double> us;
    for (int i = 0; i < 2000; ++i) {
        const auto t0 = Clock::now();
        if (!InitOnce(port)) {
            std::fprintf(stderr, "vkbench_runtime: Init %d failed\n", i);
            return 2;
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::sort(us.begin(), us.end());
    std::printf("init round trip (connect+Init+answer): p50 %.0f us, p99 %.0f us\n",
                us[us.size() / 2], us[us.size() * 99 / 100]);

    for (int clients : {1, 8, 64}) {
        std::atomic<long> done{0}, failed{0};
        const auto end = Clock::now() + std::chrono::seconds(3);
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c)
            threads.emplace_back([&] {
                while (Clock::now() < end)
                    (InitOnce(port) ? done : failed)++;
            });
        for (auto& t : threads)
            t.join();
        std::printf("%2d clients: %.0f associations/s (%ld failed)\n", clients, done / 3.0,
                    failed.load());
    }

    return 0;
}
