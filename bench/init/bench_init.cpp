// bench_init: Init round-trip latency (p50, p99) on loopback, associations per second with 1, 8
// and 64 concurrent clients (connect, Init, Close, disconnect), and the server's memory per idle
// association with 1,000 open. The server runs in this process on a free loopback port.
// Usage: bench_init [latencyRounds=2000] [seconds per concurrency=2] [idle associations=1000]

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "berkit/bernode.h"
#include "platform/socket.h"
#include "server/tunnelarray.h"

namespace {

using Clock = std::chrono::steady_clock;

const unsigned char kInit[] = {0xb4, 0x1a, 0x83, 0x02, 0x00, 0xe0, 0x84, 0x03, 0x00, 0xe9, 0xa2, 0x85,
                               0x04, 0x04, 0x00, 0x00, 0x00, 0x86, 0x04, 0x04, 0x00, 0x00, 0x00, 0x9f,
                               0x6e, 0x02, 0x38, 0x31};
const unsigned char kClose[] = {0xbf, 0x30, 0x05, 0x9f, 0x81, 0x53, 0x01, 0x00};

// Sends a request and reads one whole BER answer (at most 5 s). False on failure.
bool RoundTrip(int fd, const unsigned char* data, size_t length) {
    if (send(fd, data, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length))
        return false;
    unsigned char buffer[1024];
    long have = 0;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            return false;
        const ssize_t n = recv(fd, buffer + have, sizeof buffer - have, 0);
        if (n <= 0)
            return false;
        have += n;
        long total = 0;
        if (IsCompleteBER(buffer, have, &total))
            return true;
        if (have == static_cast<long>(sizeof buffer))
            return false;
    }
}

int Connect(int port) {
    int error = 0;
    return PlatConnect("127.0.0.1", static_cast<unsigned short>(port), error);
}

long RssKiB() {
    FILE* f = fopen("/proc/self/statm", "r");
    long pages = 0, rss = 0;
    if (f) {
        if (fscanf(f, "%ld %ld", &pages, &rss) != 2)
            rss = 0;
        fclose(f);
    }
    return rss * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(10, atoi(argv[1])) : 2000;
    const int seconds = argc > 2 ? std::max(1, atoi(argv[2])) : 2;
    const int idle = argc > 3 ? std::max(1, atoi(argv[3])) : 1000;

    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, static_cast<rlim_t>(idle) * 4 + 256);
    setrlimit(RLIMIT_NOFILE, &lim);

    const std::string home = (std::filesystem::temp_directory_path() / "vkbench_init").string() + "/";
    std::filesystem::create_directories(home);
    PlatSocketStartup();
    CTunnelArray server;
    server.m_homeDir = home;
    server.m_log.m_enabled = false;  // measure the session, not the log file
    server.m_settings.Update([&](CServerSettings& s) {
        s.m_allowAnonymous = true;
        s.m_anonymousUser = "public";
        s.m_timeoutEnabled = false;
        s.m_port = 0;
    });
    server.Create(false, nullptr);
    if (!server.ListenerStart()) {
        fprintf(stderr, "bench_init: cannot listen (error %d)\n", server.GetListenerError());
        return 1;
    }
    const int port = server.GetListenerPort();

    // 1. Init latency on one association.
    {
        const int fd = Connect(port);
        std::vector<double> us;
        us.reserve(rounds);
        for (int i = 0; i < rounds; ++i) {
            const auto t0 = Clock::now();
            if (!RoundTrip(fd, kInit, sizeof kInit)) {
                fprintf(stderr, "bench_init: Init failed\n");
                return 1;
            }
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
        close(fd);
        std::sort(us.begin(), us.end());
        printf("Init round trip over %d requests: p50 %.1f us, p99 %.1f us\n", rounds, us[us.size() / 2],
               us[us.size() * 99 / 100]);
    }

    // 2. Associations per second: connect, Init, Close, disconnect, for a fixed time.
    for (int clients : {1, 8, 64}) {
        std::atomic<long> done{0};
        std::atomic<long> failed{0};
        const auto until = Clock::now() + std::chrono::seconds(seconds);
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c)
            threads.emplace_back([&] {
                while (Clock::now() < until) {
                    const int fd = Connect(port);
                    const int step = fd < 0 ? 1 : !RoundTrip(fd, kInit, sizeof kInit) ? 2
                                                 : !RoundTrip(fd, kClose, sizeof kClose) ? 3 : 0;
                    if (step != 0) {
                        if (failed++ == 0)
                            fprintf(stderr, "first failure at step %d (1 connect, 2 Init, 3 Close)\n", step);
                    } else {
                        ++done;
                    }
                    if (fd >= 0)
                        close(fd);
                }
            });
        for (auto& t : threads)
            t.join();
        printf("%2d concurrent clients: %.0f associations/s (%ld failed)\n", clients,
               static_cast<double>(done.load()) / seconds, failed.load());
        // Let the manager's sweep delete the ended sessions before the next run.
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    }

    // 3. Memory per idle association.
    {
        const long before = RssKiB();
        std::vector<int> fds;
        for (int i = 0; i < idle; ++i) {
            const int fd = Connect(port);
            if (fd < 0 || !RoundTrip(fd, kInit, sizeof kInit)) {
                fprintf(stderr, "bench_init: association %d failed\n", i);
                break;
            }
            fds.push_back(fd);
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const long after = RssKiB();
        printf("%zu idle associations: RSS %ld KiB -> %ld KiB, %.1f KiB per association\n", fds.size(), before,
               after, fds.empty() ? 0.0 : static_cast<double>(after - before) / fds.size());
        for (int fd : fds)
            close(fd);
    }
    server.Stop();
    std::filesystem::remove_all(home);
    return 0;
}
