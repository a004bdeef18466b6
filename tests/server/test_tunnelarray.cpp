// CTunnelArray: the idle sweep, removal, stop, the session list's columns and menu, identities.
#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "berkit/codepage.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"
#include "tests/server/server_test_util.h"
#include "tests/ui/recording_widgets.h"

using namespace vktest;

namespace {

class CTunnelArrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_manager.m_homeDir = m_home.Path();
        m_manager.m_log.SetFolder(m_home.Path());
        m_manager.m_settings.Update([&](CServerSettings& s) {
            s.m_timeoutEnabled = false;
            s.m_timeoutSeconds = 5;
        });
        m_port = FreePort();
        m_manager.m_settings.Update([&](CServerSettings& s) { s.m_port = static_cast<unsigned>(m_port); });
        m_manager.SetListCtrl(&m_ctrl);
        ASSERT_TRUE(m_manager.ListenerStart());
    }
    void TearDown() override {
        m_manager.Stop();
        for (SOCKET_T c : m_clients)
            PlatCloseSocket(c);
    }
    // Connects `n` clients and waits until each has its session.
    void OpenSessions(int n) {
        for (int i = 0; i < n; ++i)
            m_clients.push_back(Connect(m_port));
        ASSERT_TRUE(WaitFor([&] { return m_manager.GetSize() == n; }, 3000)) << m_manager.GetSize();
    }

    CRecordingListCtrl m_ctrl;
    CTempHome m_home{"manager"};
    CTunnelArray m_manager;
    int m_port = 0;
    std::vector<SOCKET_T> m_clients;
};

TEST_F(CTunnelArrayTest, WithTheTimeOutOffIdleSessionsAreNeverClosed) {
    m_manager.m_settings.Update([&](CServerSettings& s) { s.m_timeoutSeconds = 0; });
    m_manager.Create(false, nullptr);
    OpenSessions(1);
    m_manager.GetAt(0)->m_lastActive = time(nullptr) - 100000;
    EXPECT_FALSE(ClosedByServer(m_clients[0], 2500));
    EXPECT_EQ(m_manager.GetSize(), 1);
}

TEST_F(CTunnelArrayTest, SessionIdleExactlyTheTimeOutIsKeptOneSecondMoreClosesIt) {
    m_manager.m_settings.Update([&](CServerSettings& s) { s.m_timeoutEnabled = true; });
    OpenSessions(1);
    CTunnel* t = m_manager.GetAt(0);
    t->m_lastActive = time(nullptr) - 5;
    m_manager.Sweep();
    EXPECT_EQ(m_manager.GetSize(), 1);
    EXPECT_TRUE(t->IsActive());

    t->m_lastActive = time(nullptr) - 7;
    m_manager.Sweep();
    EXPECT_EQ(m_manager.GetSize(), 0);
    EXPECT_EQ(m_ctrl.ItemCount(), 0);
    EXPECT_TRUE(ClosedByServer(m_clients[0], 1000));
}

