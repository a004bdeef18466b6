// The configuration sheet's pages, headless against the recording dialog: what they show, what
// Apply writes, the messages, and which changes need a restart.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "server/tunnel.h"
#include "server/tunnelarray.h"
#include "tests/server/server_test_util.h"
#include "tests/ui/recording_dialog.h"

namespace {

const char* const kPortMessage = "端口号的范围应大于 0 并且小于 65535 !";

class CSheetConfigTest : public ::testing::Test {
protected:
    CSheetConfigTest() : m_home("sheet") {
        m_manager.m_homeDir = m_home.Path();
        m_manager.m_settings.Update([](CServerSettings& s) {
            s.m_port = 2100;
            s.m_dbUser = "librarian";
            s.m_interfaceLibrary = "LOCALCORE32.DLL";
        });
    }
    CServerSettings Settings() { return *m_manager.m_settings.Snapshot(); }
    std::string FilterFile() {
        std::ifstream in(m_home.Path() + "vkipfilt.cfg");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    vktest::CTempHome m_home;
    CTunnelArray m_manager;
    CRecordingSheet m_ui{&m_manager};
};

TEST_F(CSheetConfigTest, PortMustBeAboveZeroAndBelow65535) {
    const struct {
        const char* text;
        bool accepted;
        const char* message;  // null: none
    } cases[] = {
        {"65535", false, kPortMessage}, {"0", false, kPortMessage}, {"70000", false, kPortMessage},
        {"65534", true, nullptr},       {"1", true, nullptr},       {"21a", false, "请输入一个正整数。"},
        {"-5", false, "请输入一个正整数。"},
    };
    for (const auto& c : cases) {
        CRecordingSheet ui(&m_manager);
        ui.Show(kPageDatabase);
        CRecordingDialog& page = ui.Show(kPageCommon);
        ui.Show(kPageAuthent);  // Apply starts on another page
        page.m_c[1000].text = c.text;
        m_manager.m_settings.Update([](CServerSettings& s) { s.m_port = 2100; });
        EXPECT_EQ(ui.m_sheet.Apply(), c.accepted) << c.text;
        EXPECT_EQ(Settings().m_port, c.accepted ? std::stoul(c.text) : 2100u) << c.text;
        if (c.message) {
            ASSERT_EQ(page.m_messages.size(), 1u) << c.text;
            EXPECT_EQ(page.m_messages[0], c.message);
        } else {
            EXPECT_TRUE(page.m_messages.empty()) << c.text;
        }
        if (!c.accepted)  // a refused number did not switch to its page
            EXPECT_EQ(ui.m_active, kPageCommon) << c.text;
    }
}

TEST_F(CSheetConfigTest, RefusedPortWritesNothingOfThatPage) {
    CRecordingDialog& page = m_ui.Show(kPageCommon);
    m_ui.Type(1011, "42");
    m_ui.Type(1000, "65535");
    EXPECT_FALSE(m_ui.m_sheet.Apply());
    EXPECT_EQ(Settings().m_timeoutSeconds, 600);
    EXPECT_TRUE(page.m_modified);
}

TEST_F(CSheetConfigTest, PagesNeverOpenedKeepTheirSettings) {
    CRecordingDialog& common = m_ui.Show(kPageCommon);
    m_ui.Type(1011, "30");
    // Changed elsewhere while the sheet is open: no page of the sheet may write it back.
    m_manager.m_settings.Update([](CServerSettings& s) {
        s.m_dbUser = "changed";
        s.m_acceptOpen = false;
        s.m_forbidDatabase = true;
    });
    ASSERT_TRUE(m_ui.m_sheet.Apply());
    const CServerSettings s = Settings();
    EXPECT_EQ(s.m_timeoutSeconds, 30);
    EXPECT_EQ(s.m_dbUser, "changed");
    EXPECT_FALSE(s.m_acceptOpen);
    EXPECT_TRUE(s.m_forbidDatabase);
    EXPECT_FALSE(common.m_modified);  // Apply clears it
    EXPECT_FALSE(std::filesystem::exists(m_home.Path() + "vkipfilt.cfg"));
}

TEST_F(CSheetConfigTest, TimeoutSecondsFollowTheirSwitch) {
    CRecordingDialog& page = m_ui.Show(kPageCommon);
    EXPECT_TRUE(page.m_c[1011].enabled);
    m_ui.Click(1010);
    EXPECT_FALSE(page.m_c[1011].enabled);
    ASSERT_TRUE(m_ui.m_sheet.Apply());
    EXPECT_FALSE(Settings().m_timeoutEnabled);
}

TEST_F(CSheetConfigTest, ModeRadioWritesTheInterfaceAndEnablesTheAddress) {
    CRecordingDialog& page = m_ui.Show(kPageDatabase);
    EXPECT_TRUE(page.m_c[1002].checked);  // "LOCALCORE32.DLL": case does not matter
    EXPECT_FALSE(page.m_c[1009].enabled);
    m_ui.ClickRadio(1003, 1002);
    EXPECT_TRUE(page.m_c[1009].enabled);
    EXPECT_EQ(m_ui.m_sheet.IsNeedRestart(), 1);
    ASSERT_TRUE(m_ui.m_sheet.Apply());
    EXPECT_EQ(Settings().m_interfaceLibrary, "netchan32.dll");
    m_ui.ClickRadio(1002, 1003);
    EXPECT_FALSE(page.m_c[1009].enabled);
    ASSERT_TRUE(m_ui.m_sheet.Apply());
    EXPECT_EQ(Settings().m_interfaceLibrary, "localcore32.dll");
}

TEST_F(CSheetConfigTest, OnlyPortAndBackEndLoginChangesNeedARestart) {
    const struct {
        int page;
        int id;
        bool restart;
    } cases[] = {
        {kPageCommon, 1000, true},    {kPageCommon, 1011, false},  {kPageDatabase, 1009, true},
        {kPageDatabase, 1018, true},  {kPageDatabase, 1019, true}, {kPageDatabase, 1035, false},
        {kPageAuthent, 1021, false},
    };
    for (const auto& c : cases) {
        CRecordingSheet ui(&m_manager);
        ui.Show(c.page);
        ui.Type(c.id, "7");
        EXPECT_EQ(ui.m_sheet.IsNeedRestart(), c.restart ? 1 : 0) << c.id;
    }
    CRecordingSheet ui(&m_manager);
    ui.Show(kPageDatabase);
    ui.Select(1034, 0);
    ui.Click(1030);
    EXPECT_EQ(ui.m_sheet.IsNeedRestart(), 0);
}

TEST_F(CSheetConfigTest, VersionOutOfRangeIsStoredAsKaltro) {
    CRecordingDialog& page = m_ui.Show(kPageDatabase);
    EXPECT_EQ(page.m_c[1034].curSel, 1);
    page.m_c[1034].curSel = -1;
    ASSERT_TRUE(m_ui.m_sheet.Apply());
    EXPECT_EQ(Settings().m_backendVersion, 0);
}

TEST_F(CSheetConfigTest, UncheckingBothFormsWarnsTwiceAndStoresBothOff) {
    CRecordingDialog& page = m_ui.Show(kPageAuthent);
    m_ui.Click(1023);
    m_ui.Click(1024);
    ASSERT_EQ(page.m_messages.size(), 2u);
    EXPECT_EQ(page.m_messages[0], "采用 'open' 权限验证方式的合法用户将不能正常访问!");
    EXPECT_EQ(page.m_messages[1], "采用 'idpass' 权限验证方式的合法用户将不能正常访问!");
    m_ui.Click(1023);  // checking again does not warn
    EXPECT_EQ(page.m_messages.size(), 2u);
    m_ui.Click(1023);
    ASSERT_TRUE(m_ui.m_sheet.Apply());
    EXPECT_FALSE(Settings().m_acceptOpen);
    EXPECT_FALSE(Settings().m_acceptIdPass);
}

TEST_F(CSheetConfigTest, AnonymousSwitchOnlyEnablesItsFields) {
    CRecordingDialog& page = m_ui.Show(kPageAuthent);
    EXPECT_FALSE(page.m_c[1021].enabled);
    m_ui.Click(1020);
    EXPECT_TRUE(page.m_c[1021].enabled);
    EXPECT_TRUE(page.m_c[1022].enabled);
    EXPECT_FALSE(page.m_modified);
    m_ui.ClickRadio(1025, 1026);
    EXPECT_TRUE(page.m_modified);
    ASSERT_TRUE(m_ui.m_sheet.Apply());
    EXPECT_TRUE(Settings().m_allowAnonymous);
    EXPECT_EQ(Settings().m_badLoginAction, 0);
}

TEST_F(CSheetConfigTest, FilterListsShowNewestOnTopAndKeepDuplicates) {
    m_manager.m_ipFilter.SetFilter(0, 1, {}, {"10.0.0.1", "10.0.0.2"});
    CRecordingDialog& page = m_ui.Show(kPageIPFilter);
    EXPECT_EQ(page.m_c[1016].items, (std::vector<std::string>{"10.0.0.2", "10.0.0.1"}));
    EXPECT_EQ(page.m_c[1016].columnWidth, 135);
    EXPECT_FALSE(page.m_c[1013].enabled);  // friends-only is off
    EXPECT_TRUE(page.m_c[1021].enabled);
    m_ui.Click(1012);
    for (int i = 0; i < 2; ++i) {
        page.m_c[1014].text = "127.0.0.1";
        m_ui.Click(1006);
    }
    EXPECT_EQ(page.m_c[1014].text, "");
    m_ui.Click(1006);  // empty entry: nothing added
    page.m_c[1016].selected = {true, false};
    m_ui.Click(1009);
    ASSERT_TRUE(m_ui.m_sheet.Apply());
    int friendsOnly = 0, enemyRefuse = 0;
    std::vector<std::string> friends, enemies;
    m_manager.m_ipFilter.GetFilter(friendsOnly, enemyRefuse, friends, enemies);
    EXPECT_EQ(friendsOnly, 1);
    EXPECT_EQ(friends, (std::vector<std::string>{"127.0.0.1", "127.0.0.1"}));
    EXPECT_EQ(enemies, (std::vector<std::string>{"10.0.0.1"}));
    const std::string file = FilterFile();
    EXPECT_NE(file.find("[friend]\r\n127.0.0.1\r\n127.0.0.1\r\n"), std::string::npos) << file;
}

TEST_F(CSheetConfigTest, EmptyFilterListsDeleteTheFile) {
    m_manager.m_ipFilter.SetFilter(0, 1, {}, {"10.0.0.1"});
    m_manager.m_ipFilter.DumpToFile((m_home.Path() + "vkipfilt.cfg").c_str());
    ASSERT_FALSE(FilterFile().empty());
    CRecordingDialog& page = m_ui.Show(kPageIPFilter);
    page.m_c[1016].selected = {true};
    m_ui.Click(1009);
    ASSERT_TRUE(m_ui.m_sheet.Apply());
    EXPECT_FALSE(std::filesystem::exists(m_home.Path() + "vkipfilt.cfg"));
}

}  // namespace
