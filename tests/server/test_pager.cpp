// CBackendPager against a real embedded store: how each back-end answer ends a call, the login
// bound, the stop flag, paging of a file larger than one answer, and preparing the channel anew
// when the credentials change.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "backend/strata/strata_admin.h"
#include "platform/file.h"
#include "server/pager.h"

namespace {

// Counts logins; with m_fakeLogins it reports success without logging in, so the channel keeps
// answering 63: a back-end that asks for a login forever.
class CCountingPager : public CBackendPager {
public:
    using CBackendPager::CBackendPager;
    bool LogIn(const std::string& path) override {
        ++m_logins;
        return m_fakeLogins || CBackendPager::LogIn(path);
    }
    int m_logins = 0;
    bool m_fakeLogins = false;
};

class PagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = ::testing::TempDir() + "pager_" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(0, PlatMakeDirectories(m_folder));
        const std::string file = StrataStoreFile(m_folder, "inst");
        PlatDeleteFile(file);
        std::string error;
        auto admin = CStrataAdmin::Create(file, error);
        ASSERT_TRUE(admin) << error;
        ASSERT_EQ(0, admin->AddDatabase("books", error)) << error;
        // Three times the answer buffer: the file comes in several pages.
        for (int i = 0; m_bigFile.size() < 3u * CBackendPager::kAnswerBufferSize; ++i)
            m_bigFile += "# line " + std::to_string(i) + std::string(60, 'x') + "\n";
        ASSERT_EQ(0, admin->PutCfgFile("books", "big.cfg", m_bigFile, error)) << error;
        ASSERT_EQ(0, admin->PutCfgFile("books", "keys.cfg", "key name=\"title\" fields=\"245a\"\n", error)) << error;
        ASSERT_EQ(0, admin->AddAccount("demo", "pw", kStrataRightRead, error)) << error;
        CInterface::SetStoreFolder(m_folder);
        ASSERT_EQ(0, m_interface.LoadLibraryA("localcore32.dll", "inst"));
        m_pager.SetInterface(&m_interface);
    }

    CPagerResult ReadFile(const std::string& path, std::string& text) {
        return m_pager.Search(path, kStrataStyleRecord, CPagerFormat::kBlocks, [&](const CPackage& page) {
            for (size_t i = 0; i < page.GetRecordCount(); ++i)
                text.append(reinterpret_cast<const char*>(page.GetRecord(i)->data()), page.GetRecord(i)->size());
            return true;
        });
    }

    std::string m_folder;
    std::string m_bigFile;
    CInterface m_interface;
    CConnect m_channel;
    std::atomic<bool> m_stop{false};
    CCountingPager m_pager{m_channel, nullptr, &m_stop};
};

TEST_F(PagerTest, EachAnswerEndsTheCallAsDocumented) {
    const struct {
        const char* user;
        const char* path;
        int style;
        CPagerResult result;
        int logins;
    } rows[] = {
        {"public", "books/cfgs/big.cfg", kStrataStyleRecord, CPagerResult::kDone, 1},
        {"public", "books/cfgs/none.cfg", kStrataStyleRecord, CPagerResult::kFailed, 1},
        {"public", "books/title/nothing", kStrataStyleHitList, CPagerResult::kNoData, 1},
        {"nobody", "books/cfgs/big.cfg", kStrataStyleRecord, CPagerResult::kLoginFailed, 1},
    };
    for (const auto& row : rows) {
        m_channel.EndChannel();
        m_pager.m_logins = 0;
        m_pager.Prepare(row.user, "");
        std::string text;
        const CPagerResult result = m_pager.Search(row.path, row.style, CPagerFormat::kBlocks,
                                                   [&](const CPackage&) { return true; });
        EXPECT_EQ(result, row.result) << row.path << " as " << row.user << ": " << m_pager.GetError();
        EXPECT_EQ(m_pager.m_logins, row.logins) << row.path;
    }
}

TEST_F(PagerTest, ABackEndThatAsksForALoginForeverEndsTheCallAfterTwoLogins) {
    m_pager.m_fakeLogins = true;
    m_pager.Prepare("public", "");
    std::string text;
    EXPECT_EQ(ReadFile("books/cfgs/big.cfg", text), CPagerResult::kLoginFailed);
    EXPECT_EQ(m_pager.m_logins, CBackendPager::kMaxLogins);
    EXPECT_EQ(m_pager.GetCode(), kStrataLoginRequired);
}

TEST_F(PagerTest, AFileOfSeveralPagesIsReadWholeAndTheStopFlagEndsACall) {
    m_pager.Prepare("public", "");
    std::string text;
    ASSERT_EQ(ReadFile("books/cfgs/big.cfg", text), CPagerResult::kDone) << m_pager.GetError();
    EXPECT_GT(text.size(), static_cast<size_t>(2 * CBackendPager::kAnswerBufferSize));
    EXPECT_NE(text.find("# line 0x"), std::string::npos);
    const std::string last = m_bigFile.substr(m_bigFile.rfind("# line "), 12);
    EXPECT_NE(text.find(last), std::string::npos) << last;

    m_stop = true;
    text.clear();
    EXPECT_EQ(ReadFile("books/cfgs/big.cfg", text), CPagerResult::kStopped);
    EXPECT_TRUE(text.empty());
}

// The channel is prepared anew (and logs in again) when the account changes, and only then: a
// session whose account fell back to the anonymous one must not go on with the refused one.
TEST_F(PagerTest, TheChannelIsPreparedAnewWhenTheAccountChanges) {
    std::string text;
    m_pager.Prepare("demo", "wrong");
    EXPECT_EQ(ReadFile("books/cfgs/big.cfg", text), CPagerResult::kLoginFailed);
    m_pager.Prepare("public", "");
    EXPECT_EQ(ReadFile("books/cfgs/big.cfg", text), CPagerResult::kDone) << m_pager.GetError();
    const int logins = m_pager.m_logins;
    m_pager.Prepare("public", "");
    EXPECT_EQ(ReadFile("books/cfgs/big.cfg", text), CPagerResult::kDone);
    EXPECT_EQ(m_pager.m_logins, logins);  // same account: still logged in
    m_pager.Prepare("demo", "pw");
    EXPECT_EQ(ReadFile("books/cfgs/big.cfg", text), CPagerResult::kDone) << m_pager.GetError();
    EXPECT_EQ(m_pager.m_logins, logins + 1);
}

}  // namespace
