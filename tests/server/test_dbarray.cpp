// Catalogue: loading databases and their configuration files from a real embedded store, name
// lookups, the list-view columns, and reloads while sessions look names up.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "backend/strata/strata_admin.h"
#include "berkit/codepage.h"
#include "platform/file.h"
#include "server/dbarray.h"
#include "server/tunnelarray.h"

namespace {

const char* kUseCfg = "use name=\"title\" oid=\"4\"\nuse name=\"author\" oid=\"1003\"\n";

class DBArrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = ::testing::TempDir() + "dbarray_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(0, PlatMakeDirectories(m_folder));
        const std::string file = StrataStoreFile(m_folder, "inst");
        PlatDeleteFile(file);
        std::string error;
        m_admin = CStrataAdmin::Create(file, error);
        ASSERT_TRUE(m_admin) << error;
        CInterface::SetStoreFolder(m_folder);
        m_owner.m_settings.Update([&](CServerSettings& s) {
            s.m_interfaceLibrary = "localcore32.dll";
            s.m_instanceName = "inst";
            s.m_dbUser = "public";
            s.m_dbPassword = "";
            s.m_showUnconfigured = true;
        });
        m_catalogue.m_owner = &m_owner;
    }

    void AddDatabase(const std::string& name, const char* use, const char* property = nullptr,
                     const char* brief = nullptr) {
        std::string error;
        ASSERT_EQ(0, m_admin->AddDatabase(name, error)) << error;
        const std::pair<const char*, const char*> files[] = {
            {"use.cfg", use}, {"property.cfg", property}, {"zbrief.cfg", brief}};
        for (const auto& [file, content] : files) {
            if (content) {
                ASSERT_EQ(0, m_admin->PutCfgFile(name, file, content, error)) << error;
            }
        }
    }

    // The listed entry for a database path, or null.
    std::shared_ptr<const CDatabaseNode> Entry(const std::string& path) {
        for (const auto& node : m_catalogue.GetEntries())
            if (node->m_dbPath == path)
                return node;
        return nullptr;
    }

    std::string m_folder;
    std::unique_ptr<CStrataAdmin> m_admin;
    CTunnelArray m_owner;
    CDBArray m_catalogue;
    std::string m_error;
};

TEST_F(DBArrayTest, LoadsKeysPropertiesAndBriefDefinitionInListingOrder) {
    AddDatabase("books", kUseCfg,
                "prop type=\"marcsytax oid\" value=\"1.2.840.10003.5.10\"\nprop type=\"alias\" value=\"bk\"\n",
                "field tag=\"245\" subfields=\"ab\"\n");
    AddDatabase("unimarc", kUseCfg);
    ASSERT_EQ(0, m_catalogue.Init(m_error)) << m_error;
    EXPECT_EQ(1, m_catalogue.m_ready.load());
    auto entries = m_catalogue.GetEntries();
    ASSERT_EQ(2u, entries.size());
    const CDatabaseNode& books = *entries[0];
    EXPECT_EQ("books", books.m_dbName);
    EXPECT_EQ("bk", books.m_alias);
    EXPECT_EQ(kOidUsmarc, books.m_syntaxOID);
    EXPECT_EQ((std::map<std::string, std::string>{{"4", "title"}, {"1003", "author"}}), books.m_keys);
    ASSERT_TRUE(books.m_briefTree);
    ASSERT_NE(nullptr, books.m_briefTree->FindField("245"));
    EXPECT_EQ("ab", books.m_briefTree->FindField("245")->m_subfields);
    const CDatabaseNode& unimarc = *entries[1];
    EXPECT_EQ("unimarc", unimarc.m_dbName);
    EXPECT_EQ(kOidUnimarc, unimarc.m_syntaxOID);
    EXPECT_EQ("", unimarc.m_alias);
    EXPECT_FALSE(unimarc.m_briefTree);
    EXPECT_EQ(1, unimarc.m_configured);
}

