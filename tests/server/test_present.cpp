// Present service over loopback: the range rules (40-record cap, next positions, clipping,
// failures), set lookup, referenceId echo, brief and full records, ISO 2709 form, UTF-8 terms and
// records, and a record that cannot be fetched.

#include <cstdlib>

#include "test_search_fixture.h"

using namespace searchtest;

namespace {

const std::vector<std::string> kBooks = {"books"};

// Checks the ISO 2709 frame (length in the leader, base address, record terminator) and
// returns the tags of the directory, in order; empty when the frame is wrong.
std::vector<std::string> Iso2709Tags(const std::string& marc) {
    if (marc.size() < 26 || marc.back() != '\x1d')
        return {};
    if (std::atoi(marc.substr(0, 5).c_str()) != static_cast<int>(marc.size()))
        return {};
    const int base = std::atoi(marc.substr(12, 5).c_str());
    if (base < 25 || base > static_cast<int>(marc.size()) || marc[static_cast<size_t>(base) - 1] != '\x1e')
        return {};
    std::vector<std::string> tags;
    for (int at = 24; at + 12 < base; at += 12)
        tags.push_back(marc.substr(static_cast<size_t>(at), 3));
    return tags;
}

bool HasTag(const std::string& marc, const std::string& tag) {
    const auto tags = Iso2709Tags(marc);
    return std::find(tags.begin(), tags.end(), tag) != tags.end();
}

}  // namespace

// --- ranges -----------------------------------------------------------------------------------

TEST_F(SearchServerTest, PresentSendsAtMostFortyAndContinuesWhereItStopped) {
    const int fd = Open();
    ASSERT_EQ(60, Search(fd, "1", kBooks, Term(4, "computer")).count);
    PresentAnswer p = Present(fd, PresentPdu("1", 1, 60));
    EXPECT_EQ(0, p.status);
    EXPECT_EQ(40, p.returned);
    EXPECT_EQ(41, p.next);
    EXPECT_EQ(40u, p.records.size());
    // Without a start point the next Present begins at 41 and is clipped at the end.
    p = Present(fd, PresentPdu("1", -1, 30));
    EXPECT_EQ(20, p.returned);
    EXPECT_EQ(0, p.next);
    ASSERT_EQ(20u, p.records.size());
    EXPECT_NE(std::string::npos, p.records[0].marc.find("0000041"));
    // After the end it starts again at 1.
    p = Present(fd, PresentPdu("1", -1, 1));
    ASSERT_EQ(1u, p.records.size());
    EXPECT_NE(std::string::npos, p.records[0].marc.find("0000001"));
}

TEST_F(SearchServerTest, PresentOfNoRecordsSucceedsWithAnEmptyList) {
    const int fd = Open();
    ASSERT_EQ(60, Search(fd, "1", kBooks, Term(4, "computer")).count);
    // berkit's decoder refuses empty constructed elements, so the answer is compared as bytes:
    // numberOfRecordsReturned 0, nextResultSetPosition 7, presentStatus 0, empty responseRecords.
    ASSERT_TRUE(tunneltest::SendAll(fd, PresentPdu("1", 7, 0)));
    ASSERT_EQ(tunneltest::ReadResult::Pdu, tunneltest::ReadPdu(fd, m_pdu));
    EXPECT_EQ(tunneltest::Hex("b9 0b 98 01 00 99 01 07 9b 01 00 bc 00"), m_pdu);
}

TEST_F(SearchServerTest, PresentFailsPastTheEndAndWithoutAnySet) {
    const int fd = Open();
    PresentAnswer p = Present(fd, PresentPdu("1", 1, 10));
    EXPECT_EQ(5, p.status);
    EXPECT_EQ(0, p.returned);
    EXPECT_EQ(0, p.next);
    EXPECT_FALSE(p.hasRecords);
    ASSERT_EQ(60, Search(fd, "1", kBooks, Term(4, "computer")).count);
    p = Present(fd, PresentPdu("1", 61, 1));
    EXPECT_EQ(5, p.status);
    EXPECT_FALSE(p.hasRecords);
}

TEST_F(SearchServerTest, UnknownSetNameIsServedFromTheFirstSet) {
    const int fd = Open();
    ASSERT_EQ(1, Search(fd, "cook", kBooks, Term(4, "cooking")).count);
    const PresentAnswer p = Present(fd, PresentPdu("", 1, 5));  // "default"
    EXPECT_EQ(0, p.status);
    ASSERT_EQ(1u, p.records.size());
    EXPECT_EQ("books", p.records[0].db);
}

