// The read-settings hook, the port page and the interface page against the stand-ins: what the
// pages preselect, what they write into vk9000.ini and the configuration folder, and when.
#include <unistd.h>

#include "platform/socket.h"
#include "setup/deploykit/deploykit.h"
#include "setup/hostcfg/hostcfg.h"
#include "setup/tui/textwrap.h"
#include "tests/setup/setup_test_util.h"

namespace {

using setuptest::SetupTest;

void WriteText(const std::string& path, const std::string& text) {
    PlatMakeDirectories(path.substr(0, path.rfind('/')));
    ASSERT_EQ(PlatWriteFileAtomic(path, text.data(), text.size()), 0);
}

std::string HostList() {
    std::string joined;
    for (const std::string& h : ReadNETCHAN32Hosts())
        joined += h + ";";
    return joined;
}

class InterfacePageTest : public SetupTest {
protected:
    CSheetMain m_sheet;
    CPageStrataInterface& Page() { return m_sheet.m_pageInterface; }
    bool Reach() { return WalkTo(m_sheet, Page(), InstallerFields()); }
    void Choose(int radio, const std::string& address = "") {
        Page().CheckRadio(radio);
        Page().OnCommand(radio);
        Page().SetItemText(IDC_ADDRESS, address);
    }
};

TEST_F(InterfacePageTest, FirstInstallPreselectsLocalModeOnlyWhenTheKernelHasInstanceLumo) {
    struct Case {
        bool kernelHasLumo;
        bool network;
        const char* dbInstance;
    };
    for (const Case& c : {Case{true, false, "Lumo"}, Case{false, true, "Lumo"}}) {
        SCOPED_TRACE(c.kernelHasLumo);
        std::filesystem::remove_all(m_temp.File("cfg"));
        if (c.kernelHasLumo) {
            std::string error;
            ASSERT_EQ(RegisterKernelInstance(m_temp.File("store/Lumo.strata"), error), 0) << error;
        }
        CSheetMain sheet;
        ASSERT_TRUE(WalkTo(sheet, sheet.m_pageInterface, InstallerFields()));
        EXPECT_EQ(sheet.m_pageInterface.NetworkMode(), c.network);
        EXPECT_EQ(sheet.m_dbInstance, c.dbInstance);
        EXPECT_EQ(sheet.m_pageInterface.GetItemText(IDC_ADDRESS), "");
        // The address and the configuration button follow the mode.
        EXPECT_EQ(sheet.m_pageInterface.Item(IDC_ADDRESS)->enabled, c.network);
        EXPECT_EQ(sheet.m_pageInterface.Item(IDC_CONFIGURE)->enabled, c.network);
        EXPECT_EQ(sheet.m_pageInterface.Item(IDC_ADDRESS_LABEL)->enabled, c.network);
    }
}

TEST_F(InterfacePageTest, ReinstallOverNetchan32uOpensInNetworkModeAndWritesNetchan32) {
    // Keys in other cases than the wizard's own: they match without regard to case.
    WriteText(Ini(), "[STRATA]\r\nINTERFACE=netchan32u.dll\r\ndb instance=Books\r\nVERSION=0\r\n"
                     "[Common]\r\nlistenerport=2200\r\ndbipaddress=db.example\r\n");
    ASSERT_TRUE(Reach());
    EXPECT_EQ(m_sheet.m_port, 2200u);
    EXPECT_TRUE(Page().NetworkMode());
    EXPECT_EQ(Page().GetItemText(IDC_ADDRESS), "db.example");
    ASSERT_TRUE(m_sheet.Next());
    EXPECT_EQ(IniValue("Strata", "interface"), "netchan32.dll");
    EXPECT_EQ(IniValue("Strata", "DB Instance"), "Books");
    EXPECT_EQ(IniValue("Strata", "Version"), "0");
    EXPECT_EQ(IniValue("common", "DBIPAddress"), "db.example");
    EXPECT_EQ(HostList(), "localhost;db.example;");
    EXPECT_EQ(IniValue("common", "ListenerPort"), "2200");  // the file's own, not rewritten yet
}

TEST_F(InterfacePageTest, FirstActivationRegistersBothInterfacesAndLocalhostOnce) {
    ASSERT_TRUE(Reach());
    const std::string file = StrataInterfacesFile();
    EXPECT_EQ(PlatGetProfileString("netchan32.dll", "Network", "", file), "1");
    EXPECT_EQ(PlatGetProfileString("localcore32.dll", "Network", "", file), "0");
    EXPECT_EQ(PlatGetProfileString("localcore32.dll", "Name", "", file), "单机模式");
    EXPECT_EQ(HostList(), "localhost;");
    // A second activation in the same run does not register again.
    PlatDeleteFile(file);
    Choose(IDC_MODE_LOCAL);
    ASSERT_TRUE(m_sheet.Next());
    ASSERT_TRUE(m_sheet.Back());
    EXPECT_FALSE(PlatFileExists(file));
}

TEST_F(InterfacePageTest, NetworkModeWithoutAddressStaysAndWritesNothing) {
    ASSERT_TRUE(Reach());
    Choose(IDC_MODE_NETWORK, "");
    EXPECT_FALSE(m_sheet.Next());
    EXPECT_EQ(&m_sheet.Current(), &Page());
    ASSERT_FALSE(m_host.m_messages.empty());
    EXPECT_EQ(m_host.m_messages.back(), "尚未指定'Z39.50服务器要连接的 Lumo server或Kaltro server地址'...");
    EXPECT_EQ(Page().m_focusRequest, IDC_ADDRESS);
    EXPECT_FALSE(PlatFileExists(Ini()));
}

TEST_F(InterfacePageTest, LocalhostInAnyCaseIsNotAppendedToTheHostList) {
    ASSERT_TRUE(Reach());
    PlatDeleteFile(Netchan32HostsFile());  // registration put "localhost" there; start empty
    Choose(IDC_MODE_NETWORK, "LOCALHOST");
    ASSERT_TRUE(m_sheet.Next());
    EXPECT_EQ(IniValue("common", "DBIPAddress"), "LOCALHOST");
    EXPECT_EQ(HostList(), "");
}

TEST_F(InterfacePageTest, BackAndForthRewritesTheStrataEntriesAndAppendsTheAddressAgain) {
    ASSERT_TRUE(Reach());
    Choose(IDC_MODE_LOCAL);
    ASSERT_TRUE(m_sheet.Next());
    EXPECT_EQ(IniValue("Strata", "interface"), "localcore32.dll");
    EXPECT_EQ(IniValue("common", "DBIPAddress"), "(missing)");  // local mode leaves it alone

    // Back to the port page (the interface page's Back) and forward again, now in network mode.
    ASSERT_TRUE(m_sheet.Back());
    ASSERT_TRUE(m_sheet.Back());
    ASSERT_TRUE(m_sheet.Next());
    ASSERT_EQ(&m_sheet.Current(), &Page());
    Choose(IDC_MODE_NETWORK, "10.1.2.3");
    ASSERT_TRUE(m_sheet.Next());
    EXPECT_EQ(IniValue("Strata", "interface"), "netchan32.dll");
    EXPECT_EQ(IniValue("common", "DBIPAddress"), "10.1.2.3");
    EXPECT_EQ(HostList(), "localhost;10.1.2.3;");

    // Once more: the host list, lost meanwhile, receives the address again.
    PlatDeleteFile(Netchan32HostsFile());
    WriteText(Ini(), "[Strata]\r\ninterface=changed\r\n");
    ASSERT_TRUE(m_sheet.Back());
    ASSERT_TRUE(m_sheet.Back());
    ASSERT_TRUE(m_sheet.Next());
    ASSERT_TRUE(m_sheet.Next());
    EXPECT_EQ(IniValue("Strata", "interface"), "netchan32.dll");
    EXPECT_EQ(IniValue("Strata", "Version"), "1");
    EXPECT_EQ(HostList(), "10.1.2.3;");
}

TEST_F(InterfacePageTest, ConfigureButtonShowsTheErrorOfTheInterfaceConfiguration) {
    ASSERT_TRUE(Reach());
    Choose(IDC_MODE_NETWORK, "db");
    PlatDeleteFile(StrataInterfacesFile());  // not registered any more
    Page().OnCommand(IDC_CONFIGURE);
    ASSERT_EQ(m_host.m_messages.size(), 1u);
    EXPECT_EQ(m_host.m_messages[0], "接口 netchan32.dll 尚未注册为网络模式接口。");
}

TEST_F(InterfacePageTest, ConfigurationFormEditsTheHostListAndSavesItOnOk) {
    ASSERT_TRUE(Reach());  // registers the interfaces, host list "localhost"
    std::string status;
    m_host.m_form = [&](CDialogForm& form) {
        for (const char* host : {"db2:5433", "DB2:5433", "db3"}) {
            form.SetItemText(IDC_HOST_EDIT, host);
            form.OnCommand(IDC_HOST_ADD);
        }
        form.SetItemText(IDC_HOST_EDIT, "LocalHost");
        form.OnCommand(IDC_HOST_REMOVE);
        return form.OnOK() ? VKID_OK : VKID_CANCEL;
    };
    std::string error;
    EXPECT_EQ(CfgStrataIntrefaceDLL("/usr/bin", "netchan32.dll", "Lumo", error), 0) << error;
    EXPECT_EQ(HostList(), "db2:5433;db3;");
    // A front-end without forms is a failure with a text.
    m_host.m_form = [](CDialogForm&) { return -1; };
    EXPECT_EQ(CfgStrataIntrefaceDLL("/usr/bin", "netchan32.dll", "Lumo", error), -1);
    EXPECT_NE(error.find(Netchan32HostsFile()), std::string::npos) << error;
}

TEST(BackendConnectionTest, ReportsSuccessAndRefusal) {
    int error = 0;
    const SOCKET_T listener = PlatListen(0, "127.0.0.1", 4, error);
    const std::string open = "127.0.0.1:" + std::to_string(PlatLocalPort(listener));
    const std::string closed = "127.0.0.1:" + std::to_string(setuptest::FreePort());
    std::string report;
    EXPECT_TRUE(TestBackendConnection(open, 2000, report));
    EXPECT_EQ(report, "连接 " + open + " 成功。");
    EXPECT_FALSE(TestBackendConnection(closed, 2000, report));
    EXPECT_EQ(report, "连接 " + closed + " 被拒绝: 该端口上没有服务程序。");
    PlatCloseSocket(listener);
}

class PortPageTest : public SetupTest {
protected:
    CSheetMain m_sheet;
    CPagePort& Page() { return m_sheet.m_pagePort; }
};

TEST_F(PortPageTest, OnlyNextIsEnabledAndTheFieldShowsTheIniPort) {
    WriteText(Ini(), "[common]\nListenerPort=7777\n");
    ASSERT_TRUE(WalkTo(m_sheet, Page(), InstallerFields()));
    EXPECT_EQ(m_sheet.Buttons(), static_cast<unsigned>(PSWIZB_NEXT));
    EXPECT_EQ(Page().GetItemText(IDC_PORT), "7777");
}

TEST_F(PortPageTest, InvalidPortsAreRefused) {
    ASSERT_TRUE(WalkTo(m_sheet, Page(), InstallerFields()));
    for (const char* text : {"", "abc", "0", "65535", "123456", "-5", "21x"}) {
        SCOPED_TRACE(text);
        Page().SetItemText(IDC_PORT, text);
        EXPECT_FALSE(m_sheet.Next());
        EXPECT_EQ(m_host.m_messages.back(), "请输入 1 到 65534 之间的端口号。");
    }
}

TEST_F(PortPageTest, ATakenPortAnsweredNoStaysAndYesContinues) {
    int error = 0;
    const SOCKET_T listener = PlatListen(0, "", 4, error);
    ASSERT_NE(listener, INVALID_SOCKET_T);
    const int port = PlatLocalPort(listener);
    ASSERT_TRUE(WalkTo(m_sheet, Page(), InstallerFields()));
    Page().SetItemText(IDC_PORT, std::to_string(port));
    m_host.m_answers = {VKID_NO, VKID_YES};
    EXPECT_FALSE(m_sheet.Next());
    EXPECT_EQ(&m_sheet.Current(), &Page());
    EXPECT_EQ(Page().m_focusRequest, IDC_PORT);
    ASSERT_EQ(m_host.m_messages.size(), 1u);
    EXPECT_EQ(m_host.m_messages[0].rfind("安装程序发现端口 " + std::to_string(port) + " 已经被某个服务程序占用。\n\n"
                                         "是否坚持让 Lumo Z39.50服务器(vk9000(u).exe) 使用该端口?", 0), 0u)
        << m_host.m_messages[0];
    EXPECT_TRUE(m_sheet.Next());
    EXPECT_EQ(&m_sheet.Current(), &m_sheet.m_pageInterface);
    EXPECT_EQ(m_sheet.m_port, static_cast<unsigned>(port));
    EXPECT_FALSE(PlatFileExists(Ini()));  // the port is written at Finish only
    PlatCloseSocket(listener);
}

TEST(DetectPortTest, ListeningBoundAndFreePorts) {
    int error = 0;
    const SOCKET_T listener = PlatListen(0, "127.0.0.1", 4, error);
    const int listening = PlatLocalPort(listener);
    std::string text;
    EXPECT_EQ(DetectPortListenning(static_cast<unsigned>(listening), text), 1);
    PlatCloseSocket(listener);
    EXPECT_EQ(DetectPortListenning(static_cast<unsigned>(listening), text), 0) << text;
    EXPECT_EQ(DetectPortListenning(0, text), -1);
    EXPECT_FALSE(text.empty());
}

}  // namespace

