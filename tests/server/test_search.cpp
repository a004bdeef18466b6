// Search service over loopback: hits of one term, the boolean operators, result-set references,
// stored sets (names, replacement, the 21-set limit), failures that fail the Search and failures
// that end the association, the hit limit, and result-set files when sessions end.

#include <thread>

#include "server/zrecordset.h"

#include "test_search_fixture.h"

using namespace searchtest;

namespace {
const std::vector<std::string> kBooks = {"books"};
}

// --- hits -------------------------------------------------------------------------------------

TEST_F(SearchServerTest, TitleSearchCountsEveryMatchingRecord) {
    const int fd = Open();
    SearchAnswer a = Search(fd, "1", kBooks, Term(4, "computer"));
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(kComputerRecords, a.count);
    EXPECT_EQ(1, a.next);
    EXPECT_TRUE(a.status);
    a = Search(fd, "2", kBooks, Term(1003, "child"));
    EXPECT_EQ(1, a.count);
    a = Search(fd, "3", kBooks, Term(12, "0000061"));
    EXPECT_EQ(1, a.count);
}

TEST_F(SearchServerTest, NoHitsIsASuccessfulSearchWithPositionZero) {
    const int fd = Open();
    const SearchAnswer a = Search(fd, "1", kBooks, Term(4, "astronomy"));
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(0, a.count);
    EXPECT_EQ(0, a.next);
    EXPECT_TRUE(a.status);
}

TEST_F(SearchServerTest, OperatorsCombineTheHitsOfBothOperands) {
    const int fd = Open();
    EXPECT_EQ(30, Search(fd, "a", kBooks, And(Term(4, "computer"), Term(1003, "knuth"))).count);
    EXPECT_EQ(61, Search(fd, "o", kBooks, Or(Term(4, "computer"), Term(4, "cooking"))).count);
    EXPECT_EQ(40, Search(fd, "n", kBooks, AndNot(Term(4, "computer"), Term(21, "algorithms"))).count);
    // Duplicates disappear; a set minus itself is empty; an empty left side still searches right.
    EXPECT_EQ(60, Search(fd, "d", kBooks, Or(Term(4, "computer"), Term(4, "systems"))).count);
    EXPECT_EQ(0, Search(fd, "e", kBooks, AndNot(Term(4, "computer"), Term(4, "computer"))).count);
    const SearchAnswer empty = Search(fd, "f", kBooks, And(Term(4, "astronomy"), Term(4, "computer")));
    EXPECT_EQ(0, empty.count);
    EXPECT_TRUE(empty.status);
}

TEST_F(SearchServerTest, ProximityIsRefusedAfterBothSidesWereSearched) {
    const int fd = Open();
    const SearchAnswer a = Search(fd, "p", kBooks, Op(3, Term(4, "computer"), Term(4, "systems")));
    ASSERT_TRUE(a.ok);
    EXPECT_FALSE(a.status);
    EXPECT_EQ(0, a.count);
    EXPECT_TRUE(tunneltest::WaitForLog(m_dir, "unsurported operator"));
}

TEST_F(SearchServerTest, TwoDatabasesAddTheirHitsUnderTheNamesTheClientWrote) {
    const int fd = Open();
    EXPECT_EQ(62, Search(fd, "1", {"BK", "other"}, Term(4, "computer")).count);
    const PresentAnswer p = Present(fd, PresentPdu("1", 1, 40));
    ASSERT_EQ(40u, p.records.size());
    EXPECT_EQ("BK", p.records[0].db);  // capital names sort first
    // A database whose use.cfg lacks the use attribute fails the whole search.
    const SearchAnswer a = Search(fd, "2", {"books", "other"}, Term(1003, "knuth"));
    EXPECT_FALSE(a.status);
    EXPECT_EQ(0, a.count);
    EXPECT_TRUE(tunneltest::WaitForLog(m_dir, "unsurported keys"));
}

TEST_F(SearchServerTest, HitLimitStopsReadingOneRowPastTheLimit) {
    m_owner->m_settings.Update([&](CServerSettings& s) { s.m_maxSearchHits = 5; });
    const int fd = Open();
    EXPECT_EQ(6, Search(fd, "1", {"books", "other"}, Term(4, "computer")).count);
    m_owner->m_settings.Update([&](CServerSettings& s) { s.m_maxSearchHits = 0; });
    EXPECT_EQ(1, Search(fd, "2", kBooks, Term(4, "computer")).count);
}

// --- result-set references and stored sets ----------------------------------------------------

