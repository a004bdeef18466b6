// API_Write and the admin API: insert, replace and delete keep records and index in step; bad
// records are refused and never written; keys.cfg errors carry line and column.
#include "strata_fixture.h"

namespace {

class StrataWriteTest : public StrataStoreTest {
protected:
    void SetUp() override {
        StrataStoreTest::SetUp();
        Open(m_c);
    }
    int Write(const std::string& path, const std::string& data, int style) {
        std::vector<char> answer(1024);
        const std::string full = P(path);
        return m_c.API_Write(full.c_str(), data.data(), int(data.size()), answer.data(), 1024, style, 1);
    }
    CConnect m_c;
};

TEST_P(StrataWriteTest, InsertReplaceDeleteKeepTheIndexInStep) {
    ASSERT_EQ(Write("books/ctlno/0000007", MakeDiriv(7, "Old Title"), 1), 1);
    EXPECT_EQ(AllHits(m_c, "books/title/old"), std::vector<std::string>{"0000007"});
    EXPECT_EQ(Write("books/ctlno/0000007", MakeDiriv(7, "Other"), 1), -1);
    EXPECT_EQ(LastCode(m_c), kStrataRecordExists);
    ASSERT_EQ(Write("books/ctlno/0000007", MakeDiriv(7, "New Title"), 3), 1);
    EXPECT_TRUE(AllHits(m_c, "books/title/old").empty());
    EXPECT_EQ(AllHits(m_c, "books/title/new"), std::vector<std::string>{"0000007"});
    ASSERT_EQ(Write("books/ctlno/0000007", "", 5), 1);
    EXPECT_TRUE(AllHits(m_c, "books/title/new").empty());
    CPackage pkg;
    EXPECT_EQ(Search(m_c, "books/ctlno/0000007", 3, pkg), -1);
    EXPECT_EQ(Write("books/ctlno/0000007", "", 5), -1);
    EXPECT_EQ(LastCode(m_c), kStrataNoSuchRecord);
    EXPECT_EQ(Write("books/ctlno/0000008", MakeDiriv(8, "x"), 3), -1);
    EXPECT_EQ(LastCode(m_c), kStrataNoSuchRecord);
}

TEST_P(StrataWriteTest, BadRecordsAreRefusedAndNothingIsWritten) {
    const std::string good = MakeDiriv(9, "Fine");
    const std::vector<std::string> bad = {
        "",                                   // empty
        good.substr(0, 20),                   // shorter than a leader
        good.substr(0, good.size() - 1),      // no record terminator
        MakeDiriv(10, "Other number"),        // 001 disagrees with the path
        std::string(good).insert(30, 1, '\0'),  // zero octet inside
        "00000nam  2200000   4500" "245" "10\x1f" "aNo001\x1e\x1d",
    };
    for (const std::string& data : bad) {
        EXPECT_EQ(Write("books/ctlno/0000009", data, 1), -1);
        EXPECT_EQ(LastCode(m_c), kStrataBadRecord);
    }
    EXPECT_EQ(Write("books/ctlno/0000009", good, 4), -1);
    EXPECT_EQ(LastCode(m_c), kStrataBadArgument);
    EXPECT_EQ(Write("books/title/0000009", good, 1), -1);
    EXPECT_EQ(LastCode(m_c), kStrataBadPath);
    std::string error;
    EXPECT_EQ(m_admin->NextRecordNumber("books", error), 1);
    // A trailing zero octet after the record is accepted as the text's terminator.
    EXPECT_EQ(Write("books/ctlno/0000009", good + '\0', 1), 1);
    EXPECT_EQ(m_admin->NextRecordNumber("books", error), 10);
}

TEST_P(StrataWriteTest, BulkLoadSkipsBadRecordsAndReportsTheirPositions) {
    std::vector<StrataRejectedRecord> rejected;
    std::string error;
    const std::vector<std::string> batch = {MakeDiriv(1, "a"), "garbage", MakeDiriv(2, "b"),
                                            MakeDiriv(2, "b again"), MakeDiriv(12345678, "x")};
    EXPECT_EQ(m_admin->LoadRecords("books", batch, rejected, error), 2);
    ASSERT_EQ(rejected.size(), 3u);
    EXPECT_EQ(rejected[0].m_position, 1u);
    EXPECT_EQ(rejected[1].m_position, 2u);  // replaced by the later record 2
    EXPECT_EQ(rejected[2].m_position, 4u);
    EXPECT_EQ(AllHits(m_c, "books/title/again"), std::vector<std::string>{"0000002"});
    std::vector<StrataDatabaseInfo> dbs;
    ASSERT_EQ(m_admin->ListDatabases(dbs, error), 1);
    EXPECT_EQ(dbs[0].m_records, 2);
    EXPECT_EQ(m_admin->LoadRecords("nodb", batch, rejected, error), -1);
    EXPECT_NE(error.find("no database [nodb]"), std::string::npos) << error;
}

TEST_P(StrataWriteTest, KeysCfgErrorsCarryLineAndColumnAndKeepTheOldIndex) {
    Load({MakeDiriv(1, "Alpha")});
    std::string error;
    EXPECT_EQ(m_admin->PutCfgFile("books", "keys.cfg", "key name=\"title\" fields=\"245a\"\nkey name=\"x\" fields=\"245a\n",
                                  error),
              -1);
    EXPECT_NE(error.find("line 2 column"), std::string::npos) << error;
    EXPECT_EQ(m_admin->PutCfgFile("books", "keys.cfg", "key name=\"ctlno\" fields=\"001\"\n", error), -1);
    EXPECT_EQ(AllHits(m_c, "books/title/alpha"), std::vector<std::string>{"0000001"});
    // A new key definition reindexes: title now also covers the author field.
    ASSERT_EQ(m_admin->PutCfgFile("books", "keys.cfg", "key name=\"title\" fields=\"245a 100a\"\n", error), 0) << error;
    EXPECT_EQ(AllHits(m_c, "books/title/author"), std::vector<std::string>{"0000001"});
    CPackage pkg;
    EXPECT_EQ(Search(m_c, "books/ctl/0000001", 5, pkg), -1);
    EXPECT_EQ(LastCode(m_c), kStrataBadPath);
}

TEST_P(StrataWriteTest, DatabasesAndCfgNamesAreChecked) {
    std::string error;
    EXPECT_EQ(m_admin->AddDatabase("BOOKS", error), -1);
    EXPECT_EQ(m_admin->AddDatabase("a/b", error), -1);
    EXPECT_EQ(m_admin->PutCfgFile("books", "../x", "a", error), -1);
    EXPECT_EQ(m_admin->PutCfgFile("books", "big.cfg", std::string(5000, 'a'), error), -1);
    ASSERT_EQ(m_admin->AddDatabase("other", error), 0);
    Load({MakeDiriv(1, "kept")});
    ASSERT_EQ(m_admin->DropDatabase("books", error), 0) << error;
    CPackage pkg;
    EXPECT_EQ(Search(m_c, "books/title/kept", 5, pkg), -1);
    EXPECT_EQ(LastCode(m_c), kStrataBadPath);
    std::vector<StrataDatabaseInfo> dbs;
    ASSERT_EQ(m_admin->ListDatabases(dbs, error), 1);
    EXPECT_EQ(dbs[0].m_name, "other");
}

STRATA_ENGINE_TESTS(StrataWriteTest);

}  // namespace
