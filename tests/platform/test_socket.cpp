// Sockets: socket-pair transfer states, listening, accepting and connecting on loopback.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/socket.h"
#include "platform/syserror.h"

namespace {
class SocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        PlatSocketStartup();
        ASSERT_TRUE(PlatSocketPair(m_a, m_b));
    }
    void TearDown() override {
        for (SOCKET_T s : {m_a, m_b, m_listener}) PlatCloseSocket(s);
        PlatSocketCleanup();
    }
    // Fills the send buffer of m_a until the kernel refuses more; returns the bytes queued.
    size_t FillSendBuffer() {
        std::vector<char> chunk(65536, 'z');
        size_t total = 0;
        for (int i = 0; i < 1000; ++i) {
            long n = PlatSend(m_a, chunk.data(), chunk.size());
            if (n < 0) {
                m_lastStatus = n;
                break;
            }
            total += static_cast<size_t>(n);
        }
        return total;
    }
    SOCKET_T m_a = INVALID_SOCKET_T, m_b = INVALID_SOCKET_T, m_listener = INVALID_SOCKET_T;
    long m_lastStatus = 0;
};

TEST_F(SocketTest, BytesSentArriveInOrder) {
    EXPECT_EQ(PlatSend(m_a, "hello", 5), 5);
    char buf[16] = {};
    EXPECT_EQ(PlatRecv(m_b, buf, sizeof(buf)), 5);
    EXPECT_STREQ(buf, "hello");
}

TEST_F(SocketTest, EmptyNonBlockingReceiveWouldBlock) {
    ASSERT_TRUE(PlatSetNonBlocking(m_b, true));
    char c;
    EXPECT_EQ(PlatRecv(m_b, &c, 1), PLAT_IO_WOULDBLOCK);
}

TEST_F(SocketTest, FullNonBlockingSendWouldBlock) {
    ASSERT_TRUE(PlatSetNonBlocking(m_a, true));
    EXPECT_GT(FillSendBuffer(), 0u);
    EXPECT_EQ(m_lastStatus, PLAT_IO_WOULDBLOCK);
}

TEST_F(SocketTest, ReceiveAfterPeerCloseReportsClosed) {
    PlatCloseSocket(m_b);
    m_b = INVALID_SOCKET_T;
    char c;
    EXPECT_EQ(PlatRecv(m_a, &c, 1), PLAT_IO_CLOSED);
}

TEST_F(SocketTest, SendAfterPeerCloseReportsClosedWithoutSignal) {
    PlatCloseSocket(m_b);
    m_b = INVALID_SOCKET_T;
    // SIGPIPE would kill the test program here if sends did not suppress it.
    EXPECT_EQ(PlatSend(m_a, "x", 1), PLAT_IO_CLOSED);
}

TEST_F(SocketTest, ShutdownEndsThePeersStream) {
    PlatShutdown(m_a);
    char c;
    EXPECT_EQ(PlatRecv(m_b, &c, 1), PLAT_IO_CLOSED);
}

TEST_F(SocketTest, ListenerOnPortZeroAcceptsALoopbackClient) {
    int err = -1;
    m_listener = PlatListen(0, "127.0.0.1", 5, err);
    ASSERT_NE(m_listener, INVALID_SOCKET_T) << PlatSystemErrorText(err);
    EXPECT_EQ(err, 0);
    int port = PlatLocalPort(m_listener);
    ASSERT_GT(port, 0);

    SOCKET_T client = PlatConnect("127.0.0.1", static_cast<unsigned short>(port), err);
    ASSERT_NE(client, INVALID_SOCKET_T) << PlatSystemErrorText(err);
    std::string peer;
    SOCKET_T served = PlatAccept(m_listener, peer, err);
    ASSERT_NE(served, INVALID_SOCKET_T) << PlatSystemErrorText(err);
    EXPECT_EQ(peer, "127.0.0.1");
    EXPECT_EQ(PlatPeerAddress(served), "127.0.0.1");
    EXPECT_EQ(PlatPeerAddress(client), "127.0.0.1");
    EXPECT_EQ(PlatSend(client, "ab", 2), 2);
    char buf[4] = {};
    EXPECT_EQ(PlatRecv(served, buf, sizeof(buf)), 2);
    PlatCloseSocket(client);
    PlatCloseSocket(served);
}

TEST_F(SocketTest, ListeningOnATakenPortFailsWithAddressInUse) {
    int err = 0;
    m_listener = PlatListen(0, "127.0.0.1", 5, err);
    ASSERT_NE(m_listener, INVALID_SOCKET_T);
    int port = PlatLocalPort(m_listener);
    SOCKET_T second = PlatListen(static_cast<unsigned short>(port), "127.0.0.1", 5, err);
    EXPECT_EQ(second, INVALID_SOCKET_T);
    EXPECT_EQ(err, EADDRINUSE);
    EXPECT_FALSE(PlatSystemErrorText(err).empty());
}

TEST_F(SocketTest, MalformedListenAddressIsRejected) {
    int err = 0;
    EXPECT_EQ(PlatListen(0, "300.1.2.3", 5, err), INVALID_SOCKET_T);
    EXPECT_EQ(err, EINVAL);
}

TEST_F(SocketTest, NonBlockingAcceptWithNothingPendingWouldBlock) {
    int err = 0;
    m_listener = PlatListen(0, "127.0.0.1", 5, err);
    ASSERT_NE(m_listener, INVALID_SOCKET_T);
    ASSERT_TRUE(PlatSetNonBlocking(m_listener, true));
    std::string peer = "stale";
    EXPECT_EQ(PlatAccept(m_listener, peer, err), INVALID_SOCKET_T);
    EXPECT_TRUE(err == EAGAIN || err == EWOULDBLOCK);
    EXPECT_EQ(peer, "");
}

TEST_F(SocketTest, ConnectingToAClosedPortFails) {
    int err = 0;
    m_listener = PlatListen(0, "127.0.0.1", 5, err);
    int port = PlatLocalPort(m_listener);
    PlatCloseSocket(m_listener);
    m_listener = INVALID_SOCKET_T;
    EXPECT_EQ(PlatConnect("127.0.0.1", static_cast<unsigned short>(port), err), INVALID_SOCKET_T);
    EXPECT_EQ(err, ECONNREFUSED);
}
}  // namespace
