// CIPFilter: reading vkipfilt.cfg, saving it, and the allow decision.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/file.h"
#include "server/ipfilter.h"

namespace {

class CIPFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = std::filesystem::temp_directory_path() /
                ("vkipf_" + std::to_string(::getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(m_dir);
        m_file = (m_dir / "vkipfilt.cfg").string();
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    void WriteFile(const std::string& text) {
        ASSERT_EQ(PlatWriteFileAtomic(m_file, text.data(), text.size()), 0);
    }
    // Loads `text` with both start values 0 and returns the switches.
    std::pair<int, int> Load(const std::string& text) {
        WriteFile(text);
        EXPECT_EQ(m_filter.Init(m_file.c_str(), 0, 0), 0);
        int f = -1, e = -1;
        std::vector<std::string> friends, enemies;
        m_filter.GetFilter(f, e, friends, enemies);
        return {f, e};
    }
    std::vector<std::string> Friends() {
        int f, e;
        std::vector<std::string> friends, enemies;
        m_filter.GetFilter(f, e, friends, enemies);
        return friends;
    }
    std::vector<std::string> Enemies() {
        int f, e;
        std::vector<std::string> friends, enemies;
        m_filter.GetFilter(f, e, friends, enemies);
        return enemies;
    }

    std::filesystem::path m_dir;
    std::string m_file;
    CIPFilter m_filter;
};

TEST_F(CIPFilterTest, SettingLinesSwitchOnOnlyWithAnEqualsSignAndATrailingOne) {
    EXPECT_EQ(Load("IsFriendsOnly=1\r\n"), std::make_pair(1, 0));
    EXPECT_EQ(Load("isenemyrefuse = 1\r\n"), std::make_pair(0, 1));
    EXPECT_EQ(Load("IsFriendsOnly=0\r\nIsEnemyRefuse=10\r\n"), std::make_pair(0, 0));
    EXPECT_EQ(Load("IsFriendsOnly\r\nIsEnemyRefuse 1\r\n"), std::make_pair(0, 0));  // 13 chars; no "="
    EXPECT_EQ(Load("IsSomethingXX=1\r\n"), std::make_pair(0, 0));
}

TEST_F(CIPFilterTest, ZeroInTheFileKeepsANonZeroStartValue) {
    WriteFile("IsFriendsOnly=0\r\n");
    ASSERT_EQ(m_filter.Init(m_file.c_str(), 1, 1), 0);
    EXPECT_FALSE(m_filter.IsAllowed("10.0.0.1"));  // friends only, empty friend list
}

TEST_F(CIPFilterTest, AddressesBeforeTheFirstSectionAreIgnoredAndSectionsContinue) {
    Load("1.1.1.1\r\n[friend]\r\n2.2.2.2\r\n[enemy]\r\n3.3.3.3\r\n<comment\r\n/comment\r\n\r\n"
         "[friend]\r\n  4.4.4.4 \t\r\n");
    EXPECT_EQ(Friends(), (std::vector<std::string>{"2.2.2.2", "4.4.4.4"}));
    EXPECT_EQ(Enemies(), std::vector<std::string>{"3.3.3.3"});
}

TEST_F(CIPFilterTest, TrimmedAddressMatchesItsClient) {
    Load("IsFriendsOnly=1\n[friend]\n   127.0.0.1   \n");
    EXPECT_TRUE(m_filter.IsAllowed("127.0.0.1"));
    EXPECT_FALSE(m_filter.IsAllowed("127.0.0.2"));
    EXPECT_FALSE(m_filter.IsAllowed(" 127.0.0.1"));  // exact text only
}

TEST_F(CIPFilterTest, IPv6AddressesAndCidrRangesOfBothFamiliesMatchTheirClients) {
    struct Row {
        const char* entry;
        const char* client;
        bool enemy;
    } rows[] = {
        {"10.0.0.0/8", "10.200.3.4", true},      {"10.0.0.0/8", "11.0.0.1", false},
        {"192.168.1.7/32", "192.168.1.7", true}, {"192.168.1.7/32", "192.168.1.8", false},
        {"0.0.0.0/0", "203.0.113.9", true},      {"0.0.0.0/0", "::1", false},
        {"::1", "::1", true},                    {"2001:db8::/32", "2001:db8:ffff::1", true},
        {"2001:db8::/32", "2001:db9::1", false}, {"2001:DB8::1", "2001:db8::1", true},
        {"::ffff:10.0.0.0/104", "10.1.2.3", true}, {"::/0", "10.1.2.3", true},
        {"10.0.0.0/33", "10.0.0.1", false},      {"10.0.0.0/x", "10.0.0.1", false},
        {"10.0.0.0/+8", "10.0.0.1", false},      {"localhost", "127.0.0.1", false},
        {"2001:db8::/129", "2001:db8::1", false},
    };
    for (const Row& r : rows) {
        m_filter.SetFilter(0, 1, {}, {r.entry});
        EXPECT_EQ(m_filter.IsAllowed(r.client), !r.enemy) << r.entry << " " << r.client;
    }
    m_filter.SetFilter(1, 0, {"fe80::/10", "127.0.0.1"}, {});
    EXPECT_TRUE(m_filter.IsAllowed("fe80::1234"));
    EXPECT_TRUE(m_filter.IsAllowed("127.0.0.1"));
    EXPECT_FALSE(m_filter.IsAllowed("127.0.0.2"));
}

TEST_F(CIPFilterTest, EachSwitchDecidesAloneForAnAddressOnBothLists) {
    const std::vector<std::string> both{"5.5.5.5"};
    m_filter.SetFilter(0, 1, both, both);
    EXPECT_FALSE(m_filter.IsAllowed("5.5.5.5"));
    EXPECT_TRUE(m_filter.IsAllowed("6.6.6.6"));
    m_filter.SetFilter(1, 0, both, both);
    EXPECT_TRUE(m_filter.IsAllowed("5.5.5.5"));
    EXPECT_FALSE(m_filter.IsAllowed("6.6.6.6"));
    m_filter.SetFilter(0, 0, {}, both);
    EXPECT_TRUE(m_filter.IsAllowed("5.5.5.5"));
}

TEST_F(CIPFilterTest, SavedFilterReadsBackTheSame) {
    m_filter.SetFilter(1, 1, {"1.2.3.4", "5.6.7.8"}, {"9.9.9.9"});
    m_filter.DumpToFile(m_file.c_str());
    std::string text;
    ASSERT_EQ(PlatReadFile(m_file, text, 4096), 0);
    EXPECT_EQ(text, "IsFriendsOnly=1\r\nIsEnemyRefuse=1\r\n[friend]\r\n1.2.3.4\r\n5.6.7.8\r\n"
                    "[enemy]\r\n9.9.9.9\r\n");
    CIPFilter reread;
    ASSERT_EQ(reread.Init(m_file.c_str(), 0, 0), 0);
    EXPECT_TRUE(reread.IsAllowed("5.6.7.8"));
    EXPECT_FALSE(reread.IsAllowed("9.9.9.9"));
}

TEST_F(CIPFilterTest, SavingEmptyListsDeletesTheFileAndTheSwitchesStartOffAgain) {
    WriteFile("IsFriendsOnly=1\r\n[friend]\r\n1.1.1.1\r\n");
    m_filter.SetFilter(1, 1, {}, {});
    m_filter.DumpToFile(m_file.c_str());
    EXPECT_FALSE(PlatFileExists(m_file));
    CIPFilter restarted;
    EXPECT_EQ(restarted.Init(m_file.c_str(), 0, 0), -1);
    EXPECT_TRUE(restarted.IsAllowed("1.2.3.4"));
}

TEST_F(CIPFilterTest, MissingOrOversizedFileAllowsEveryoneAndReportsFailure) {
    m_filter.SetFilter(1, 1, {"1.1.1.1"}, {});
    EXPECT_EQ(m_filter.Init((m_dir / "nope.cfg").c_str(), 0, 0), -1);
    EXPECT_TRUE(m_filter.IsAllowed("2.2.2.2"));
    EXPECT_TRUE(Friends().empty());

    WriteFile("IsFriendsOnly=1\r\n[friend]\r\n" + std::string(CIPFilter::kMaxFileBytes, 'x'));
    EXPECT_EQ(m_filter.Init(m_file.c_str(), 0, 0), -1);
    EXPECT_TRUE(m_filter.IsAllowed("2.2.2.2"));
}

TEST_F(CIPFilterTest, IsAllowedNeverSeesAHalfReplacedFilter) {
    // Both versions allow 1.0.0.1 (one as a friend, the other as a non-enemy); only a mix of the
    // friends-only switch with the other version's empty friend list would refuse it.
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) {
            if (i % 2)
                m_filter.SetFilter(1, 0, {"1.0.0.1"}, {});
            else
                m_filter.SetFilter(0, 1, {}, {"1.0.0.2"});
        }
        stop = true;
    });
    int refused = 0;
    while (!stop.load())
        if (!m_filter.IsAllowed("1.0.0.1"))
            ++refused;
    writer.join();
    EXPECT_EQ(refused, 0);
}

}  // namespace