TEST_F(SearchServerTest, SetReferencesReadEarlierSetsAndTheSetBeingReplaced) {
    const int fd = Open();
    ASSERT_EQ(60, Search(fd, "", kBooks, Term(4, "computer")).count);  // stored as "default"
    EXPECT_EQ(30, Search(fd, "", kBooks, And(SetRef("DEFAULT"), Term(1003, "wirth"))).count);
    EXPECT_EQ(30, Search(fd, "copy", kBooks, SetRef("default")).count);
    EXPECT_EQ(31, Search(fd, "x", kBooks, Or(SetRef("copy"), Term(4, "cooking"))).count);
}

TEST_F(SearchServerTest, UnknownReferenceFailsTheSearchAndKeepsTheAssociation) {
    const int fd = Open();
    const SearchAnswer a = Search(fd, "1", kBooks, SetRef("nowhere"));
    ASSERT_TRUE(a.ok);
    EXPECT_FALSE(a.status);
    EXPECT_TRUE(tunneltest::WaitForLog(m_dir, "referred resultset not exist"));
    EXPECT_EQ(60, Search(fd, "2", kBooks, Term(4, "computer")).count);
}

TEST_F(SearchServerTest, SameNameInOtherCaseReplacesAndZeroHitsRemoves) {
    const int fd = Open();
    ASSERT_EQ(60, Search(fd, "Set", kBooks, Term(4, "computer")).count);
    ASSERT_EQ(1, Search(fd, "SET", kBooks, Term(4, "cooking")).count);
    PresentAnswer p = Present(fd, PresentPdu("set", 1, 10));
    EXPECT_EQ(1, p.returned);
    // A search without hits removes the set: no result set is left, so the Present fails.
    ASSERT_EQ(0, Search(fd, "set", kBooks, Term(4, "astronomy")).count);
    p = Present(fd, PresentPdu("set", 1, 10));
    EXPECT_EQ(5, p.status);
    EXPECT_FALSE(p.hasRecords);
}

TEST_F(SearchServerTest, SessionKeepsTheTwentyOneNewestSets) {
    const int fd = Open();
    for (int i = 1; i <= 25; ++i)
        ASSERT_EQ(1, Search(fd, "s" + std::to_string(i), kBooks, Term(12, "00000" + std::to_string(10 + i))).count);
    EXPECT_EQ(21u, FileCount(m_tmp));
    // "s1" is gone: the Present is served from the oldest kept set, s5 (record 15).
    PresentAnswer p = Present(fd, PresentPdu("s1", 1, 1, "F"));
    ASSERT_EQ(1u, p.records.size());
    EXPECT_NE(std::string::npos, p.records[0].marc.find("0000015"));
    p = Present(fd, PresentPdu("s25", 1, 1, "F"));
    ASSERT_EQ(1u, p.records.size());
    EXPECT_NE(std::string::npos, p.records[0].marc.find("0000035"));
}

// --- failures that end the association --------------------------------------------------------

TEST_F(SearchServerTest, UnknownDatabaseEndsTheAssociationBeforeAnySearch) {
    int fd = Open();
    ASSERT_TRUE(tunneltest::SendAll(fd, SearchPdu("1", {"books", "nosuch"}, Term(4, "computer"))));
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
    fd = Open();
    ASSERT_TRUE(tunneltest::SendAll(fd, SearchPdu("1", {}, Term(4, "computer"))));
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
}

TEST_F(SearchServerTest, QueryOutsideBib1EndsTheAssociation) {
    const int fd = Open();
    CByteArray request = SearchPdu("1", kBooks, Term(4, "computer"));
    const CByteArray bib1 = {0x2a, 0x86, 0x48, 0xce, 0x13, 0x03, 0x01};
    auto at = std::search(request.begin(), request.end(), bib1.begin(), bib1.end());
    ASSERT_NE(request.end(), at);
    *(at + 6) = 0x02;  // exp-1 instead of bib-1
    ASSERT_TRUE(tunneltest::SendAll(fd, request));
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
}

TEST_F(SearchServerTest, DeeplyNestedQueryFailsWithoutCrashing) {
    const int fd = Open();
    CByteArray rpn = Term(4, "computer");
    for (int i = 0; i < 60; ++i)
        rpn = Or(rpn, Term(4, "cooking"));
    const SearchAnswer a = Search(fd, "deep", kBooks, rpn);
    // Either the decoder refuses the tree (association ends) or the evaluation does (failed search).
    if (a.ok) {
        EXPECT_FALSE(a.status);
    }
    EXPECT_EQ(0u, FileCount(m_tmp));
}

// --- result-set files ---------------------------------------------------------------------------

