// vk9000.ini → CHostSettings → CTunnelArray: defaults, the setup program's keys, range checks.
#include <gtest/gtest.h>

#include <cstdlib>

#include "host/demoinstance.h"
#include "host/hostsettings.h"
#include "platform/file.h"
#include "server/tunnelarray.h"
#include "tests/server/server_test_util.h"

namespace {

class CHostSettingsTest : public ::testing::Test {
protected:
    std::string WriteIni(const std::string& text) {
        const std::string file = m_home.Path() + "vk9000.ini";
        EXPECT_EQ(PlatWriteFileAtomic(file, text.data(), text.size()), 0);
        return file;
    }
    vktest::CTempHome m_home{"hostini"};
};

TEST_F(CHostSettingsTest, MissingFileGivesTheDocumentedDefaults) {
    CHostSettings s;
    std::string error;
    ASSERT_TRUE(ReadHostSettings(m_home.Path() + "none.ini", s, error)) << error;
    EXPECT_EQ(s.port, 210u);
    EXPECT_EQ(s.interfaceLibrary, "localcore32.dll");
    EXPECT_EQ(s.instanceName, "Lumo");
    EXPECT_EQ(s.maxRequestBytes, 16 * 1024 * 1024);
    EXPECT_FALSE(s.allowAnonymous);
    EXPECT_EQ(s.badLoginAction, 1);
}

TEST_F(CHostSettingsTest, SampleFileStatesExactlyTheDefaults) {
    const char* src = std::getenv("VELKAN_SOURCE_DIR");
    ASSERT_NE(src, nullptr);
    CHostSettings fromSample;
    std::string error;
    ASSERT_TRUE(ReadHostSettings(std::string(src) + "/host/vk9000.ini.sample", fromSample, error));
    // Start from values unlike every default, so a key missing from the sample shows up.
    CHostSettings odd;
    odd.port = 1;
    odd.timeoutSeconds = 1;
    odd.maxRequestBytes = 2048;
    odd.allowAnonymous = true;
    odd.anonymousUser = "x";
    odd.instanceName = "x";
    odd.backendFolder = "x";
    ASSERT_TRUE(ReadHostSettings(std::string(src) + "/host/vk9000.ini.sample", odd, error));
    const CHostSettings def;
    for (const CHostSettings* s : {&fromSample, &odd}) {
        EXPECT_EQ(s->port, def.port);
        EXPECT_EQ(s->timeoutSeconds, def.timeoutSeconds);
        EXPECT_EQ(s->maxRequestBytes, def.maxRequestBytes);
        EXPECT_EQ(s->allowAnonymous, def.allowAnonymous);
        EXPECT_EQ(s->anonymousUser, def.anonymousUser);
        EXPECT_EQ(s->instanceName, def.instanceName);
        EXPECT_EQ(s->backendFolder, def.backendFolder);
    }
}

TEST_F(CHostSettingsTest, SetupKeysAndOwnSectionsReachTheManager) {
    const std::string ini = WriteIni(
        "[common]\r\nListenerPort=2100\r\nDBIPAddress=db.example\r\n"
        "[Strata]\r\ninterface=netchan32.dll\r\nDB Instance=Kx\r\nVersion=0\r\n"
        "[Server]\r\nTimeoutEnabled=0\r\nMaxRequestBytes=4096\r\nLogPackets=1\r\n"
        "[Access]\r\nAllowAnonymous=1\r\nAnonymousUser=guest\r\nBadLoginAction=0\r\n");
    CHostSettings s;
    std::string error;
    ASSERT_TRUE(ReadHostSettings(ini, s, error)) << error;
    CTunnelArray m;
    ApplyHostSettings(s, m_home.Path(), m);
    EXPECT_EQ(m.m_port.load(), 2100u);
    EXPECT_EQ(m.m_serverAddress.Get(), "db.example");
    EXPECT_EQ(m.m_interfaceLibrary.Get(), "netchan32.dll");
    EXPECT_EQ(m.m_instanceName.Get(), "Kx");
    EXPECT_EQ(m.m_backendVersion.load(), 0);
    EXPECT_FALSE(m.m_timeoutEnabled.load());
    EXPECT_EQ(m.m_maxRequestBytes.load(), 4096);
    EXPECT_TRUE(m.m_logPackets.load());
    EXPECT_TRUE(m.m_allowAnonymous.load());
    EXPECT_EQ(m.m_anonymousUser.Get(), "guest");
    EXPECT_EQ(m.m_badLoginAction.load(), 0);
    EXPECT_EQ(m.m_homeDir.Get(), m_home.Path());
}

TEST_F(CHostSettingsTest, OutOfRangeValuesAreRefusedWithTheKeyNamed) {
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
    };
    for (const auto& row : rows) {
        CHostSettings s;
        std::string error;
        EXPECT_FALSE(ReadHostSettings(WriteIni(row.ini), s, error)) << row.ini;
        EXPECT_NE(error.find(row.key), std::string::npos) << error;
    }
}

TEST_F(CHostSettingsTest, DemoIniServesAnonymouslyAsPublicAndRefusesBadLogins) {
    CHostSettings s;
    std::string error;
    ASSERT_TRUE(ReadHostSettings(WriteIni(DemoIniText(kDemoPort, "vk9000")), s, error)) << error;
    EXPECT_EQ(s.port, 2100u);
    EXPECT_EQ(s.instanceName, "vk9000");
    EXPECT_TRUE(s.allowAnonymous);
    EXPECT_EQ(s.anonymousUser, "public");
    EXPECT_EQ(s.anonymousPassword, "");
    EXPECT_EQ(s.badLoginAction, 1);
}

TEST_F(CHostSettingsTest, DemoCreationWithoutTheStoreBuilderFailsAndWritesNoIni) {
    std::string error;
    EXPECT_FALSE(CreateDemoInstance(m_home.Path() + "demo", "", "", error));
    EXPECT_NE(error.find("make-demo-store.sh"), std::string::npos);
    EXPECT_FALSE(CreateDemoInstance(m_home.Path() + "demo", m_home.Path() + "missing.sh", "", error));
    EXPECT_FALSE(PlatFileExists(m_home.Path() + "demo/vk9000.ini"));
}

}  // namespace