namespace {

TEST(InstallerDefaultsTest, ANonRootUserIsOfferedAPortAbove1024AndAFolderUnderHome) {
    EXPECT_EQ(DefaultListenerPort(true), 210u);
    EXPECT_EQ(DefaultListenerPort(false), 2100u);
    EXPECT_EQ(DefaultInstanceFolder("lib1", true), "/var/lib/velkan/lib1");
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "/tmp";
    const char* xdg = std::getenv("XDG_DATA_HOME");
    EXPECT_EQ(DefaultInstanceFolder("lib1", false).rfind(xdg && *xdg == '/' ? xdg : home, 0), 0u);
}

TEST(InstallerDefaultsTest, SizesAreShownInMegabytesOrGigabytes) {
    const struct {
        int64_t bytes;
        const char* text;
    } cases[] = {{-1, "未知"},
                 {0, "0.0 MB"},
                 {74924228LL * 1024, "71.5 GB"},
                 {5 * 1024 * 1024 + 512 * 1024, "5.5 MB"},
                 {1024LL * 1024 * 1024 - 1, "1024.0 MB"},
                 {1024LL * 1024 * 1024, "1.0 GB"}};
    for (const auto& c : cases)
        EXPECT_EQ(SizeText(c.bytes), c.text) << c.bytes;
}

TEST(TextWrapTest, LongValuesBreakAfterAPathSeparatorOrASpace) {
    setlocale(LC_CTYPE, "C.UTF-8");
    const struct {
        const wchar_t* text;
        int width;
        std::vector<std::wstring> lines;
    } cases[] = {
        {L"程序目录: /home/op/velkan/bin", 20, {L"程序目录: /home/op/", L"velkan/bin"}},
        {L"- 如果打算在同一台机器", 10, {L"- 如果打算", L"在同一台机", L"器"}},
        {L"abcdefghij", 4, {L"abcd", L"efgh", L"ij"}},
        {L"one two\nthree", 5, {L"one ", L"two", L"three"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WrapText(c.text, c.width), c.lines) << c.width;
}

}  // namespace