TEST_F(DBArrayTest, NamesAndAliasesMatchWithoutRegardToCase) {
    AddDatabase("books", kUseCfg, "prop type=\"alias\" value=\"Shu\"\n");
    AddDatabase("other", kUseCfg);
    ASSERT_EQ(0, m_catalogue.Init(m_error)) << m_error;
    for (const char* name : {"books", "BOOKS", "Books", "shu", "SHU"}) {
        std::shared_ptr<const CDatabaseNode> node;
        EXPECT_TRUE(m_catalogue.IsLegalDBName(name, node)) << name;
        ASSERT_TRUE(node);
        EXPECT_EQ("books", node->m_dbPath);
    }
    CDatabaseNode* raw = nullptr;
    EXPECT_TRUE(m_catalogue.IsLegalDBName("OTHER", raw));
    ASSERT_NE(nullptr, raw);
    EXPECT_EQ("other", raw->m_dbName);
    CDatabaseNode* untouched = raw;
    EXPECT_FALSE(m_catalogue.IsLegalDBName("nosuch", untouched));
    EXPECT_EQ(raw, untouched);
    // "other" has no alias: an empty name must not match it.
    EXPECT_FALSE(m_catalogue.IsLegalDBName("", untouched));
    EXPECT_FALSE(m_catalogue.IsLegalDBName(static_cast<const char*>(nullptr), untouched));
}

TEST_F(DBArrayTest, TwoEntriesWithTheSameAliasFirstInListingOrderWins) {
    AddDatabase("alpha", kUseCfg, "prop type=\"alias\" value=\"same\"\n");
    AddDatabase("beta", kUseCfg, "prop type=\"alias\" value=\"same\"\n");
    ASSERT_EQ(0, m_catalogue.Init(m_error)) << m_error;
    std::shared_ptr<const CDatabaseNode> node;
    ASSERT_TRUE(m_catalogue.IsLegalDBName("SAME", node));
    EXPECT_EQ("alpha", node->m_dbPath);
}

TEST_F(DBArrayTest, DatabaseWithoutUseCfgIsListedUnconfiguredAndNotFound) {
    AddDatabase("books", kUseCfg);
    AddDatabase("nouse", nullptr);
    ASSERT_EQ(0, m_catalogue.Init(m_error)) << m_error;
    ASSERT_EQ(2, m_catalogue.GetSize());
    auto nouse = Entry("nouse");
    ASSERT_TRUE(nouse);
    EXPECT_EQ(0, nouse->m_configured);
    EXPECT_EQ(OperatorText("未配置"), nouse->GetColumnText(3));
    EXPECT_EQ("Error [nouse/cfgs/use.cfg]", nouse->GetColumnText(4));
    EXPECT_EQ(OperatorText("已连接"), Entry("books")->GetColumnText(3));
    std::shared_ptr<const CDatabaseNode> node;
    EXPECT_FALSE(m_catalogue.IsLegalDBName("nouse", node));

    m_owner.m_settings.Update([&](CServerSettings& s) { s.m_showUnconfigured = false; });
    ASSERT_EQ(0, m_catalogue.InitAllDatabase(m_error)) << m_error;
    EXPECT_EQ(1, m_catalogue.GetSize());
    EXPECT_FALSE(Entry("nouse"));
}

TEST_F(DBArrayTest, NothingUsableAndUnconfiguredHiddenFailsWithAnEmptyList) {
    AddDatabase("nouse", nullptr);
    AddDatabase("nouse2", nullptr, "prop type=\"alias\" value=\"x\"\n");
    m_owner.m_settings.Update([&](CServerSettings& s) { s.m_showUnconfigured = false; });
    EXPECT_EQ(-1, m_catalogue.Init(m_error));
    EXPECT_NE(std::string::npos, m_error.find(OperatorText("数据库未配置，没有可用的数据库"))) << m_error;
    EXPECT_EQ(0, m_catalogue.GetSize());
    EXPECT_EQ(0, m_catalogue.m_ready.load());
}

TEST_F(DBArrayTest, PropertyTypesMatchWithoutCaseButMustBeSpelledAsExpected) {
    AddDatabase("caps", kUseCfg,
                "prop type=\"MARCSYTAX OID\" value=\"1.2.840.10003.5.10\"\nprop type=\"Alias\" value=\"c\"\n");
    AddDatabase("typo", kUseCfg, "prop type=\"marcsyntax oid\" value=\"1.2.840.10003.5.10\"\n");
    AddDatabase("later", kUseCfg,
                "prop type=\"alias\" value=\"first\"\nprop type=\"alias\" value=\"second\"\n"
                "prop type=\"marcsytax oid\" value=\"\"\n");
    ASSERT_EQ(0, m_catalogue.Init(m_error)) << m_error;
    EXPECT_EQ(kOidUsmarc, Entry("caps")->m_syntaxOID);
    EXPECT_EQ("c", Entry("caps")->m_alias);
    EXPECT_EQ(kOidUnimarc, Entry("typo")->m_syntaxOID);
    EXPECT_EQ("second", Entry("later")->m_alias);
    EXPECT_EQ("", Entry("later")->m_syntaxOID);
}

