// CListener through CTunnelArray::ListenerStart/ListenerStop: binding, refusals, hand-over of
// accepted connections, prompt stop and its log line.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <set>

#include "platform/file.h"
#include "platform/localtime.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"
#include "tests/server/server_test_util.h"

using namespace vktest;

namespace {

// A blocking connection to 127.0.0.1:port from the loopback address `source` (127.x.y.z).
SOCKET_T ConnectFrom(const char* source, int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    to.sin_port = htons(static_cast<uint16_t>(port));
    const int one = 1;  // the port is picked at connect: binding thousands of times stays quick
    ::setsockopt(s, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    if (::bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(s);
        return INVALID_SOCKET_T;
    }
    return s;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class CListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_manager.m_homeDir = m_home.Path();
        m_manager.m_log.SetFolder(m_home.Path());
        m_manager.m_settings.Update([&](CServerSettings& s) { s.m_timeoutEnabled = false; });
        m_port = FreePort();
        m_manager.m_settings.Update([&](CServerSettings& s) { s.m_port = static_cast<unsigned>(m_port); });
    }
    std::string TodaysLog() {
        std::string text;
        PlatReadFile(m_home.Path() + PlatFormatLocalTime("%Y%m%d", time(nullptr)) + ".log", text,
                     1 << 20);
        return text;
    }

    CTempHome m_home{"listener"};
    CTunnelArray m_manager;
    int m_port = 0;
};

TEST_F(CListenerTest, PortInUseMakesListenerStartFail) {
    int error = 0;
    SOCKET_T taken = PlatListen(static_cast<unsigned short>(m_port), "", 5, error);
    ASSERT_NE(taken, INVALID_SOCKET_T);
    EXPECT_FALSE(m_manager.ListenerStart());
    EXPECT_EQ(m_manager.GetListenerError(), EADDRINUSE);
    EXPECT_EQ(m_manager.GetListenerPort(), -1);
    PlatCloseSocket(taken);
}

TEST_F(CListenerTest, StartingTwiceLeavesOneListenerOnThePort) {
    ASSERT_TRUE(m_manager.ListenerStart());
    ASSERT_TRUE(m_manager.ListenerStart());  // the first one released the port
    EXPECT_EQ(m_manager.GetListenerPort(), m_port);
    int error = 0;
    EXPECT_EQ(PlatListen(static_cast<unsigned short>(m_port), "", 5, error), INVALID_SOCKET_T);
    SOCKET_T c = Connect(m_port);
    ASSERT_NE(c, INVALID_SOCKET_T);
    EXPECT_TRUE(WaitFor([&] { return m_manager.GetSize() == 1; }, 2000));
    PlatCloseSocket(c);
}

TEST_F(CListenerTest, StopIsPromptAndLogsTheListenerLine) {
    ASSERT_TRUE(m_manager.ListenerStart());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = std::chrono::steady_clock::now();
    m_manager.ListenerStop();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(ms, 150);
    const std::string log = TodaysLog();
    const std::string line = "listener destroyed: " + std::to_string(m_port) + "\r\n";
    ASSERT_GE(log.size(), line.size());
    EXPECT_EQ(log.substr(log.size() - line.size()), line);
    EXPECT_NE(log.find("info     \t" + line), std::string::npos);
    SOCKET_T c = Connect(m_port);
    EXPECT_EQ(c, INVALID_SOCKET_T);  // nothing listens any more
    PlatCloseSocket(c);
}

TEST_F(CListenerTest, EnemyIsClosedAtOnceAndGetsNoSession) {
    m_manager.m_ipFilter.SetFilter(0, 1, {}, {"127.0.0.1"});
    ASSERT_TRUE(m_manager.ListenerStart());
    SOCKET_T c = Connect(m_port);
    ASSERT_NE(c, INVALID_SOCKET_T);
    EXPECT_TRUE(ClosedByServer(c, 1000));
    EXPECT_EQ(m_manager.GetSize(), 0);
    PlatCloseSocket(c);
}

TEST_F(CListenerTest, ForbiddenDatabaseClosesEveryConnectionWhateverTheFilterSays) {
    m_manager.m_ipFilter.SetFilter(1, 0, {"127.0.0.1"}, {});
    m_manager.m_settings.Update([&](CServerSettings& s) { s.m_forbidDatabase = true; });
    ASSERT_TRUE(m_manager.ListenerStart());
    for (int i = 0; i < 3; ++i) {
        SOCKET_T c = Connect(m_port);
        ASSERT_NE(c, INVALID_SOCKET_T);
        EXPECT_TRUE(ClosedByServer(c, 1000));
        PlatCloseSocket(c);
    }
    EXPECT_EQ(m_manager.GetSize(), 0);
}

TEST_F(CListenerTest, ForbiddenServiceRefusesUntilSwitchedOffAndLogsEachSwitchOnce) {
    m_manager.m_settings.Update([&](CServerSettings& s) { s.m_forbidService = true; });
    ASSERT_TRUE(m_manager.ListenerStart());
    for (int i = 0; i < 3; ++i) {
        SOCKET_T c = Connect(m_port);
        ASSERT_NE(c, INVALID_SOCKET_T);
        EXPECT_TRUE(ClosedByServer(c, 1000));
        PlatCloseSocket(c);
    }
    EXPECT_EQ(m_manager.GetSize(), 0);
    EXPECT_EQ(m_manager.m_metrics.GetRefused(CMetricRefusal::kServiceOff), 3u);
    m_manager.m_settings.Update([&](CServerSettings& s) { s.m_forbidService = false; });
    SOCKET_T c = Connect(m_port);
    ASSERT_NE(c, INVALID_SOCKET_T);
    EXPECT_TRUE(WaitFor([&] { return m_manager.GetSize() == 1; }, 2000));
    PlatCloseSocket(c);
    const std::string log = TodaysLog();
    const size_t off = log.find("Z39.50 service forbidden");
    ASSERT_NE(off, std::string::npos);
    EXPECT_EQ(log.find("Z39.50 service forbidden", off + 1), std::string::npos);
    EXPECT_NE(log.find("Z39.50 service allowed again", off), std::string::npos);
}

TEST_F(CListenerTest, AnAddressFloodingPastItsLimitsLeavesOtherAddressesTheirSessions) {
    struct Row {
        int maxSessions, maxPerMinute;
        const char* flooder;
        int held;          // sessions the flooder keeps open before its flood
        uint64_t refused;  // of the flood's 5,000 connections
        const char* logged;
    } rows[] = {
        {3, 0, "127.0.0.3", 3, 5000, "connections of 127.0.0.3 refused: 3 sessions open"},
        {0, 20, "127.0.0.4", 0, 4980, "connections of 127.0.0.4 refused: over 20 a minute"},
    };
    ASSERT_TRUE(m_manager.ListenerStart());
    for (const Row& row : rows) {
        m_manager.m_settings.Update([&](CServerSettings& s) {
            s.m_maxSessionsPerAddress = row.maxSessions;
            s.m_maxConnectsPerMinute = row.maxPerMinute;
        });
        const uint64_t before = m_manager.m_metrics.GetRefused(CMetricRefusal::kAddressLimit);
        std::vector<SOCKET_T> held;
        for (int i = 0; i < row.held; ++i)
            held.push_back(ConnectFrom(row.flooder, m_port));
        ASSERT_TRUE(WaitFor([&] { return m_manager.m_addressLimits.Sessions(row.flooder) == row.held; }, 3000));
        // Each closed once the server has answered (refused ones at once): a client closing
        // first leaves its port in TIME_WAIT, and loopback SYNs then wait for retries.
        for (int i = 0; i < 5000; ++i) {
            SOCKET_T c = ConnectFrom(row.flooder, m_port);
            ClosedByServer(c, 50);
            PlatCloseSocket(c);
        }
        SOCKET_T other = ConnectFrom("127.0.0.2", m_port);
        ASSERT_NE(other, INVALID_SOCKET_T);
        EXPECT_TRUE(WaitFor([&] { return m_manager.m_addressLimits.Sessions("127.0.0.2") == 1; }, 3000));
        EXPECT_FALSE(ClosedByServer(other, 100));
        EXPECT_TRUE(WaitFor([&] {
            return m_manager.m_metrics.GetRefused(CMetricRefusal::kAddressLimit) - before == row.refused;
        }, 5000)) << m_manager.m_metrics.GetRefused(CMetricRefusal::kAddressLimit) - before;
        EXPECT_EQ(Count(TodaysLog(), row.logged), 1u) << row.logged;
        for (SOCKET_T s : held)
            PlatCloseSocket(s);
        PlatCloseSocket(other);
        EXPECT_TRUE(WaitFor([&] {
            m_manager.Sweep();  // no manager thread runs here
            return m_manager.GetSize() == 0;
        }, 5000));
    }
}

TEST_F(CListenerTest, ClientsConnectingTogetherAllGetSessionsWithDistinctIdentities) {
    ASSERT_TRUE(m_manager.ListenerStart());
    std::vector<SOCKET_T> clients;
    for (int i = 0; i < 8; ++i)
        clients.push_back(Connect(m_port));
    ASSERT_TRUE(WaitFor([&] { return m_manager.GetSize() == 8; }, 3000)) << m_manager.GetSize();
    std::set<uint32_t> ids;
    for (int i = 0; i < 8; ++i)
        ids.insert(m_manager.GetAt(i)->GetId());
    EXPECT_EQ(ids.size(), 8u);
    EXPECT_EQ(ids.count(0u), 0u);
    for (SOCKET_T c : clients) {
        EXPECT_FALSE(ClosedByServer(c, 0));
        PlatCloseSocket(c);
    }
}

}  // namespace