TEST_F(CTunnelArrayTest, IdleSessionIsClosedByTheManagerWithinTheTimeOutAndASweep) {
    m_manager.m_settings.Update([&](CServerSettings& s) {
        s.m_timeoutEnabled = true;
        s.m_timeoutSeconds = 1;
    });
    m_manager.Create(false, nullptr);
    OpenSessions(1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(ClosedByServer(m_clients[0], 4000));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(ms, 3300);  // more than 1 s idle (whole seconds, so up to 2 s) + one sweep
}

TEST_F(CTunnelArrayTest, SelfClosedSessionDisappearsWithinASweep) {
    m_manager.Create(false, nullptr);
    OpenSessions(2);
    EXPECT_EQ(m_ctrl.ItemCount(), 2);
    PlatCloseSocket(m_clients[0]);
    m_clients.erase(m_clients.begin());
    // The manager takes the session out of the list, then tells the control: wait for both.
    EXPECT_TRUE(WaitFor([&] { return m_manager.GetSize() == 1 && m_ctrl.ItemCount() == 1; }, 1600));
    EXPECT_EQ(m_ctrl.ItemCount(), 1);
    EXPECT_EQ(m_ctrl.LastCountFlags(), VKLVSICF_REPAINT);
}

TEST_F(CTunnelArrayTest, RemoveTunnelIgnoresUnknownPointersAndTheFlag) {
    OpenSessions(1);
    CTunnel* t = m_manager.GetAt(0);
    CTunnel stranger;
    m_manager.RemoveTunnel(&stranger, false);
    m_manager.RemoveTunnel(t, true);
    m_manager.RemoveTunnel(nullptr, false);
    EXPECT_TRUE(t->IsActive());
    EXPECT_FALSE(ClosedByServer(m_clients[0], 200));

    m_manager.RemoveTunnel(t, false);
    EXPECT_FALSE(t->IsActive());
    EXPECT_TRUE(ClosedByServer(m_clients[0], 1000));
    EXPECT_EQ(m_manager.GetSize(), 1);  // listed until the next sweep
    m_manager.Sweep();
    EXPECT_EQ(m_manager.GetSize(), 0);
}

TEST_F(CTunnelArrayTest, StopEndsEverySessionAndEmptiesTheList) {
    m_manager.Create(false, nullptr);
    OpenSessions(3);
    m_manager.Stop();
    EXPECT_EQ(m_manager.GetSize(), 0);
    EXPECT_EQ(m_ctrl.ItemCount(), 0);
    EXPECT_FALSE(m_manager.IsRunning());
    EXPECT_EQ(m_manager.GetListenerPort(), -1);
    for (SOCKET_T c : m_clients)
        EXPECT_TRUE(ClosedByServer(c, 1000));
}

TEST_F(CTunnelArrayTest, SessionListHasSevenTitledColumns) {
    const char* titles[] = {"通道 ID", "IP 地址", "用户名", "状态", "请求数", "调试信息", "通道创建时间"};
    const int widths[] = {120, 120, 120, 100, 80, 180, 200};
    ASSERT_EQ(m_ctrl.m_columns.size(), 7u);
    for (int c = 0; c < 7; ++c) {
        EXPECT_EQ(m_ctrl.m_columns[c].title, OperatorText(titles[c]));
        EXPECT_EQ(m_ctrl.m_columns[c].width, widths[c]);
    }
    std::string title;
    int width = 0;
    EXPECT_EQ(m_manager.GetColumnProp(7, title, width), -1);
}

TEST_F(CTunnelArrayTest, MenuIsGreyedWithoutSelectionAndItsCommandClosesTheSelectedSession) {
    OpenSessions(2);
    IWindow owner;
    m_manager.OnListCtrlRightClick(&owner);
    ASSERT_EQ(m_ctrl.m_trackedMenus.size(), 1u);
    ASSERT_EQ(m_ctrl.m_trackedMenus[0].size(), 1u);
    EXPECT_EQ(m_ctrl.m_trackedMenus[0][0].text, " " + OperatorText("删除本通道"));
    EXPECT_FALSE(m_ctrl.m_trackedMenus[0][0].enabled);

    m_ctrl.m_selected = 1;
    m_manager.OnListCtrlRightClick(&owner);
    EXPECT_EQ(m_ctrl.m_trackedMenus[1][0].text, OperatorText("删除本通道"));
    EXPECT_TRUE(m_ctrl.m_trackedMenus[1][0].enabled);
    CTunnel* selected = m_manager.GetAt(1);
    EXPECT_EQ(m_manager.OnListCtrlCommand(kCmdRemoveTunnel), 0);
    EXPECT_FALSE(selected->IsActive());
    EXPECT_TRUE(m_manager.GetAt(0)->IsActive());
}

TEST_F(CTunnelArrayTest, SessionRowShowsItsIdentityAndAddress) {
    OpenSessions(1);
    char text[64];
    VKDispInfo info;
    info.mask = VKLVIF_TEXT | VKLVIF_IMAGE;
    info.subItem = 1;
    info.text = text;
    info.textMax = sizeof text;
    ASSERT_EQ(m_manager.GetDispInfo(info), 0);
    EXPECT_STREQ(text, "127.0.0.1");
    EXPECT_EQ(info.image, 2);
    info.subItem = 0;
    ASSERT_EQ(m_manager.GetDispInfo(info), 0);
    char expected[16];
    snprintf(expected, sizeof expected, "%08x", m_manager.GetAt(0)->GetId());
    EXPECT_STREQ(text, expected);
}

TEST_F(CTunnelArrayTest, IdentitiesAreNonZeroAndUniqueAmongLiveSessions) {
    std::set<uint32_t> live;
    for (int i = 0; i < 1000; ++i)
        live.insert(m_manager.AllocTunnelId());
    EXPECT_EQ(live.size(), 1000u);
    EXPECT_EQ(live.count(0u), 0u);
    for (uint32_t id : live)
        m_manager.ReleaseTunnelId(id);
    const uint32_t again = m_manager.AllocTunnelId();
    EXPECT_NE(again, 0u);
}

}  // namespace
