// vk9000's side of the console: the listen address, the operator password from standard input,
// saving after Apply, and restarting the listener without dropping the open sessions.
#include <gtest/gtest.h>

#include <cstdlib>

#include "host/console.h"
#include "host/hostsettings.h"
#include "platform/inifile.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"
#include "tests/server/server_test_util.h"
#include "ui/web/consoleauth.h"

namespace {

TEST(ConsoleListen, AddressDefaultsToLoopbackAndPortIsChecked) {
    const struct {
        const char* text;
        bool ok;
        const char* address;
        int port;
    } cases[] = {
        {"8210", true, "127.0.0.1", 8210},     {"0.0.0.0:80", true, "0.0.0.0", 80},
        {"[::1]:8210", true, "::1", 8210},     {"localhost:0", true, "localhost", 0},
        {"65536", false, "", 0},               {":8210", false, "", 0},
        {"host:", false, "", 0},               {"82x0", false, "", 0},
        {"-1", false, "", 0},
    };
    for (const auto& c : cases) {
        std::string address, error;
        int port = -1;
        EXPECT_EQ(ParseConsoleListen(c.text, address, port, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(address, c.address) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        } else {
            EXPECT_FALSE(error.empty()) << c.text;
        }
    }
}

TEST(ConsolePasswordOption, ReadsStandardInputAndStoresOnlyAHash) {
    vktest::CTempHome home("consolepw");
    const std::string exe = std::string(std::getenv("VELKAN_BINARY_DIR")) + "/bin/vk9000";
    const std::string ini = home.Path() + "vk9000.ini";
    const std::string run = exe + " --home " + home.Path() + " --set-console-password >/dev/null 2>&1";
    EXPECT_EQ(std::system(("printf 's3cret pass\\n' | " + run).c_str()), 0);
    const std::string hash = PlatGetProfileString("Console", "PasswordHash", "", ini);
    EXPECT_TRUE(VerifyConsolePassword("s3cret pass", hash));
    EXPECT_EQ(hash.find("s3cret"), std::string::npos);
    EXPECT_NE(std::system(("printf '' | " + run).c_str()), 0);
    EXPECT_EQ(PlatGetProfileString("Console", "PasswordHash", "", ini), hash);
}

class CConsoleHostTest : public ::testing::Test {
protected:
    CConsoleHostTest() : m_home("consolehost") {
        m_manager.m_homeDir = m_home.Path();
        m_manager.m_log.SetFolder(m_home.Path());
    }
    void SetPort(unsigned port) {
        m_manager.m_settings.Update([port](CServerSettings& s) { s.m_port = port; });
    }
    CServerSettings Saved() {
        CServerSettings s;
        std::string error;
        EXPECT_TRUE(ReadHostSettings(m_home.Path() + "vk9000.ini", s, error)) << error;
        return s;
    }

    vktest::CTempHome m_home;
    CTunnelArray m_manager;
};

TEST_F(CConsoleHostTest, SaveKeepsTheInstancePortUnderACommandLinePort) {
    PlatWriteProfileString("common", "ListenerPort", "2100", m_home.Path() + "vk9000.ini");
    SetPort(4321);  // as --port 4321 set it
    CConsoleHost host(m_manager, m_home.Path(), 4321);
    m_manager.m_settings.Update([](CServerSettings& s) { s.m_timeoutSeconds = 321; });
    std::string error;
    ASSERT_TRUE(host.SaveSettings(error)) << error;
    EXPECT_EQ(Saved().m_port, 2100u);
    EXPECT_EQ(Saved().m_timeoutSeconds, 321);
    SetPort(2101);  // the operator's own change is saved
    ASSERT_TRUE(host.SaveSettings(error)) << error;
    EXPECT_EQ(Saved().m_port, 2101u);
}

TEST_F(CConsoleHostTest, RestartingTheListenerKeepsOpenSessions) {
    const int first = vktest::FreePort();
    SetPort(static_cast<unsigned>(first));
    m_manager.Create(false, nullptr);
    ASSERT_TRUE(m_manager.ListenerStart());
    const SOCKET_T client = vktest::Connect(first);
    ASSERT_TRUE(vktest::WaitFor([&] { return m_manager.GetSize() == 1; }, 2000));

    CConsoleHost host(m_manager, m_home.Path(), -1);
    // A port somebody else holds is refused, and the old listener stays.
    int code = 0;
    const SOCKET_T taken = PlatListen(0, "", 1, code);
    SetPort(static_cast<unsigned>(PlatLocalPort(taken)));
    std::string error;
    EXPECT_FALSE(host.RestartListener(error));
    EXPECT_NE(error.find("cannot listen"), std::string::npos);
    EXPECT_EQ(m_manager.GetListenerPort(), first);
    PlatCloseSocket(taken);

    const int second = vktest::FreePort();
    SetPort(static_cast<unsigned>(second));
    ASSERT_TRUE(host.RestartListener(error)) << error;
    EXPECT_EQ(m_manager.GetListenerPort(), second);
    const SOCKET_T late = vktest::Connect(second);
    EXPECT_TRUE(vktest::WaitFor([&] { return m_manager.GetSize() == 2; }, 2000));
    EXPECT_FALSE(vktest::ClosedByServer(client, 200));
    PlatCloseSocket(client);
    PlatCloseSocket(late);
    m_manager.Stop();
}

}  // namespace
