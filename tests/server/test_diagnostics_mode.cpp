// The bib-1 diagnostics mode ([Server] Diagnostics=bib1) through a real listener: which requests
// get which diagnostic, that the association goes on after them, default use attribute, the
// truncation, position, completeness, structure and relation attributes, and that without the mode
// the same requests still end the association.
#include "berkit/bernode_z3950.h"
#include "test_search_fixture.h"

namespace searchtest {
namespace {

// An operand with the given (type, value) attributes; none at all gives yaz-client's plain term.
CByteArray TermWith(std::initializer_list<std::pair<int, int>> attributes, const std::string& term) {
    CByteArray list;
    for (const auto& [type, value] : attributes)
        list = Cat({list, Tlv({0x30}, Cat({Tlv({0x9f, 0x78}, Int(type)), Tlv({0x9f, 0x79}, Int(value))}))});
    return Tlv({0xa0}, Tlv({0xbf, 0x66}, Cat({Tlv({0xbf, 0x2c}, list), Tlv({0x9f, 0x2d}, Text(term))})));
}

struct Diagnostic {
    long code = -1;
    std::string addinfo;
};

// The DefaultDiagFormat at `node` (or its first child when `node` is a wrapper).
Diagnostic DiagnosticOf(CBERNode* node) {
    Diagnostic d;
    if (node == nullptr)
        return d;
    d.code = IntOf(node, 2);
    if (CBERNode* text = Child(node, 26))
        d.addinfo.assign(text->m_baContent.begin(), text->m_baContent.end());
    return d;
}

class DiagnosticsModeTest : public SearchServerTest {
protected:
    void SetUp() override {
        SearchServerTest::SetUp();
        m_owner->m_settings.Update([](CServerSettings& s) {
            s.m_diagnostics = CDiagnosticsMode::kBib1;
            s.m_defaultUseAttribute = 4;  // the test store maps no 1016
        });
    }
    // A search; its count and diagnostic (code -1 without one).
    Diagnostic SearchDiagnostic(int fd, const std::vector<std::string>& dbs, const CByteArray& rpn, long& count) {
        CBERNode* apdu = Exchange(fd, SearchPdu("d", dbs, rpn));
        count = apdu && apdu->m_uTag == static_cast<unsigned>(Z_SEARCH_RESPONSE) ? IntOf(apdu, kZTagResultCount) : -2;
        return DiagnosticOf(Child(apdu, kZTagNonSurrogateDiagnostic));
    }
};

TEST_F(DiagnosticsModeTest, SearchesAnswerWithTheDiagnosticAndTheAssociationGoesOn) {
    const int fd = Open();
    const struct {
        std::vector<std::string> dbs;
        CByteArray rpn;
        long count;  // expected hits (0 with a diagnostic)
        long code;   // expected diagnostic, -1 none
        const char* addinfo;
    } rows[] = {
        {{"nosuch"}, TermWith({{1, 4}}, "computer"), 0, 109, "nosuch"},
        {{"books", "nosuch"}, TermWith({{1, 4}}, "computer"), 0, 109, "nosuch"},
        {{"other"}, TermWith({{1, 1003}}, "tanenbaum"), 0, 114, "1003"},
        {{"books"}, TermWith({}, "computer"), kComputerRecords, -1, ""},
        {{"books"}, TermWith({{1, 4}, {5, 1}}, "comput"), kComputerRecords, -1, ""},
        {{"books"}, TermWith({{1, 4}, {5, 100}}, "comput"), 0, -1, ""},
        {{"books"}, TermWith({{1, 4}}, "comput"), 0, -1, ""},
        {{"books"}, TermWith({{1, 4}, {5, 102}}, "comput"), 0, 120, "102"},
        {{"books"}, TermWith({{1, 4}, {5, 2}}, "puter"), kComputerRecords, -1, ""},
        {{"books"}, TermWith({{1, 4}, {5, 3}}, "OMPUT"), kComputerRecords, -1, ""},
        {{"books"}, TermWith({{1, 4}, {5, 101}}, "c#ing"), 1, -1, ""},
        {{"books"}, TermWith({{1, 4}, {5, 104}}, "c##king"), 1, -1, ""},
        {{"books"}, TermWith({{1, 4}, {3, 1}}, "computer systems"), kComputerRecords, -1, ""},
        {{"books"}, TermWith({{1, 4}, {3, 1}}, "systems"), 0, -1, ""},
        {{"books"}, TermWith({{1, 4}, {6, 3}}, "cooking basics"), 1, -1, ""},
        {{"books"}, TermWith({{1, 4}, {4, 6}}, "systems computer"), kComputerRecords, -1, ""},
        // Relations on a text key compare index terms: digits, basics, ... systems, then CJK.
        {{"books"}, TermWith({{1, 4}, {2, 5}}, "SYSTEMS"), 1, -1, ""},
        {{"books"}, TermWith({{1, 4}, {2, 2}}, "basics"), kComputerRecords + 1, -1, ""},
        {{"books"}, TermWith({{1, 4}, {2, 103}}, "x"), 0, 117, "103"},
        {{"books"}, TermWith({{1, 4}, {3, 4}}, "x"), 0, 119, "4"},
        {{"books"}, TermWith({{1, 4}, {4, 100}}, "x"), 0, 118, "100"},
        {{"books"}, TermWith({{1, 4}, {6, 4}}, "x"), 0, 122, "4"},
        {{"books"}, TermWith({{1, 4}, {7, 1}}, "x"), 0, 113, "7"},
        {{"books"}, TermWith({{1, 4}, {2, 4}, {5, 1}}, "x"), 0, 123, "2=4 5=1"},
        {{"books"}, TermWith({{1, 4}, {4, 6}, {3, 1}}, "x"), 0, 123, "4=6"},
        {{"books"}, TermWith({{5, 1}}, "cook"), 1, -1, ""},
    };
    for (const auto& row : rows) {
        long count = -1;
        const Diagnostic d = SearchDiagnostic(fd, row.dbs, row.rpn, count);
        EXPECT_EQ(count, row.count) << row.dbs[0] << " " << row.code;
        EXPECT_EQ(d.code, row.code) << row.dbs[0] << " " << row.addinfo << ": " << d.addinfo;
        if (row.code != -1)
            EXPECT_EQ(d.addinfo, row.addinfo);
    }
}

TEST_F(DiagnosticsModeTest, PresentOfASyntaxTheDatabaseCannotSupplyGets238) {
    const int fd = Open();
    ASSERT_EQ(Search(fd, "u", {"other"}, Term(4, "computer")).count, 2);
    // The request asks for USMARC; "other" holds UNIMARC records.
    CBERNode* apdu = Exchange(fd, PresentPdu("u", 1, 1));
    ASSERT_NE(apdu, nullptr);
    EXPECT_EQ(IntOf(apdu, kZTagPresentStatus), Z_PRESENT_FAILURE);
    const Diagnostic d = DiagnosticOf(Child(apdu, kZTagNonSurrogateDiagnostic));
    EXPECT_EQ(d.code, 238);
    EXPECT_EQ(d.addinfo, "1.2.840.10003.5.10");
    EXPECT_EQ(Search(fd, "b", {"books"}, Term(4, "computer")).count, kComputerRecords);
    EXPECT_EQ(Present(fd, PresentPdu("b", 1, 2)).records.size(), 2u);
}

TEST_F(DiagnosticsModeTest, ScanAndSortGetTheirResponseOtherRequestsACloseWithProtocolError) {
    const int fd = Open();
    CBERNode* scan = Exchange(fd, tunneltest::ScanRequest());
    ASSERT_NE(scan, nullptr);
    EXPECT_EQ(scan->m_uTag, static_cast<unsigned>(Z_SCAN_RESPONSE));
    EXPECT_EQ(IntOf(scan, kZTagScanStatus), Z_SCAN_FAILURE);
    CBERNode* entries = Child(scan, kZTagScanEntries);
    CBERNode* list = Child(entries, kZTagScanDiagnostics);
    // yaz-client's scan names the database "Default", which this store does not have.
    EXPECT_EQ(DiagnosticOf(list && !list->m_arrChildren.empty() ? list->m_arrChildren[0] : nullptr).code, 109);
    EXPECT_EQ(Search(fd, "a", {"books"}, Term(4, "computer")).count, kComputerRecords);

    // deleteResultSetRequest: no response of its own carries a diagnostic.
    CBERNode* close = Exchange(fd, Tlv({0xba}, Tlv({0x80}, Int(0))));
    ASSERT_NE(close, nullptr);
    EXPECT_EQ(close->m_uTag, static_cast<unsigned>(Z_CLOSE));
    EXPECT_EQ(IntOf(close, kZTagCloseReason), Z_CLOSE_PROTOCOL_ERROR);
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
}

TEST_F(DiagnosticsModeTest, WithoutTheModeTheSameRequestsEndTheAssociation) {
    m_owner->m_settings.Update([](CServerSettings& s) { s.m_diagnostics = CDiagnosticsMode::kNone; });
    const int unknown = Open();
    EXPECT_FALSE(Search(unknown, "a", {"nosuch"}, Term(4, "computer")).ok);
    const int scan = Open();
    tunneltest::SendAll(scan, tunneltest::ScanRequest());
    EXPECT_TRUE(ClosedWithoutAnswer(scan));
    // A term without attributes has no use attribute: the search fails, the association stays.
    const int plain = Open();
    const SearchAnswer answer = Search(plain, "a", {"books"}, TermWith({}, "computer"));
    EXPECT_TRUE(answer.ok);
    EXPECT_FALSE(answer.status);
}

}  // namespace
}  // namespace searchtest
