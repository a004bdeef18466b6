// Misbehaving clients against a real server: a CTunnelArray with its listener on a loopback port
// and its manager thread, a temporary embedded store and the daily log in a temporary folder.
// Each case checks the answer (or its absence), the daily log, that a well-behaved client is
// served meanwhile, and the cost of the misbehaviour in CPU time and memory. The last cases churn
// through many associations: under a low descriptor limit, and from eight threads at once.

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "backend/strata/strata_admin.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"
#include "tests/server/server_test_util.h"
#include "test_tunnel_client.h"

using namespace tunneltest;
namespace fs = std::filesystem;

namespace {

// CPU time of the whole process (every thread, the server's included), in milliseconds.
double CpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

double WallMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

// Resident memory of the process in bytes.
long long ResidentBytes() {
    std::ifstream in("/proc/self/statm");
    long long size = 0;
    long long resident = 0;
    in >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

int ConnectTo(int port) {
    int error = 0;
    return PlatConnect("127.0.0.1", static_cast<unsigned short>(port), error);
}

size_t Count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// The log lines other than the "connecting" and "disconnect" ones (at most 4000 characters).
std::string OtherLogLines(const std::string& log) {
    std::string out;
    size_t at = 0;
    while (at < log.size() && out.size() < 4000) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        const std::string line = log.substr(at, end - at);
        if (line.find("connecting from") == std::string::npos && line.find("disconnect from") == std::string::npos)
            out += line + "\n";
        at = end + 1;
    }
    return out;
}

// Connects and has an anonymous Init accepted. The socket, or -1 with the failing step in `why`.
int OpenAccepted(int port, std::string& why) {
    const int fd = ConnectTo(port);
    if (fd < 0) {
        why = "connect failed";
        return -1;
    }
    CByteArray pdu;
    CBERNode root;
    if (!SendAll(fd, InitAnonymous())) {
        why = "sending the Init failed";
    } else if (ReadResult r = ReadPdu(fd, pdu, 10000); r != ReadResult::Pdu) {
        why = r == ReadResult::Closed ? "closed before the Init response" : "no Init response in 10 s";
    } else if (CBERNode* apdu = Decode(root, pdu); !apdu || apdu->m_uTag != Z_INIT_RESPONSE || !InitResult(apdu)) {
        why = "Init not accepted";
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

// One whole association of a well-behaved client: connect, Init (must be accepted), Close (must
// be answered with a Close), end of stream from the server. False with the failing step in `why`.
bool InitAndClose(int port, std::string& why) {
    const int fd = OpenAccepted(port, why);
    if (fd < 0)
        return false;
    CByteArray pdu;
    CBERNode root;
    CBERNode* apdu = nullptr;
    bool ok = false;
    if (!SendAll(fd, CloseRequest())) {
        why = "sending the Close failed";
    } else if (ReadPdu(fd, pdu, 10000) != ReadResult::Pdu || !(apdu = Decode(root, pdu)) ||
               apdu->m_uTag != Z_CLOSE) {
        why = "no Close response";
    } else {
        CByteArray rest;
        ok = ReadPdu(fd, rest, 10000) == ReadResult::Closed && rest.empty();
        if (!ok)
            why = "not closed after the Close response";
    }
    close(fd);
    return ok;
}

// Connect, Init (must be accepted), and hang up at once without a Close, as load clients do.
bool InitAndHangUp(int port, std::string& why) {
    const int fd = OpenAccepted(port, why);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

class BadInput : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = MakeTempDir("vkbadinput");
        ASSERT_FALSE(m_dir.empty());
        std::string error;
        CInterface::SetStoreFolder(m_dir.string());
        auto admin = CStrataAdmin::Create(StrataStoreFile(m_dir.string(), "demo"), error);
        ASSERT_TRUE(admin) << error;
        admin.reset();

        m_server = std::make_unique<CTunnelArray>();
        m_server->m_homeDir = m_dir.string() + "/";
        m_server->m_log.SetFolder(m_dir.string() + "/");
        m_server->m_settings.Update([&](CServerSettings& s) {
            s.m_interfaceLibrary = "localcore32.dll";
            s.m_instanceName = "demo";
        });
        ASSERT_EQ(0, m_server->m_interface.LoadLibraryA("localcore32.dll", "demo"));
        m_server->m_settings.Update([&](CServerSettings& s) {
            s.m_allowAnonymous = true;
            s.m_anonymousUser = "public";
            s.m_anonymousPassword = "";
            s.m_port = 0;
        });
        ASSERT_TRUE(m_server->ListenerStart()) << m_server->GetListenerError();
        m_server->Create(false, nullptr);
        m_port = m_server->GetListenerPort();
        ASSERT_GT(m_port, 0);
    }

    void TearDown() override {
        for (int fd : m_clients)
            close(fd);
        if (m_server)
            m_server->Stop();
        m_server.reset();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    int Open() {
        const int fd = ConnectTo(m_port);
        EXPECT_GE(fd, 0);
        if (fd >= 0)
            m_clients.push_back(fd);
        return fd;
    }

    // A well-behaved client is served while the misbehaving one is connected.
    void ExpectOthersServed() {
        std::string why;
        EXPECT_TRUE(InitAndClose(m_port, why)) << why;
        ++m_connections;
    }

    // The server sends nothing more and ends the connection.
    static bool ClosedWithoutAnswer(int fd) {
        CByteArray rest;
        return ReadPdu(fd, rest, 3000) == ReadResult::Closed && rest.empty();
    }

    // Every connection made so far has its "connecting" and "disconnect" lines, and `text` (when
    // given) is in the log.
    void ExpectLogged(const std::string& text) {
        const std::string connecting = "connecting from 127.0.0.1";
        const std::string disconnect = "disconnect from 127.0.0.1";
        const size_t n = m_connections;
        std::string log;
        const double end = WallMs() + 3000;
        do {
            log = ReadLogs(m_dir);
            if (Count(log, disconnect) >= n && (text.empty() || log.find(text) != std::string::npos))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (WallMs() < end);
        EXPECT_EQ(n, Count(log, connecting)) << log;
        EXPECT_EQ(n, Count(log, disconnect)) << log;
        if (!text.empty()) {
            EXPECT_NE(std::string::npos, log.find(text)) << log;
        }
    }

    fs::path m_dir;
    std::unique_ptr<CTunnelArray> m_server;
    int m_port = 0;
    std::vector<int> m_clients;
    size_t m_connections = 0;  // associations opened by the test, well-behaved ones included
    CByteArray m_pdu;
    CBERNode m_root;
};

// --- one misbehaving client ----------------------------------------------------------------------

TEST_F(BadInput, GarbageBytesEndTheAssociationWithoutAnswerAndAreLogged) {
    const int fd = Open();
    ++m_connections;
    // A tag number longer than any APDU's: the header cannot be read.
    ASSERT_TRUE(SendAll(fd, Hex("ff ff")));
    ExpectOthersServed();
    ASSERT_TRUE(SendAll(fd, Hex("ff ff ff ff ff ff 00 01 02 03")));
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
    ExpectLogged("not get tag number");
}

TEST_F(BadInput, LengthOfTwoGigabytesEndsTheAssociationBeforeBuffering) {
    const long long before = ResidentBytes();
    const int fd = Open();
    ++m_connections;
    ASSERT_TRUE(SendAll(fd, Hex("b4 84 80 00 00 00 83 02 00 e0")));
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
    ExpectOthersServed();
    EXPECT_LT(ResidentBytes() - before, 64LL << 20);
    ExpectLogged("request of 2147483654 bytes from 127.0.0.1 is above the limit");
}

TEST_F(BadInput, SearchBeforeInitEndsTheAssociationWithoutAnswer) {
    const int fd = Open();
    ++m_connections;
    ExpectOthersServed();
    ASSERT_TRUE(SendAll(fd, SearchRequest()));
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
    ExpectLogged("not initailized!");
}

TEST_F(BadInput, ScanAfterInitEndsTheAssociationWithoutAnswer) {
    const int fd = Open();
    ++m_connections;
    ASSERT_TRUE(SendAll(fd, InitAnonymous()));
    ASSERT_EQ(ReadResult::Pdu, ReadPdu(fd, m_pdu));
    CBERNode* apdu = Decode(m_root, m_pdu);
    ASSERT_NE(nullptr, apdu);
    EXPECT_EQ(static_cast<unsigned>(Z_INIT_RESPONSE), apdu->m_uTag);
    EXPECT_TRUE(InitResult(apdu));
    ExpectOthersServed();
    ASSERT_TRUE(SendAll(fd, ScanRequest()));
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
    ExpectLogged("not supported request");
}

TEST_F(BadInput, RequestTrickledOneOctetPer10MsIsAnsweredOnceCompleteAtLowCpu) {
    const int fd = Open();
    ++m_connections;
    const CByteArray init = InitAnonymous();
    const double cpu0 = CpuMs();
    const double wall0 = WallMs();
    for (size_t i = 0; i < init.size(); ++i) {
        ASSERT_TRUE(SendAll(fd, CByteArray{init[i]}));
        if (i == init.size() / 2)
            ExpectOthersServed();
        if (i + 1 < init.size()) {
            pollfd p{fd, POLLIN, 0};
            ASSERT_EQ(0, poll(&p, 1, 10)) << "answered or closed after " << i + 1 << " octets";
        }
    }
    ASSERT_EQ(ReadResult::Pdu, ReadPdu(fd, m_pdu));
    const double cpu = CpuMs() - cpu0;
    const double wall = WallMs() - wall0;
    CBERNode* apdu = Decode(m_root, m_pdu);
    ASSERT_NE(nullptr, apdu);
    EXPECT_EQ(static_cast<unsigned>(Z_INIT_RESPONSE), apdu->m_uTag);
    EXPECT_TRUE(InitResult(apdu));
    // A receive loop that spins while the request is incomplete burns a whole core.
    EXPECT_LT(cpu, 0.25 * wall) << cpu << " ms CPU in " << wall << " ms";

    ASSERT_TRUE(SendAll(fd, CloseRequest()));
    ASSERT_EQ(ReadResult::Pdu, ReadPdu(fd, m_pdu));
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
    ExpectLogged("");
}

TEST_F(BadInput, TwoRequestsInOneWriteAnswerTheFirstAndDropTheRest) {
    const int fd = Open();
    ++m_connections;
    ASSERT_TRUE(SendAll(fd, Concat(InitAnonymous(), SearchRequest())));
    ASSERT_EQ(ReadResult::Pdu, ReadPdu(fd, m_pdu));
    CBERNode* apdu = Decode(m_root, m_pdu);
    ASSERT_NE(nullptr, apdu);
    EXPECT_EQ(static_cast<unsigned>(Z_INIT_RESPONSE), apdu->m_uTag);
    long total = 0;
    ASSERT_TRUE(IsCompleteBER(m_pdu.data(), static_cast<long>(m_pdu.size()), &total));
    EXPECT_EQ(static_cast<long>(m_pdu.size()), total) << "more than the Init response arrived";
    CByteArray more;
    EXPECT_EQ(ReadResult::Timeout, ReadPdu(fd, more, 300)) << "the second request was answered";
    ExpectOthersServed();

    // The association goes on: the next request is served.
    ASSERT_TRUE(SendAll(fd, CloseRequest()));
    ASSERT_EQ(ReadResult::Pdu, ReadPdu(fd, m_pdu));
    apdu = Decode(m_root, m_pdu);
    ASSERT_NE(nullptr, apdu);
    EXPECT_EQ(static_cast<unsigned>(Z_CLOSE), apdu->m_uTag);
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
    ExpectLogged("");
}

TEST_F(BadInput, ClientsStalledMidRequestCostBoundedMemoryAndNoCpu) {
    constexpr int kStalled = 8;
    const long long before = ResidentBytes();
    // Each declares a request just below the 16 MiB limit and sends a little more than the first
    // 4 KiB of it, so that the receive buffer has to grow once.
    CByteArray start = Hex("b4 83 ff fc 00");
    start.resize(start.size() + 5000, 0x04);
    for (int i = 0; i < kStalled; ++i) {
        ASSERT_TRUE(SendAll(Open(), start));
        ++m_connections;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double cpu0 = CpuMs();
    const double wall0 = WallMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double cpu = CpuMs() - cpu0;
    const double wall = WallMs() - wall0;
    // Buffering ahead of the data to the declared length would hold 8 x 16 MiB here.
    EXPECT_LT(ResidentBytes() - before, 32LL << 20);
    EXPECT_LT(cpu, 0.1 * wall) << cpu << " ms CPU in " << wall << " ms";
    ExpectOthersServed();
    for (int fd : m_clients) {
        pollfd p{fd, POLLIN, 0};
        EXPECT_EQ(0, poll(&p, 1, 0)) << "a stalled client was answered or closed";
    }

    // Giving up ends each association without an answer.
    for (int fd : m_clients)
        shutdown(fd, SHUT_WR);
    for (int fd : m_clients)
        EXPECT_TRUE(ClosedWithoutAnswer(fd));
    ExpectLogged("");
}

// --- many associations ---------------------------------------------------------------------------

// Lowers this process's descriptor limit for the lifetime of the object.
class CLowDescriptorLimit {
public:
    explicit CLowDescriptorLimit(rlim_t limit) {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit low = m_saved;
        low.rlim_cur = std::min<rlim_t>(limit, m_saved.rlim_max);
        m_ok = setrlimit(RLIMIT_NOFILE, &low) == 0;
    }
    ~CLowDescriptorLimit() { setrlimit(RLIMIT_NOFILE, &m_saved); }
    bool Ok() const { return m_ok; }

private:
    rlimit m_saved{};
    bool m_ok = false;
};

TEST_F(BadInput, TwoThousandAssociationsInARowUnderA256DescriptorLimit) {
    CLowDescriptorLimit limit(256);
    ASSERT_TRUE(limit.Ok());
    constexpr int kAssociations = 2000;
    int failed = 0;
    std::string first;
    for (int i = 0; i < kAssociations; ++i) {
        std::string why;
        if (!InitAndClose(m_port, why) && failed++ == 0)
            first = "association " + std::to_string(i) + ": " + why;
    }
    EXPECT_EQ(0, failed) << first << "\n" << OtherLogLines(ReadLogs(m_dir));
    // Ended sessions are deleted as they end, not only on the timed sweep.
    EXPECT_TRUE(vktest::WaitFor([&] { return m_server->GetSize() == 0; }, 500)) << m_server->GetSize();
}

// Ended sessions hold a descriptor until the manager deletes them. With the manager held back and
// only 40 descriptors to spare, new associations wait for it rather than being dropped.
TEST_F(BadInput, AssociationsAtTheDescriptorLimitWaitForAManagerThatIsHeldBack) {
    const auto open = std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                    std::filesystem::directory_iterator{});
    CLowDescriptorLimit limit(static_cast<rlim_t>(open) + 40);
    ASSERT_TRUE(limit.Ok());
    m_server->Suspend();
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        m_server->Resume();
    });
    int failed = 0;
    std::string first;
    for (int i = 0; i < 150; ++i) {
        std::string why;
        if (!InitAndClose(m_port, why) && failed++ == 0)
            first = "association " + std::to_string(i) + ": " + why;
    }
    release.join();
    EXPECT_EQ(0, failed) << first << "\n" << OtherLogLines(ReadLogs(m_dir));
}

TEST_F(BadInput, EightClientsOpenAndInitFiveHundredAssociationsEach) {
    constexpr int kThreads = 8;
    constexpr int kEach = 500;
    std::atomic<int> failed{0};
    std::mutex lock;
    std::vector<std::string> reasons;
    std::vector<std::thread> clients;
    for (int t = 0; t < kThreads; ++t)
        clients.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                std::string why;
                // Half end with a Close, half hang up right after the Init response.
                if (i % 2 ? InitAndHangUp(m_port, why) : InitAndClose(m_port, why))
                    continue;
                ++failed;
                std::lock_guard<std::mutex> guard(lock);
                if (reasons.size() < 5)
                    reasons.push_back("client " + std::to_string(t) + " #" + std::to_string(i) + ": " + why);
            }
        });
    for (std::thread& c : clients)
        c.join();
    std::string all;
    for (const std::string& r : reasons)
        all += r + "\n";
    EXPECT_EQ(0, failed.load()) << all << OtherLogLines(ReadLogs(m_dir));
}

}  // namespace