TEST_F(SearchServerTest, ReferenceIdIsEchoedOnlyWhenSent) {
    const int fd = Open();
    ASSERT_EQ(1, Search(fd, "1", kBooks, Term(4, "cooking")).count);
    EXPECT_EQ("abc", Present(fd, PresentPdu("1", 1, 1, "", "abc")).referenceId);
    EXPECT_EQ("", Present(fd, PresentPdu("1", 1, 1)).referenceId);
}

// --- records ----------------------------------------------------------------------------------

TEST_F(SearchServerTest, RecordsAreIso2709UnderTheDatabaseSyntax) {
    const int fd = Open();
    ASSERT_EQ(62, Search(fd, "1", {"books", "other"}, Term(4, "computer")).count);
    const PresentAnswer p = Present(fd, PresentPdu("1", 59, 4, "F"));
    ASSERT_EQ(4u, p.records.size());
    EXPECT_EQ("books", p.records[0].db);
    EXPECT_EQ("1.2.840.10003.5.10", p.records[0].oid);
    EXPECT_EQ("other", p.records[3].db);
    EXPECT_EQ("1.2.840.10003.5.1", p.records[3].oid);
    EXPECT_EQ((std::vector<std::string>{"001", "100", "245"}), Iso2709Tags(p.records[0].marc));
    EXPECT_EQ((std::vector<std::string>{"001", "100", "245", "650"}), Iso2709Tags(p.records[1].marc));
    EXPECT_EQ((std::vector<std::string>{"001", "100", "245"}), Iso2709Tags(p.records[3].marc));
}

TEST_F(SearchServerTest, ElementSetsGiveBriefAndFullRecordsToAuthenticatedSessions) {
    const int fd = Open(true);
    ASSERT_EQ(1, Search(fd, "1", kBooks, Term(4, "cooking")).count);
    PresentAnswer p = Present(fd, PresentPdu("1", 1, 1, "F"));
    ASSERT_EQ(1u, p.records.size());
    EXPECT_TRUE(HasTag(p.records[0].marc, "100"));
    EXPECT_NE(std::string::npos, p.records[0].marc.find("remainder"));
    p = Present(fd, PresentPdu("1", 1, 1, "B"));
    ASSERT_EQ(1u, p.records.size());
    EXPECT_EQ((std::vector<std::string>{"001", "245"}), Iso2709Tags(p.records[0].marc));
    EXPECT_EQ(std::string::npos, p.records[0].marc.find("remainder"));  // only 245 $a is kept
    p = Present(fd, PresentPdu("1", 1, 1));  // no element set: brief
    ASSERT_EQ(1u, p.records.size());
    EXPECT_FALSE(HasTag(p.records[0].marc, "100"));
}

TEST_F(SearchServerTest, AnonymousSessionsGetBriefRecordsEvenWhenAskingForFull) {
    const int fd = Open(false);
    ASSERT_EQ(1, Search(fd, "1", kBooks, Term(4, "cooking")).count);
    PresentAnswer p = Present(fd, PresentPdu("1", 1, 1, "f"));
    ASSERT_EQ(1u, p.records.size());
    EXPECT_EQ((std::vector<std::string>{"001", "245"}), Iso2709Tags(p.records[0].marc));
    // Without a brief definition the whole record goes out.
    ASSERT_EQ(1, Search(fd, "2", {"other"}, Term(4, "graphics")).count);
    p = Present(fd, PresentPdu("2", 1, 1, "F"));
    ASSERT_EQ(1u, p.records.size());
    EXPECT_TRUE(HasTag(p.records[0].marc, "100"));
}

TEST_F(SearchServerTest, Utf8SessionsSearchInUtf8AndReceiveUtf8Records) {
    const std::string title = "计算机网络";
    int fd = Open(true, true);
    ASSERT_EQ(1, Search(fd, "1", kBooks, Term(4, "网络")).count);
    ASSERT_EQ(1, Search(fd, "2", kBooks, Term(1003, "谢希仁")).count);
    PresentAnswer p = Present(fd, PresentPdu("1", 1, 1, "F"));
    ASSERT_EQ(1u, p.records.size());
    EXPECT_NE(std::string::npos, p.records[0].marc.find(title));
    EXPECT_FALSE(Iso2709Tags(p.records[0].marc).empty());
    // Without negotiation the terms and records are in the ANSI code page.
    fd = Open(true, false);
    ASSERT_EQ(1, Search(fd, "1", kBooks, Term(4, Utf8ToAnsi("网络"))).count);
    p = Present(fd, PresentPdu("1", 1, 1, "F"));
    ASSERT_EQ(1u, p.records.size());
    EXPECT_NE(std::string::npos, p.records[0].marc.find(Utf8ToAnsi(title)));
    EXPECT_EQ(std::string::npos, p.records[0].marc.find(title));
}