TEST_F(DBArrayTest, UnreadablePropertyOrBriefFilesLeaveTheDatabaseUsable) {
    AddDatabase("badprop", kUseCfg, "what type=\"alias\" value=\"x\"\n", "field tag=\"24\"\n");
    ASSERT_EQ(0, m_catalogue.Init(m_error)) << m_error;
    auto node = Entry("badprop");
    ASSERT_TRUE(node);
    EXPECT_EQ(1, node->m_configured);
    EXPECT_EQ(kOidUnimarc, node->m_syntaxOID);
    EXPECT_EQ("", node->m_alias);
    EXPECT_FALSE(node->m_briefTree);
    // The last failure's text stays in the error string after a successful load.
    EXPECT_EQ(0u, m_error.find(OperatorText("权限代码 解析发生错误: "))) << m_error;
    EXPECT_NE(std::string::npos, m_error.find(OperatorText("(行:1 列:"))) << m_error;
}

TEST_F(DBArrayTest, UseCfgLaterEntryWinsAndAnEmptyOidIsNotSearchable) {
    AddDatabase("books", "use name=\"title\" oid=\"4\"\nuse name=\"title2\" oid=\"4\"\nuse name=\"any\" oid=\"\"\n");
    ASSERT_EQ(0, m_catalogue.Init(m_error)) << m_error;
    EXPECT_EQ((std::map<std::string, std::string>{{"4", "title2"}}), Entry("books")->m_keys);
}

TEST_F(DBArrayTest, UseCfgThatDoesNotParseMakesTheDatabaseUnusable) {
    AddDatabase("books", "use name=\"title\" oid=\"4\n");
    ASSERT_EQ(0, m_admin->AddDatabase("fine", m_error));
    ASSERT_EQ(0, m_admin->PutCfgFile("fine", "use.cfg", kUseCfg, m_error));
    ASSERT_EQ(0, m_catalogue.Init(m_error)) << m_error;
    auto node = Entry("books");
    EXPECT_EQ(0, node->m_configured);
    EXPECT_EQ(0u, node->m_debugInfo.find("Error Build [books/cfgs/use.cfg] : ")) << node->m_debugInfo;
}

TEST_F(DBArrayTest, ConfigurationFileLongerThanOneAnswerIsReadInRounds) {
    std::string use;
    for (int i = 1; i <= 5000; ++i)
        use += "use name=\"key" + std::to_string(i) + "_padding_padding\" oid=\"" + std::to_string(i) + "\"\n";
    ASSERT_GT(use.size(), 3u * 65535u);
    AddDatabase("big", use.c_str());
    ASSERT_EQ(0, m_catalogue.Init(m_error)) << m_error;
    auto node = Entry("big");
    ASSERT_EQ(5000u, node->m_keys.size());
    EXPECT_EQ("key1_padding_padding", node->m_keys.at("1"));
    EXPECT_EQ("key2500_padding_padding", node->m_keys.at("2500"));
    EXPECT_EQ("key5000_padding_padding", node->m_keys.at("5000"));
}

TEST_F(DBArrayTest, LoadFailuresReportTheirReason) {
    CDBArray orphan;
    EXPECT_EQ(-1, orphan.Init(m_error));
    EXPECT_EQ(OperatorText("没有关联的配置部分"), m_error);
    EXPECT_EQ(-1, orphan.InitAllDatabase(m_error));

    m_owner.m_settings.Update([&](CServerSettings& s) { s.m_interfaceLibrary = "nosuch.dll"; });
    EXPECT_EQ(-1, m_catalogue.Init(m_error));
    EXPECT_EQ("CInterface::LoadLibrary() error..., libname=nosuch.dll", m_error);
    EXPECT_EQ(0, m_catalogue.GetSize());
}

