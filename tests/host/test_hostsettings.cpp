// vk9000.ini <-> CServerSettings -> CTunnelArray: defaults, the setup program's keys, range checks,
// saving.
#include <gtest/gtest.h>

#include <cstdlib>

#include "host/demoinstance.h"
#include "host/hostsettings.h"
#include "platform/file.h"
#include "platform/inifile.h"
#include "server/tunnelarray.h"
#include "setup/coralib/coralib.h"
#include "tests/server/server_test_util.h"

namespace {

class CServerSettingsTest : public ::testing::Test {
protected:
    std::string WriteIni(const std::string& text) {
        const std::string file = m_home.Path() + "vk9000.ini";
        EXPECT_EQ(PlatWriteFileAtomic(file, text.data(), text.size()), 0);
        return file;
    }
    vktest::CTempHome m_home{"hostini"};
};

TEST_F(CServerSettingsTest, MissingFileGivesTheDocumentedDefaults) {
    CServerSettings s;
    std::string error;
    ASSERT_TRUE(ReadHostSettings(m_home.Path() + "none.ini", s, error)) << error;
    EXPECT_EQ(s.m_port, 210u);
    EXPECT_EQ(s.m_interfaceLibrary, "localcore32.dll");
    EXPECT_EQ(s.m_instanceName, "Lumo");
    EXPECT_EQ(s.m_maxRequestBytes, 16 * 1024 * 1024);
    EXPECT_FALSE(s.m_allowAnonymous);
    EXPECT_EQ(s.m_badLoginAction, 1);
}

TEST_F(CServerSettingsTest, ReadServersSplitAtCommasWithBlanksAndEmptyNamesLeftOut) {
    const struct {
        const char* m_text;
        std::vector<std::string> m_servers;
    } cases[] = {
        {"", {}},
        {"db2", {"db2"}},
        {" db2:5433 , [::1]:5434,,db4 ", {"db2:5433", "[::1]:5434", "db4"}},
        {" , ", {}},
    };
    for (const auto& c : cases) {
        CServerSettings s;
        s.m_readServers = c.m_text;
        EXPECT_EQ(BackendNetOptions(s).m_readServers, c.m_servers) << "[" << c.m_text << "]";
    }
}

TEST_F(CServerSettingsTest, SampleFileStatesExactlyTheDefaults) {
    const char* src = std::getenv("VELKAN_SOURCE_DIR");
    ASSERT_NE(src, nullptr);
    CServerSettings fromSample;
    std::string error;
    ASSERT_TRUE(ReadHostSettings(std::string(src) + "/host/vk9000.ini.sample", fromSample, error));
    // Start from values unlike every default, so a key missing from the sample shows up.
    CServerSettings odd;
    odd.m_port = 1;
    odd.m_timeoutSeconds = 1;
    odd.m_maxRequestBytes = 2048;
    odd.m_allowAnonymous = true;
    odd.m_anonymousUser = "x";
    odd.m_instanceName = "x";
    odd.m_backendFolder = "x";
    odd.m_diagnostics = CDiagnosticsMode::kBib1;
    odd.m_defaultUseAttribute = 4;
    odd.m_maxConnections = 1;
    ASSERT_TRUE(ReadHostSettings(std::string(src) + "/host/vk9000.ini.sample", odd, error));
    const CServerSettings def;
    for (const CServerSettings* s : {&fromSample, &odd}) {
        EXPECT_EQ(s->m_port, def.m_port);
        EXPECT_EQ(s->m_timeoutSeconds, def.m_timeoutSeconds);
        EXPECT_EQ(s->m_maxRequestBytes, def.m_maxRequestBytes);
        EXPECT_EQ(s->m_allowAnonymous, def.m_allowAnonymous);
        EXPECT_EQ(s->m_anonymousUser, def.m_anonymousUser);
        EXPECT_EQ(s->m_instanceName, def.m_instanceName);
        EXPECT_EQ(s->m_backendFolder, def.m_backendFolder);
        EXPECT_EQ(s->m_diagnostics, def.m_diagnostics);
        EXPECT_EQ(s->m_defaultUseAttribute, def.m_defaultUseAttribute);
        EXPECT_EQ(s->m_maxConnections, def.m_maxConnections);
    }
}

TEST_F(CServerSettingsTest, SetupKeysAndOwnSectionsReachTheManager) {
    const std::string ini = WriteIni(
        "[common]\r\nListenerPort=2100\r\nDBIPAddress=db.example\r\n"
        "[Strata]\r\ninterface=netchan32.dll\r\nDB Instance=Kx\r\nVersion=0\r\n"
        "[Server]\r\nTimeoutEnabled=0\r\nMaxRequestBytes=4096\r\nLogPackets=1\r\n"
        "[Access]\r\nAllowAnonymous=1\r\nAnonymousUser=guest\r\nBadLoginAction=0\r\n");
    CServerSettings s;
    std::string error;
    ASSERT_TRUE(ReadHostSettings(ini, s, error)) << error;
    CTunnelArray m;
    ApplyHostSettings(s, m_home.Path(), m);
    const auto got = m.m_settings.Snapshot();
    EXPECT_EQ(got->m_port, 2100u);
    EXPECT_EQ(got->m_serverAddress, "db.example");
    EXPECT_EQ(got->m_interfaceLibrary, "netchan32.dll");
    EXPECT_EQ(got->m_instanceName, "Kx");
    EXPECT_EQ(got->m_backendVersion, 0);
    EXPECT_FALSE(got->m_timeoutEnabled);
    EXPECT_EQ(got->m_maxRequestBytes, 4096);
    EXPECT_TRUE(got->m_logPackets);
    EXPECT_TRUE(got->m_allowAnonymous);
    EXPECT_EQ(got->m_anonymousUser, "guest");
    EXPECT_EQ(got->m_badLoginAction, 0);
    EXPECT_EQ(m.m_homeDir.Get(), m_home.Path());
}

TEST_F(CServerSettingsTest, OutOfRangeValuesAreRefusedWithTheKeyNamed) {
    const struct {
        const char* ini;
        const char* key;
    } rows[] = {
        {"[common]\nListenerPort=0\n", "ListenerPort"},
        {"[common]\nListenerPort=65535\n", "ListenerPort"},
        {"[Server]\nTimeoutSeconds=-1\n", "TimeoutSeconds"},
        {"[Server]\nMaxRequestBytes=10\n", "MaxRequestBytes"},
        {"[Server]\nMaxRequestBytes=99999999999\n", "MaxRequestBytes"},
        {"[Access]\nBadLoginAction=2\n", "BadLoginAction"},
        {"[Strata]\nVersion=7\n", "Version"},
        {"[Server]\nDiagnostics=full\n", "Diagnostics"},
        {"[Server]\nDefaultUseAttribute=0\n", "DefaultUseAttribute"},
        {"[Backend]\nMaxConnections=0\n", "MaxConnections"},
        {"[Backend]\nCacheMegabytes=-1\n", "CacheMegabytes"},
        {"[Server]\nMaxSessionsPerAddress=-1\n", "MaxSessionsPerAddress"},
        {"[Server]\nTlsPort=70000\nTlsCertFile=c\nTlsKeyFile=k\n", "TlsPort"},
        {"[common]\nListenerPort=2100\n[Server]\nTlsPort=2100\nTlsCertFile=c\nTlsKeyFile=k\n", "TlsPort"},
        {"[Server]\nTlsPort=2101\nTlsCertFile=c\n", "TlsCertFile"},
        {"[Server]\nPlainPort=0\n", "PlainPort"},
    };
    for (const auto& row : rows) {
        CServerSettings s;
        std::string error;
        EXPECT_FALSE(ReadHostSettings(WriteIni(row.ini), s, error)) << row.ini;
        EXPECT_NE(error.find(row.key), std::string::npos) << error;
    }
}

TEST_F(CServerSettingsTest, DemoIniServesAnonymouslyAsPublicAndRefusesBadLogins) {
    CServerSettings s;
    std::string error;
    ASSERT_TRUE(ReadHostSettings(WriteIni(DemoIniText(kDemoPort, "vk9000")), s, error)) << error;
    EXPECT_EQ(s.m_port, 2100u);
    EXPECT_EQ(s.m_instanceName, "vk9000");
    EXPECT_TRUE(s.m_allowAnonymous);
    EXPECT_EQ(s.m_anonymousUser, "public");
    EXPECT_EQ(s.m_anonymousPassword, "");
    EXPECT_EQ(s.m_badLoginAction, 1);
    EXPECT_EQ(s.m_diagnostics, CDiagnosticsMode::kBib1);
}

// Saving writes every key: a file saved from values unlike every default reads back as those
// values, and other lines of the file stay.
TEST_F(CServerSettingsTest, SavedSettingsReadBackUnchanged) {
    const std::string ini = WriteIni("; kept\r\n[Extra]\r\nOwn=1\r\n");
    CServerSettings odd;
    odd.m_port = 2101;
    odd.m_serverAddress = "db2";
    odd.m_interfaceLibrary = "netchan32.dll";
    odd.m_instanceName = "K";
    odd.m_backendVersion = 0;
    odd.m_timeoutEnabled = false;
    odd.m_timeoutSeconds = 7;
    odd.m_maxSearchHits = 8;
    odd.m_maxResultSetSize = 9;
    odd.m_maxRequestBytes = 4096;
    odd.m_logPackets = true;
    odd.m_logEnabled = false;
    odd.m_ansiCodePage = "UTF-8";
    odd.m_forbidDatabase = true;
    odd.m_showUnconfigured = true;
    odd.m_diagnostics = CDiagnosticsMode::kBib1;
    odd.m_defaultUseAttribute = 4;
    odd.m_allowAnonymous = true;
    odd.m_anonymousUser = "guest";
    odd.m_anonymousPassword = "pw";
    odd.m_acceptOpen = false;
    odd.m_acceptIdPass = false;
    odd.m_badLoginAction = 0;
    odd.m_dbUser = "u";
    odd.m_dbPassword = "p";
    odd.m_backendFolder = "/srv/b";
    odd.m_serverUser = "su";
    odd.m_serverPassword = "sp";
    odd.m_maxConnections = 3;
    std::string error;
    ASSERT_TRUE(SaveHostSettings(ini, odd, error)) << error;
    CServerSettings back;
    ASSERT_TRUE(ReadHostSettings(ini, back, error)) << error;
    EXPECT_EQ(back.m_port, odd.m_port);
    EXPECT_EQ(back.m_serverAddress, odd.m_serverAddress);
    EXPECT_EQ(back.m_interfaceLibrary, odd.m_interfaceLibrary);
    EXPECT_EQ(back.m_instanceName, odd.m_instanceName);
    EXPECT_EQ(back.m_backendVersion, odd.m_backendVersion);
    EXPECT_EQ(back.m_timeoutEnabled, odd.m_timeoutEnabled);
    EXPECT_EQ(back.m_timeoutSeconds, odd.m_timeoutSeconds);
    EXPECT_EQ(back.m_maxSearchHits, odd.m_maxSearchHits);
    EXPECT_EQ(back.m_maxResultSetSize, odd.m_maxResultSetSize);
    EXPECT_EQ(back.m_maxRequestBytes, odd.m_maxRequestBytes);
    EXPECT_EQ(back.m_logPackets, odd.m_logPackets);
    EXPECT_EQ(back.m_logEnabled, odd.m_logEnabled);
    EXPECT_EQ(back.m_ansiCodePage, odd.m_ansiCodePage);
    EXPECT_EQ(back.m_forbidDatabase, odd.m_forbidDatabase);
    EXPECT_EQ(back.m_showUnconfigured, odd.m_showUnconfigured);
    EXPECT_EQ(back.m_diagnostics, odd.m_diagnostics);
    EXPECT_EQ(back.m_defaultUseAttribute, odd.m_defaultUseAttribute);
    EXPECT_EQ(back.m_allowAnonymous, odd.m_allowAnonymous);
    EXPECT_EQ(back.m_anonymousUser, odd.m_anonymousUser);
    EXPECT_EQ(back.m_anonymousPassword, odd.m_anonymousPassword);
    EXPECT_EQ(back.m_acceptOpen, odd.m_acceptOpen);
    EXPECT_EQ(back.m_acceptIdPass, odd.m_acceptIdPass);
    EXPECT_EQ(back.m_badLoginAction, odd.m_badLoginAction);
    EXPECT_EQ(back.m_dbUser, odd.m_dbUser);
    EXPECT_EQ(back.m_dbPassword, odd.m_dbPassword);
    EXPECT_EQ(back.m_backendFolder, odd.m_backendFolder);
    EXPECT_EQ(back.m_serverUser, odd.m_serverUser);
    EXPECT_EQ(back.m_serverPassword, odd.m_serverPassword);
    EXPECT_EQ(back.m_maxConnections, odd.m_maxConnections);
    EXPECT_EQ(PlatGetProfileString("Extra", "Own", "", ini), "1");
}

TEST_F(CServerSettingsTest, DemoCreationWithoutTheStoreBuilderFailsAndWritesNoIni) {
    std::string error;
    EXPECT_FALSE(CreateDemoInstance(m_home.Path() + "demo", "", "", error));
    EXPECT_NE(error.find("make-demo-store.sh"), std::string::npos);
    EXPECT_FALSE(CreateDemoInstance(m_home.Path() + "demo", m_home.Path() + "missing.sh", "", error));
    EXPECT_FALSE(PlatFileExists(m_home.Path() + "demo/vk9000.ini"));
}

TEST_F(CServerSettingsTest, LocalStoreComesFromTheKernelRegistryOnlyWhenTheInstanceHasNoneOfItsOwn) {
    // The kernel registry names /kernel/Lumo.strata for Lumo and /kernel/other.strata for Odd.
    setenv("ORVANE_CONFIG_DIR", (m_home.Path() + "orvane").c_str(), 1);
    CRegistryInstance kernel;
    ASSERT_EQ(kernel.Load(kKernelRegistryKey), 0);
    ASSERT_TRUE(kernel.SetItem("Lumo", "/bin/strata", m_home.Path() + "kernel/Lumo.strata"));
    ASSERT_TRUE(kernel.SetItem("Odd", "/bin/strata", m_home.Path() + "kernel/other.strata"));
    ASSERT_EQ(kernel.Save(), 0);
    PlatMakeDirectories(m_home.Path() + "own");
    ASSERT_EQ(PlatWriteFileAtomic(m_home.Path() + "own/Mine.strata", "x", 1), 0);
    struct Row {
        const char* interface;
        const char* instance;
        std::string expected;
        bool noted;
    } rows[] = {
        {"localcore32.dll", "Lumo", m_home.Path() + "kernel", true},   // registered, none of its own
        {"LOCALCORE32.DLL", "Mine", m_home.Path() + "own", false},     // its own store wins
        {"localcore32.dll", "Odd", m_home.Path() + "own", false},      // registered file of another name
        {"localcore32.dll", "Unknown", m_home.Path() + "own", false},  // not registered
        {"netchan32.dll", "Lumo", m_home.Path() + "own", false},       // not a local store
    };
    for (const Row& row : rows) {
        CServerSettings s;
        s.m_interfaceLibrary = row.interface;
        s.m_instanceName = row.instance;
        s.m_backendFolder = "own";
        std::string note;
        EXPECT_EQ(BackendStoreFolder(s, m_home.Path(), note), row.expected) << row.instance;
        EXPECT_EQ(!note.empty(), row.noted) << row.instance;
    }
    unsetenv("ORVANE_CONFIG_DIR");
}

}  // namespace
