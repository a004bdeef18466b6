// Z39.50 over TLS through a real TLS listener: a request is answered inside TLS, a plain-text
// client is refused, and a client that never finishes its handshake holds its session no longer
// than the idle time-out.
#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <cstdlib>

#include "server/tunnelarray.h"
#include "tests/server/server_test_util.h"
#include "tests/server/test_tunnel_client.h"

namespace {

class CTlsListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string cert = m_home.Path() + "c.pem", key = m_home.Path() + "k.pem";
        ASSERT_EQ(std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " +
                               key + " -out " + cert + " >/dev/null 2>&1").c_str()), 0);
        std::string error;
        EXPECT_FALSE(m_manager.m_tlsContext.Load(cert, m_home.Path() + "missing.pem", error));
        EXPECT_NE(error.find("missing.pem"), std::string::npos);
        ASSERT_TRUE(m_manager.m_tlsContext.Load(cert, key, error)) << error;
        m_manager.m_homeDir = m_home.Path();
        m_manager.m_log.SetFolder(m_home.Path());
        m_port = vktest::FreePort();
        m_manager.m_settings.Update([&](CServerSettings& s) {
            s.m_plainPort = false;
            s.m_tlsPort = m_port;
            s.m_timeoutEnabled = true;
            s.m_timeoutSeconds = 1;
        });
        m_manager.Create(false, nullptr);  // the sweep closes idle sessions
        ASSERT_TRUE(m_manager.ListenerStart());
        ASSERT_EQ(m_manager.GetListenerPort(), -1);
        ASSERT_EQ(m_manager.GetTlsListenerPort(), m_port);
    }

    vktest::CTempHome m_home{"tls"};
    CTunnelArray m_manager;
    int m_port = 0;
};

TEST_F(CTlsListenerTest, AnInitIsAnsweredInsideTls) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL* ssl = SSL_new(ctx);
    SOCKET_T c = vktest::Connect(m_port);
    ASSERT_NE(c, INVALID_SOCKET_T);
    SSL_set_fd(ssl, c);
    ASSERT_EQ(SSL_connect(ssl), 1);
    EXPECT_GE(SSL_version(ssl), TLS1_2_VERSION);
    const CByteArray init = tunneltest::InitAnonymous();
    ASSERT_EQ(SSL_write(ssl, init.data(), static_cast<int>(init.size())), static_cast<int>(init.size()));
    unsigned char answer[4096];
    const int n = SSL_read(ssl, answer, sizeof answer);
    ASSERT_GT(n, 2);
    EXPECT_EQ(answer[0], 0xb5);  // initResponse
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    PlatCloseSocket(c);
}

TEST_F(CTlsListenerTest, PlainClientsAndStalledHandshakesAreClosedWithinTheIdleTimeOut) {
    SOCKET_T plain = vktest::Connect(m_port);
    ASSERT_TRUE(tunneltest::SendAll(plain, tunneltest::InitAnonymous()));
    EXPECT_TRUE(vktest::ClosedByServer(plain, 1000));  // not a TLS hello: the handshake fails
    SOCKET_T stalled = vktest::Connect(m_port);
    ASSERT_NE(stalled, INVALID_SOCKET_T);
    EXPECT_TRUE(vktest::WaitFor([&] { return m_manager.GetSize() >= 1; }, 2000));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(vktest::ClosedByServer(stalled, 4000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000 + 1100 + 900));
    EXPECT_TRUE(vktest::WaitFor([&] { return m_manager.GetSize() == 0; }, 3000));
    PlatCloseSocket(plain);
    PlatCloseSocket(stalled);
}

}  // namespace