TEST_F(DBArrayTest, RefusedLoginIsReportedAsWrongUserOrPassword) {
    AddDatabase("books", kUseCfg);
    m_owner.m_settings.Update([&](CServerSettings& s) {
        s.m_dbUser = "nobody";
        s.m_dbPassword = "wrong";
    });
    EXPECT_EQ(-1, m_catalogue.Init(m_error));
    EXPECT_NE(std::string::npos, m_error.find(OperatorText("用户名/密码错误"))) << m_error;
    EXPECT_EQ(0, m_catalogue.m_ready.load());
}

TEST_F(DBArrayTest, ForbidEmptiesTheListAndReadyFlag) {
    AddDatabase("books", kUseCfg);
    ASSERT_EQ(0, m_catalogue.Init(m_error)) << m_error;
    std::shared_ptr<const CDatabaseNode> held;
    ASSERT_TRUE(m_catalogue.IsLegalDBName("books", held));
    m_catalogue.ForbidDBAccess();
    EXPECT_EQ(0, m_catalogue.m_ready.load());
    EXPECT_EQ(0, m_catalogue.GetSize());
    EXPECT_FALSE(m_catalogue.IsLegalDBName("books", held));
    EXPECT_EQ("books", held->m_dbName);  // a session's entry outlives the list
}

TEST_F(DBArrayTest, ColumnsAndCommands) {
    const char* titles[] = {"数据库名", "别名", "MARC种类", "状态", "调试信息"};
    const int widths[] = {140, 140, 140, 80, 180};
    std::string title;
    int width = 0;
    for (int c = 0; c < 5; ++c) {
        ASSERT_EQ(0, m_catalogue.GetColumnProp(c, title, width));
        EXPECT_EQ(OperatorText(titles[c]), title);
        EXPECT_EQ(widths[c], width);
    }
    EXPECT_EQ(-1, m_catalogue.GetColumnProp(5, title, width));
    CDatabaseNode node;
    node.m_dbPath = "host/books";
    EXPECT_EQ("UNIMARC(1.2.840.10003.5.1)", node.GetColumnText(2));
    node.m_syntaxOID = kOidUsmarc;
    EXPECT_EQ("USMARC(1.2.840.10003.5.10)", node.GetColumnText(2));
    node.m_syntaxOID = "1.2.840.10003.5.109.10";
    EXPECT_EQ("1.2.840.10003.5.109.10", node.GetColumnText(2));
    EXPECT_EQ("host/books", node.GetColumnText(0));
    EXPECT_EQ("", node.GetColumnText(5));
}

TEST_F(DBArrayTest, ReloadWhileSessionsLookNamesUp) {
    AddDatabase("books", kUseCfg, "prop type=\"alias\" value=\"bk\"\n");
    AddDatabase("unimarc", kUseCfg);
    ASSERT_EQ(0, m_catalogue.Init(m_error)) << m_error;
    std::atomic<bool> done{false};
    std::atomic<long> found{0};
    // The reloads start only once every session has made a lookup, so on a busy machine they
    // still overlap the lookups instead of ending before the threads are scheduled.
    std::latch running(4);
    std::vector<std::thread> sessions;
    for (int t = 0; t < 4; ++t)
        sessions.emplace_back([&, t] {
            const char* names[] = {"BK", "unimarc", "books", "nosuch"};
            for (int i = 0; i < 200000 && !done.load(); ++i) {
                if (i == 1)
                    running.count_down();
                std::shared_ptr<const CDatabaseNode> node;
                if (m_catalogue.IsLegalDBName(names[(i + t) % 4], node)) {
                    found += node->m_keys.count("4") + (node->m_dbName.empty() ? 0 : 1);
                }
                CDatabaseNode* raw = nullptr;
                m_catalogue.IsLegalDBName(names[i % 4], raw);
            }
        });
    running.wait();
    for (int round = 0; round < 15; ++round) {
        if (round % 5 == 4)
            m_catalogue.ForbidDBAccess();
        else
            EXPECT_EQ(0, m_catalogue.InitAllDatabase(m_error)) << m_error;
    }
    done = true;
    for (auto& thread : sessions)
        thread.join();
    EXPECT_GT(found.load(), 0);
    EXPECT_EQ(0, m_catalogue.InitAllDatabase(m_error));
    EXPECT_EQ(2, m_catalogue.GetSize());
}

}  // namespace
