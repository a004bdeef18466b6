// Term matching through the channel: case, whole values, words and word runs, truncation, CJK
// substrings of one, two and more characters, stored in the ANSI code page.
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

STRATA_ENGINE_TESTS(StrataMatchTest);

}  // namespace
