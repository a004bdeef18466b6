// Sort values kept by the store (channel style 8) on both engines: the value each kind of key
// gives, reads by range over several pages and by record list, values that follow writes,
// deletes and a reindex, and a store of the format before sort values that is filled when opened.
#include <sqlite3.h>

#include "backend/strata/strata_sortkeys.h"
#include "strata_fixture.h"

namespace {

using Values = std::vector<std::pair<int64_t, std::string>>;

std::string Field(const std::string& tag, const std::string& data) { return tag + data + "\x1e"; }
std::string Record(int64_t number, const std::string& fields) {
    return "00000nam  2200000   4500" + Field("001", SevenDigitText(number)) + fields + "\x1d";
}
std::string Text(const std::string& folded, const std::string& original) {
    return folded + kStrataSortCaseMark + original;
}

class StrataSortKeysTest : public StrataStoreTest {
protected:
    void SetUp() override {
        StrataStoreTest::SetUp();
        std::string error;
        ASSERT_EQ(m_admin->PutCfgFile("books", "keys.cfg",
                                      "key name=\"title\" fields=\"245ab\"\nkey name=\"author\" fields=\"100a 700a\"\n"
                                      "key name=\"year\" fields=\"008/07-10 260c\" type=\"numeric\"\n"
                                      "key name=\"isbn\" fields=\"020a\" type=\"isbn\"\n",
                                      error),
                  0)
            << error;
        std::vector<std::string> records = {
            Record(1, Field("008", "000000s1999") + Field("100", "1 \x1f" "aZola, Émile") +
                          Field("245", "14\x1f" "aThe Zebra :\x1f" "bstripes")),
            Record(2, Field("245", "00\x1f" "a\xC2\x98" "Der \xC2\x9C" "Apfel") + Field("260", "  \x1f" "cc2001.") +
                          Field("700", "1 \x1f" "aBaker") + Field("020", "  \x1f" "a0-306-40615-2")),
            Record(3, Field("245", "00\x1f" "a...")),  // no word: no title value
        };
        for (int64_t i = 4; i <= 3000; ++i) records.push_back(MakeDiriv(i, "t" + std::to_string(i)));
        for (std::string& r : records) r = Utf8ToAnsi(r);
        Load(records);
        Open(m_c);
    }
    // Every value of a style-8 read, following continuations with a small buffer; the key's
    // kind in `kind` (checked the same on every page).
    Values Read(const std::string& key, const std::string& spec, std::string* kind = nullptr, int* pages = nullptr) {
        Values values;
        for (const std::string& line : AllHits(m_c, "books/" + key + "/" + spec, pages, 4096, 8)) {
            int64_t record = 0;
            std::string_view value;
            if (line == kStrataSortKindText || line == kStrataSortKindNumeric) {
                if (kind) *kind = line;
                continue;
            }
            EXPECT_TRUE(StrataParseSortLine(line, record, value)) << line;
            values.emplace_back(record, std::string(value));
        }
        return values;
    }
    int Write(int64_t number, const std::string& data, int style) {
        std::vector<char> answer(1024);
        const std::string path = P("books/ctlno/" + SevenDigitText(number));
        return m_c.API_Write(path.c_str(), data.data(), int(data.size()), answer.data(), 1024, style, 1);
    }
    CConnect m_c;
};

TEST_P(StrataSortKeysTest, EachKindOfKeyGivesItsValue) {
    const struct {
        const char* key;
        const char* spec;
        const char* kind;
        Values values;
    } rows[] = {
        // Non-filing characters and the non-sort part left out; folded, then the original text.
        {"title", "0000001,0000002,0000003", "text",
         {{1, Text("zebra stripes", "Zebra : stripes")}, {2, Text("apfel", "Apfel")}}},
        {"author", "0000001,0000002", "text", {{1, Text("zola emile", "Zola, Émile")}, {2, Text("baker", "Baker")}}},
        {"year", "0000001-0000003", "numeric", {{1, "d1999"}, {2, "d2001"}}},
        {"isbn", "0000001-0000002", "text", {{2, "0306406152"}}},
    };
    for (const auto& row : rows) {
        std::string kind;
        EXPECT_EQ(Read(row.key, row.spec, &kind), row.values) << row.key;
        EXPECT_EQ(kind, row.kind) << row.key;
    }
    EXPECT_EQ(StrataTextSortValue("c1850", true), "d1850");
    EXPECT_EQ(StrataTextSortValue(" Ápfel", false), Text("apfel", " Ápfel"));
    EXPECT_EQ(StrataSortValueFolded(Text("apfel", "Apfel")), "apfel");
}

TEST_P(StrataSortKeysTest, RangesAndListsReadOverPagesAndBadSpecsAreRefused) {
    int pages = 0;
    const Values all = Read("title", "0000001-9999999", nullptr, &pages);
    ASSERT_EQ(all.size(), 2999u);  // record 3 has none
    EXPECT_GT(pages, 5);
    for (size_t i = 1; i < all.size(); ++i) ASSERT_LT(all[i - 1].first, all[i].first);
    EXPECT_EQ(all.back(), (std::pair<int64_t, std::string>{3000, Text("t3000", "t3000")}));
    EXPECT_EQ(Read("title", "0002999-0003000").size(), 2u);
    EXPECT_TRUE(Read("title", "0000003").empty());
    EXPECT_EQ(LastCode(m_c), kStrataNoData);
    CPackage pkg;
    for (const char* spec : {"0000003-0000002", "0000002,0000001", "12-13", "0000001,000002x", ""}) {
        EXPECT_EQ(Search(m_c, std::string("books/title/") + spec, 8, pkg), -1) << spec;
        EXPECT_EQ(LastCode(m_c), kStrataBadPath) << spec;
    }
    EXPECT_EQ(Search(m_c, "books/nokey/0000001", 8, pkg), -1);
    EXPECT_EQ(LastCode(m_c), kStrataBadPath);
}

TEST_P(StrataSortKeysTest, ValuesFollowWritesDeletesAndReindex) {
    ASSERT_EQ(Write(5, MakeDiriv(5, "Replaced", "Smith"), 3), 1);
    ASSERT_EQ(Write(3001, MakeDiriv(3001, "Inserted"), 1), 1);
    ASSERT_EQ(Write(6, "", 5), 1);
    EXPECT_EQ(Read("title", "0000005,0000006,0003001"),
              (Values{{5, Text("replaced", "Replaced")}, {3001, Text("inserted", "Inserted")}}));
    EXPECT_EQ(Read("author", "0000005"), (Values{{5, Text("smith", "Smith")}}));
    // A load replaces the values of the records it replaces.
    Load({MakeDiriv(7, "Reloaded")});
    EXPECT_EQ(Read("title", "0000007"), (Values{{7, Text("reloaded", "Reloaded")}}));
    // A new keys.cfg re-keys the database: new keys get values, dropped keys have none.
    std::string error;
    ASSERT_EQ(m_admin->PutCfgFile("books", "keys.cfg", "key name=\"name\" fields=\"100a\"\n", error), 0) << error;
    EXPECT_EQ(Read("name", "0000005"), (Values{{5, Text("smith", "Smith")}}));
    CPackage pkg;
    EXPECT_EQ(Search(m_c, "books/title/0000005", 8, pkg), -1);
    EXPECT_EQ(LastCode(m_c), kStrataBadPath);
}

TEST_P(StrataSortKeysTest, AStoreWithoutSortValuesIsFilledWhenOpened) {
    m_c.EndChannel();
    m_admin.reset();
    std::string error;
    if (IsPg()) {
        PGconn* c = PQconnectdb(m_pg.Spec().substr(3).c_str());
        ASSERT_EQ(PQstatus(c), CONNECTION_OK);
        PQclear(PQexec(c, "DROP TABLE sortkeys"));
        PQclear(PQexec(c, "UPDATE meta SET v=3 WHERE k='format'"));
        PQfinish(c);
        // A pool of its own checks the format again.
        m_iface.SetNetworkOptions(m_pg.NetOptions(7));
        ASSERT_EQ(m_iface.LoadLibraryA("netchan32.dll", m_pg.Database().c_str()), 0);
        ASSERT_EQ(m_iface.GetAllProcAddress(error), 0) << error;
    } else {
        const std::string file = StrataStoreFile(m_folder, "inst");
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "DROP TABLE sortkeys; UPDATE meta SET v='velkan-strata-3' WHERE k='format'",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
        m_admin = CStrataAdmin::Open(file, error);
        ASSERT_TRUE(m_admin) << error;
    }
    Open(m_c);
    EXPECT_EQ(Read("year", "0000001-0000002"), (Values{{1, "d1999"}, {2, "d2001"}}));
    EXPECT_EQ(Read("title", "0000001-9999999").size(), 2999u);
}

STRATA_ENGINE_TESTS(StrataSortKeysTest);

TEST(StrataSortLine, EveryRecordNumberReadsBackAndOthersAreRefused) {
    std::string line = "left over from an earlier line";
    for (int64_t record : {int64_t(1), int64_t(10), int64_t(4096), kStrataMaxRecordNumber}) {
        StrataSortLine(record, "value\ttab", line);
        int64_t read = 0;
        std::string_view value;
        ASSERT_TRUE(StrataParseSortLine(line, read, value)) << line;
        EXPECT_EQ(record, read);
        EXPECT_EQ("value\ttab", value);
    }
    for (int64_t record : {int64_t(0), int64_t(-1), kStrataMaxRecordNumber + 1}) {
        StrataSortLine(record, "v", line);
        int64_t read = 0;
        std::string_view value;
        EXPECT_FALSE(StrataParseSortLine(line, read, value)) << line;
    }
}

}  // namespace