TEST_F(SearchServerTest, RecordThatCannotBeFetchedGetsASurrogateDiagnostic) {
    const int fd = Open();
    ASSERT_EQ(3, Search(fd, "1", kBooks, Or(Term(12, "0000001"), Or(Term(12, "0000002"), Term(12, "0000003"))))
                     .count);
    std::string error;
    ASSERT_EQ(0, m_admin->DeleteRecord("books", 2, error)) << error;
    const PresentAnswer p = Present(fd, PresentPdu("1", 1, 3, "F"));
    EXPECT_EQ(0, p.status);
    ASSERT_EQ(3u, p.records.size());
    EXPECT_FALSE(p.records[0].marc.empty());
    EXPECT_TRUE(p.records[1].marc.empty());
    EXPECT_EQ(14, p.records[1].diagnostic);
    EXPECT_FALSE(p.records[2].marc.empty());
    EXPECT_TRUE(tunneltest::WaitForLog(m_dir, "GetMARCRecord() error"));
}

TEST_F(SearchServerTest, RowsOfTwoDatabasesArePresentedInSetOrderWithTheirOwnRecords) {
    const int fd = Open();
    ASSERT_EQ(62, Search(fd, "1", {"books", "other"}, Term(4, "computer")).count);
    for (const char* elements : {"F", "B"}) {
        const PresentAnswer p = Present(fd, PresentPdu("1", 57, 6, elements));
        EXPECT_EQ(0, p.status);
        ASSERT_EQ(6u, p.records.size());
        const std::vector<std::pair<std::string, std::string>> expected = {
            {"books", "0000057"}, {"books", "0000058"}, {"books", "0000059"},
            {"books", "0000060"}, {"other", "0000005"}, {"other", "0000070"}};
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(expected[i].first, p.records[i].db) << i;
            EXPECT_NE(std::string::npos, p.records[i].marc.find(expected[i].second)) << i;
            EXPECT_EQ(0, p.records[i].diagnostic) << i;
        }
        // Brief records of "books" drop the author (100); full ones keep it.
        EXPECT_EQ(std::string(elements) == "F", HasTag(p.records[0].marc, "100")) << elements;
    }
}

TEST_F(SearchServerTest, FortyRecordsLargerThanOneBackEndAnswerArriveWhole) {
    std::vector<std::string> big;
    for (int i = 0; i < 40; ++i)
        big.push_back(MakeRecord(200 + i, "Huge " + std::string(3000, char('a' + i % 26)) + " volume", "Author"));
    std::vector<StrataRejectedRecord> rejected;
    std::string error;
    ASSERT_EQ(40, m_admin->LoadRecords("books", big, rejected, error)) << error;
    const int fd = Open();
    ASSERT_EQ(40, Search(fd, "1", kBooks, Term(4, "huge")).count);
    const PresentAnswer p = Present(fd, PresentPdu("1", 1, 40, "F"));
    EXPECT_EQ(0, p.status);
    ASSERT_EQ(40u, p.records.size());
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(0, p.records[i].diagnostic) << i;
        EXPECT_NE(std::string::npos, p.records[i].marc.find(std::to_string(200 + i))) << i;
        EXPECT_NE(std::string::npos, p.records[i].marc.find(std::string(3000, char('a' + i % 26)))) << i;
        EXPECT_FALSE(Iso2709Tags(p.records[i].marc).empty()) << i;
    }
}

// --- record paths -----------------------------------------------------------------------------

TEST(PresentRecordPath, SevenDigitsAfterCtlnoAndNothingForLongerNumbers) {
    CTunnel session;
    CDatabaseNode db;
    db.m_dbPath = "books";
    std::string path;
    EXPECT_EQ(19, session.GetMARCRecordPath(&db, 42, path));
    EXPECT_EQ("books/ctlno/0000042", path);
    EXPECT_EQ(-1, session.GetMARCRecordPath(&db, 12345678, path));
    EXPECT_EQ(-1, session.GetMARCRecordPath(nullptr, 1, path));
}

TEST(SearchPath, KeyFromUseCfgBetweenDatabasePathAndTerm) {
    CTunnel session;
    CDatabaseNode db;
    db.m_dbPath = "books";
    db.m_keys = {{"4", "title"}, {"21", ""}};
    std::string path;
    EXPECT_EQ(0, session.ConstructSearchPath(&db, 4, "a/b", path));
    EXPECT_EQ("books/title/a/b", path);
    EXPECT_EQ(-1, session.ConstructSearchPath(&db, 21, "x", path));   // mapped to no key
    EXPECT_EQ(-1, session.ConstructSearchPath(&db, 1003, "x", path));  // not mapped
    EXPECT_EQ(-1, session.ConstructSearchPath(nullptr, 4, "x", path));
}