TEST_F(SearchServerTest, SetsUpToTheMemoryLimitKeepNoFileAndLargerOnesSpillWithTheSameRows) {
    // 40 hits fit (a hit list is held as four octets a hit); the 60 computer hits do not.
    CMemSort::SetMemoryDataLimit(40 * 4);
    const int fd = Open();
    ASSERT_EQ(1, Search(fd, "small", kBooks, Term(4, "cooking")).count);
    ASSERT_EQ(2, Search(fd, "and", kBooks, And(Term(4, "computer"), Or(Term(12, "0000007"), Term(12, "0000003"))))
                     .count);
    EXPECT_EQ(0u, FileCount(m_tmp));
    ASSERT_EQ(60, Search(fd, "large", kBooks, Term(4, "computer")).count);
    EXPECT_EQ(1u, FileCount(m_tmp));
    PresentAnswer p = Present(fd, PresentPdu("large", 55, 6, "F"));
    ASSERT_EQ(6u, p.records.size());
    for (int i = 0; i < 6; ++i)
        EXPECT_NE(std::string::npos, p.records[i].marc.find("00000" + std::to_string(55 + i))) << i;
    p = Present(fd, PresentPdu("and", 1, 2, "F"));
    ASSERT_EQ(2u, p.records.size());
    EXPECT_NE(std::string::npos, p.records[0].marc.find("0000003"));
    EXPECT_NE(std::string::npos, p.records[1].marc.find("0000007"));
    ASSERT_EQ(0, Search(fd, "large", kBooks, Term(4, "astronomy")).count);  // removes "large"
    EXPECT_EQ(0u, FileCount(m_tmp));
}

TEST_F(SearchServerTest, ResultSetFilesGoWhenTheSessionEnds) {
    const int fd = Open();
    ASSERT_EQ(60, Search(fd, "1", kBooks, Term(4, "computer")).count);
    ASSERT_EQ(1, Search(fd, "2", kBooks, Term(4, "cooking")).count);
    EXPECT_EQ(2u, FileCount(m_tmp));
    close(fd);
    m_clients.clear();
    EXPECT_TRUE(vktest::WaitFor(
        [&] {
            m_owner->Sweep();
            return m_owner->GetSize() == 0;
        },
        5000));
    EXPECT_EQ(0u, FileCount(m_tmp));
}

TEST_F(SearchServerTest, StopDuringASearchLeavesNoFiles) {
    const int fd = Open();
    ASSERT_EQ(60, Search(fd, "kept", kBooks, Term(4, "computer")).count);
    // A wide query keeps the session busy with back-end calls and temporary sets.
    CByteArray rpn = Term(4, "computer");
    for (int i = 0; i < 40; ++i)
        rpn = Or(rpn, And(Term(4, "systems"), Term(1003, i % 2 ? "knuth" : "wirth")));
    ASSERT_TRUE(tunneltest::SendAll(fd, SearchPdu("busy", kBooks, rpn)));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    CTunnel* session = FirstSession();
    ASSERT_NE(nullptr, session);
    session->Stop();
    EXPECT_TRUE(vktest::WaitFor(
        [&] {
            m_owner->Sweep();
            return m_owner->GetSize() == 0;
        },
        10000));
    EXPECT_EQ(0u, FileCount(m_tmp));
}

TEST_F(SearchServerTest, OperatorRemovalMidSearchLeavesNoFiles) {
    const int fd = Open();
    CByteArray rpn = Term(4, "computer");
    for (int i = 0; i < 40; ++i)
        rpn = Or(rpn, Term(4, "systems"));
    ASSERT_TRUE(tunneltest::SendAll(fd, SearchPdu("busy", kBooks, rpn)));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    m_owner->RemoveTunnel(FirstSession(), false);
    EXPECT_TRUE(vktest::WaitFor(
        [&] {
            m_owner->Sweep();
            return m_owner->GetSize() == 0;
        },
        10000));
    EXPECT_EQ(0u, FileCount(m_tmp));
}

TEST_F(SearchServerTest, EvaluationStopsAtTheStopFlagAndKeepsNoTemporarySets) {
    CTunnel session;
    session.m_owner = m_owner.get();
    session.m_databaseNames = kBooks;
    CByteArray rpn = Or(Term(4, "computer"), And(Term(4, "cooking"), Term(1003, "child")));
    CBERNode root;
    ASSERT_GT(DecodeBER(&root, rpn.data(), static_cast<int>(rpn.size())), 0);
    CZResultSet target;
    ASSERT_EQ(0, target.Create(nullptr));
    ASSERT_EQ(0, session.SearchDB(root.m_arrChildren[0], &target));
    target.Sort(0);
    EXPECT_EQ(61, target.GetRowCount());
    EXPECT_EQ(1u, FileCount(m_tmp));  // the target only

    ASSERT_EQ(0, target.Create(nullptr));
    session.m_bStop = true;
    std::string message;
    try {
        session.SearchDB(root.m_arrChildren[0], &target);
    } catch (extended_exception& e) {
        message = e.m_strMessage;
    }
    EXPECT_EQ("search stopped", message);
    EXPECT_EQ(1u, FileCount(m_tmp));
}
