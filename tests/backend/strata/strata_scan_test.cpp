// The term index read through the channel (styles 6 and 7): terms in index order from a start
// term folded as the index folds, over several pages, with counts that a search of each term
// gives back exactly, on both engines.
#include "backend/strata/strata_scan.h"
#include "strata_fixture.h"

namespace {

class StrataScanTest : public StrataStoreTest {
protected:
    // 300 titles "wNNN shared" (more terms than one page holds), three CJK titles, one with a
    // word in upper case and one with diacritics.
    void SetUp() override {
        StrataStoreTest::SetUp();
        std::vector<std::string> records;
        for (int i = 1; i <= 300; ++i) {
            char word[8];
            snprintf(word, sizeof word, "w%03d", i);
            records.push_back(MakeDiriv(i, std::string(word) + (i % 7 ? " shared" : " shared shared7")));
        }
        records.push_back(MakeDiriv(301, Utf8ToAnsi("信息检索")));
        records.push_back(MakeDiriv(302, Utf8ToAnsi("信息处理")));
        records.push_back(MakeDiriv(303, "COMPUTER Networks"));
        records.push_back(MakeDiriv(304, Utf8ToAnsi("Café computing")));
        Load(records);
        Open(m_c);
    }
    // The terms of a scan of the title key from `start` (ANSI) in `style`, all pages.
    std::vector<StrataTermCount> Terms(const std::string& start, int style) {
        std::vector<StrataTermCount> terms;
        for (const std::string& line : AllHits(m_c, "books/title/" + start, nullptr, 65535, style)) {
            StrataTermCount term;
            EXPECT_TRUE(StrataParseScanLine(line, term)) << line;
            terms.push_back(term);
        }
        return terms;
    }
    CConnect m_c;
};

TEST_P(StrataScanTest, EveryTermScannedFindsExactlyItsCount) {
    const std::vector<StrataTermCount> terms = Terms("", 6);
    // 300 wNNN, shared, shared7, 6 CJK characters + 5 pairs, computer, networks, café, computing.
    ASSERT_EQ(terms.size(), 300u + 2 + 11 + 4);
    for (size_t i = 0; i < terms.size(); ++i) {
        if (i > 0)
            EXPECT_LT(terms[i - 1].m_term, terms[i].m_term);
        const std::vector<std::string> hits = AllHits(m_c, "books/title/" + Utf8ToAnsi(terms[i].m_term));
        EXPECT_EQ(int64_t(hits.size()), terms[i].m_count) << terms[i].m_term;
    }
}

TEST_P(StrataScanTest, StartTermsAreFoldedAndScannedBothWays) {
    const struct {
        const char* start;  // UTF-8
        int style;
        std::vector<std::string> first;  // the first terms answered; none: code 55
        int64_t firstCount;
    } rows[] = {
        {"COMP", 6, {"computer", "computing", "networks"}, 1},
        {"Computer", 6, {"computer", "computing"}, 1},
        {"CAFÉ", 6, {"café", "computer"}, 1},
        {"computer", 7, {"café"}, 1},
        {"w003", 7, {"w002", "w001", "shared7"}, 1},
        {"信息", 6, {"信息"}, 2},
        {"!!", 7, {}, 0},
        {"龥", 6, {}, 0},
    };
    for (const auto& row : rows) {
        const std::vector<StrataTermCount> terms = Terms(Utf8ToAnsi(row.start), row.style);
        ASSERT_GE(terms.size(), row.first.size()) << row.start;
        for (size_t i = 0; i < row.first.size(); ++i)
            EXPECT_EQ(terms[i].m_term, row.first[i]) << row.start << " " << i;
        if (row.first.empty())
            EXPECT_EQ(LastCode(m_c), kStrataNoData) << row.start;
        else
            EXPECT_EQ(terms[0].m_count, row.firstCount) << row.start;
    }
}

TEST_P(StrataScanTest, AnUnknownKeyIsABadPath) {
    CPackage pkg;
    EXPECT_EQ(Search(m_c, "books/nokey/a", 6, pkg), -1);
    EXPECT_EQ(LastCode(m_c), kStrataBadPath);
}

STRATA_ENGINE_TESTS(StrataScanTest);

}  // namespace
