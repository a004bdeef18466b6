// Term matching through the channel: case, whole values, words and word runs, truncation, CJK
// substrings of one, two and more characters, stored in the ANSI code page.
#include <sqlite3.h>

#include "strata_fixture.h"

namespace {

class StrataMatchTest : public StrataStoreTest {
protected:
    void SetUp() override {
        StrataStoreTest::SetUp();
        Load({MakeDiriv(1, "The Art of Computer Programming", "Knuth, Donald E."),
              MakeDiriv(2, "Programming Pearls", "Bentley, Jon"),
              MakeDiriv(3, "Computer Networks", "Tanenbaum, Andrew"),
              MakeDiriv(4, Utf8ToAnsi("中文信息处理"), Utf8ToAnsi("王小明")),
              MakeDiriv(5, Utf8ToAnsi("信息检索导论"), Utf8ToAnsi("李明")),
              MakeDiriv(6, Utf8ToAnsi("C++程序设计"), "Stroustrup")});
        Open(m_c);
    }
    std::vector<std::string> Hits(const std::string& key, const std::string& ansiTerm) {
        return AllHits(m_c, "books/" + key + "/" + ansiTerm);
    }
    std::vector<std::string> HitsU(const std::string& key, const char* utf8Term) {
        return Hits(key, Utf8ToAnsi(utf8Term));
    }
    CConnect m_c;
};

using V = std::vector<std::string>;

TEST_P(StrataMatchTest, WordsMatchWithoutRegardToCase) {
    EXPECT_EQ(Hits("title", "programming"), (V{"0000001", "0000002"}));
    EXPECT_EQ(Hits("title", "PROGRAMMING"), (V{"0000001", "0000002"}));
    EXPECT_EQ(Hits("author", "knuth"), V{"0000001"});
}

TEST_P(StrataMatchTest, ARunOfWordsMatchesOnlyInOrder) {
    EXPECT_EQ(Hits("title", "computer programming"), V{"0000001"});
    EXPECT_EQ(Hits("title", "The Art of Computer Programming"), V{"0000001"});
    EXPECT_TRUE(Hits("title", "programming computer").empty());
    EXPECT_EQ(LastCode(m_c), kStrataNoData);
    EXPECT_EQ(Hits("author", "Knuth, Donald E."), V{"0000001"});
}

TEST_P(StrataMatchTest, TrailingMarkTruncatesTheLastWord) {
    EXPECT_EQ(Hits("title", "comp*"), (V{"0000001", "0000003"}));
    EXPECT_EQ(Hits("title", "program?"), (V{"0000001", "0000002"}));
    EXPECT_EQ(Hits("title", "computer prog*"), V{"0000001"});
    EXPECT_TRUE(Hits("title", "comp").empty());
}

TEST_P(StrataMatchTest, CjkMatchesAsSubstringOfAnyLength) {
    EXPECT_EQ(HitsU("title", "信"), (V{"0000004", "0000005"}));
    EXPECT_EQ(HitsU("title", "信息"), (V{"0000004", "0000005"}));
    EXPECT_EQ(HitsU("title", "息处"), V{"0000004"});
    EXPECT_EQ(HitsU("title", "信息处理"), V{"0000004"});
    EXPECT_EQ(HitsU("author", "明"), (V{"0000004", "0000005"}));
    EXPECT_TRUE(HitsU("title", "处息").empty());
}

TEST_P(StrataMatchTest, MixedLatinAndCjkTextMatches) {
    EXPECT_EQ(HitsU("title", "程序"), V{"0000006"});
    EXPECT_EQ(HitsU("title", "c++程序"), V{"0000006"});
}

TEST_P(StrataMatchTest, TermsWithoutTextAreRefused) {
    CPackage pkg;
    EXPECT_EQ(Search(m_c, "books/title/*", 5, pkg), -1);
    EXPECT_EQ(LastCode(m_c), kStrataBadTerm);
    EXPECT_EQ(Search(m_c, "books/title/", 5, pkg), -1);
    EXPECT_EQ(LastCode(m_c), kStrataBadTerm);
    EXPECT_EQ(Search(m_c, "books/nokey/x", 5, pkg), -1);
    EXPECT_EQ(LastCode(m_c), kStrataBadPath);
}

// Letters of every script: a name is found in any case, in either Unicode form (NFC or NFD, in the
// record or in the term) and in full-width form; a key with fold="diacritics" also finds it
// without its marks.
class StrataLettersTest : public StrataStoreTest {
protected:
    void SetUp() override {
        StrataStoreTest::SetUp();
        std::string error;
        ASSERT_EQ(m_admin->PutCfgFile("books", "keys.cfg",
                                      "key name=\"title\" fields=\"245a\"\nkey name=\"author\" fields=\"100a\"\n"
                                      "key name=\"bare\" fields=\"100a\" fold=\"diacritics\"\n",
                                      error),
                  0)
            << error;
        const char* authors[] = {"Müller, Hans", "Mu\u0308ller, Anna", "MÜLLER, KARL", "Ångström, Anders",
                                 "Łukasiewicz, Jan", "Σωκράτης", "Ｓｍｉｔｈ", "Dvořák, Antonín",
                                 "Straße", "Иванов, Пётр"};
        std::vector<std::string> records;
        for (int i = 0; i < 10; ++i) records.push_back(MakeDiriv(i + 1, "x", Utf8ToAnsi(authors[i])));
        Load(records);
        Open(m_c);
    }
    CConnect m_c;
};

TEST_P(StrataLettersTest, NamesAreFoundInEveryCaseFormAndWidth) {
    struct Case {
        const char* key;
        const char* term;
        V hits;
    } cases[] = {
        {"author", "müller", {"0000001", "0000002", "0000003"}},
        {"author", "MÜLLER", {"0000001", "0000002", "0000003"}},
        {"author", "mu\u0308ller", {"0000001", "0000002", "0000003"}},
        {"author", "muller", {}},
        {"author", "ångström", {"0000004"}},
        {"author", "A\u030aNGSTRO\u0308M", {"0000004"}},
        {"author", "łukasiewicz", {"0000005"}},
        {"author", "ŁUKASIEWICZ", {"0000005"}},
        {"author", "ΣΩΚΡΆΤΗΣ", {"0000006"}},
        {"author", "σωκράτησ", {"0000006"}},
        {"author", "smith", {"0000007"}},
        {"author", "ＳＭＩＴＨ", {"0000007"}},
        {"author", "strasse", {"0000009"}},
        {"author", "STRASSE", {"0000009"}},
        {"author", "иванов", {"0000010"}},
        {"author", "пётр", {"0000010"}},
        {"author", "mül*", {"0000001", "0000002", "0000003"}},
        {"bare", "muller", {"0000001", "0000002", "0000003"}},
        {"bare", "Müller", {"0000001", "0000002", "0000003"}},
        {"bare", "dvorak", {"0000008"}},
        {"bare", "antonin", {"0000008"}},
        {"bare", "angstrom", {"0000004"}},
        {"bare", "петр", {"0000010"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AllHits(m_c, "books/" + std::string(c.key) + "/" + Utf8ToAnsi(c.term)), c.hits)
            << c.key << " " << c.term;
    }
}

// A store keyed by the version before Unicode folding (format 2) is keyed again when it is opened,
// and the UTF-8 main entry that version kept in a MARC 21 record is brought to the ANSI code page.
TEST_P(StrataLettersTest, AStoreOfTheFormerKeyFormatIsRekeyedWhenOpened) {
    if (IsPg()) GTEST_SKIP() << "the upgrade of a PostgreSQL store is in StrataPgTest";
    std::string utf8Record = MakeDiriv(11, "x", "Gödel, Kurt");
    utf8Record[9] = 'a';
    Load({utf8Record});
    m_admin.reset();
    const std::string file = StrataStoreFile(m_folder, "inst");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DELETE FROM postings; UPDATE meta SET v='velkan-strata-2' WHERE k='format'", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    std::string error;
    m_admin = CStrataAdmin::Open(file, error);
    ASSERT_TRUE(m_admin) << error;
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT v FROM meta WHERE k='format'", -1, &s, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "velkan-strata-4");
    sqlite3_finalize(s);
    sqlite3_close(db);
    EXPECT_EQ(AllHits(m_c, "books/author/" + Utf8ToAnsi("ŁUKASIEWICZ")), V{"0000005"});
    EXPECT_EQ(AllHits(m_c, "books/author/" + Utf8ToAnsi("gödel")), V{"0000011"});
}

STRATA_ENGINE_TESTS(StrataMatchTest);
STRATA_ENGINE_TESTS(StrataLettersTest);

}  // namespace
