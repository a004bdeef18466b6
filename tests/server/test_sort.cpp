// Sort through a real listener in the bib-1 diagnostics mode: orders by title, author, date and
// other keys, ascending and descending, stable, with each missing-value action; bad requests get
// their diagnostic and the association goes on; a sorted set serves Present and later queries.
#include "berkit/bernode_sort.h"
#include "test_search_fixture.h"

namespace searchtest {
namespace {

struct Key {
    int use;
    int relation = 0;       // 0 ascending, 1 descending
    int caseValue = 1;      // 0 case-sensitive, 1 insensitive
    CByteArray missing;     // the missingValueAction's arm; empty: left out
};

CByteArray KeySpec(const Key& key) {
    const CByteArray bib1 = Tlv({0x06}, {0x2a, 0x86, 0x48, 0xce, 0x13, 0x03, 0x01});
    const CByteArray use = Tlv({0x30}, Cat({Tlv({0x9f, 0x78}, Int(1)), Tlv({0x9f, 0x79}, Int(key.use))}));
    const CByteArray element = Tlv({0xa1}, Tlv({0xa2}, Cat({bib1, Tlv({0xbf, 0x2c}, use)})));
    CByteArray spec = Cat({element, Tlv({0x81}, Int(key.relation)), Tlv({0x82}, Int(key.caseValue))});
    if (!key.missing.empty())
        spec = Cat({spec, Tlv({0xa3}, key.missing)});
    return Tlv({0x30}, spec);
}

CByteArray SortPdu(const std::vector<std::string>& inputs, const std::string& output, const CByteArray& specs) {
    CByteArray names;
    for (const std::string& name : inputs)
        names = Cat({names, Tlv({0x1b}, Text(name))});
    CByteArray body = Tlv({0xa3}, names);
    if (!output.empty())
        body = Cat({body, Tlv({0x84}, Text(output))});
    return Tlv({0xbf, 0x2b}, Cat({body, Tlv({0xa5}, specs)}));
}

CByteArray Specs(const std::vector<Key>& keys) {
    CByteArray out;
    for (const Key& key : keys)
        out = Cat({out, KeySpec(key)});
    return out;
}

// Record numbers (field 001) of the ISO 2709 records of a Present.
std::vector<int> Numbers(const PresentAnswer& answer) {
    std::vector<int> out;
    for (const PresentedRecord& r : answer.records) {
        const size_t base = r.marc.size() > 24 ? std::stoul(r.marc.substr(12, 5)) : 0;
        const bool first001 = r.marc.size() > 36 && r.marc.compare(24, 3, "001") == 0;
        out.push_back(first001 && base + 7 <= r.marc.size() ? std::stoi(r.marc.substr(base, 7)) : -1);
    }
    return out;
}

std::string Field(const std::string& tag, const std::string& data) { return tag + data + "\x1e"; }
std::string Record(int number, const std::string& fields) {
    return "00000nam  2200000   4500" + Field("001", "0000" + std::to_string(number)) + fields +
           Field("650", " 0\x1f" "azsort") + "\x1d";
}

class SortTest : public SearchServerTest {
protected:
    void SetUp() override {
        SearchServerTest::SetUp();
        m_owner->m_settings.Update([](CServerSettings& s) { s.m_diagnostics = CDiagnosticsMode::kBib1; });
        const std::string apfel = Utf8ToAnsi("Äpfel");
        std::vector<StrataRejectedRecord> rejected;
        std::string error;
        ASSERT_EQ(5, m_admin->LoadRecords(
                         "books",
                         {Record(101, Field("008", "000000s1999") + Field("100", "1 \x1f" "aZola, Emile") +
                                          Field("245", "14\x1f" "aThe zebra")),
                          Record(102, Field("100", "1 \x1f" "aAdams") + Field("245", "10\x1f" "aapple pie") +
                                          Field("260", "  \x1f" "bX,\x1f" "cc2001.")),
                          Record(103, Field("245", "10\x1f" "a" + apfel) + Field("700", "1 \x1f" "aBaker")),
                          Record(104, Field("008", "000000s1985") + Field("100", "1 \x1f" "aadams") +
                                          Field("245", "10\x1f" "aApple pie")),
                          Record(105, Field("245", "10\x1f" "aMango") + Field("264", " 1\x1f" "c2010"))},
                         rejected, error))
            << error;
    }
    // Searches the five records into set "in" and sorts it into "out"; the sortResponse.
    CBERNode* SortFive(int fd, const CByteArray& specs, const std::string& output = "out") {
        EXPECT_EQ(Search(fd, "in", {"books"}, Term(21, "zsort")).count, 5);
        return Exchange(fd, SortPdu({"in"}, output, specs));
    }
    long DiagnosticCode(CBERNode* response) {
        CBERNode* list = Child(response, kZTagSortDiagnostics);
        return list && !list->m_arrChildren.empty() ? IntOf(list->m_arrChildren[0], 2) : -1;
    }
};

TEST_F(SortTest, KeysOrderTheSetStablyInEitherDirection) {
    const int fd = Open();
    const CByteArray null = Tlv({0x82}, {});
    const struct {
        std::vector<Key> keys;
        std::vector<int> order;
    } rows[] = {
        {{{4}}, {103, 102, 104, 105, 101}},                     // Äpfel folds to apfel; "The " skipped
        {{{4, 1}}, {101, 105, 102, 104, 103}},                  // equal keys keep their order
        {{{4, 0, 0}}, {103, 104, 102, 105, 101}},               // case-sensitive: Apple before apple
        {{{31}}, {104, 101, 102, 105, 103}},                    // 008, 260 $c, 264 $c; missing last
        {{{31, 1, 1, null}}, {105, 102, 101, 104, 103}},        // missing last in descending too
        {{{31, 0, 1, Tlv({0x83}, Text("0000"))}}, {103, 104, 101, 102, 105}},
        {{{1003}}, {102, 104, 103, 101, 105}},                  // 100, else 700
        {{{1003}, {31}}, {104, 102, 103, 101, 105}},            // second key breaks the tie
        {{{12, 1}}, {105, 104, 103, 102, 101}},                 // any use a key answers: 001
    };
    for (const auto& row : rows) {
        CBERNode* response = SortFive(fd, Specs(row.keys));
        ASSERT_NE(response, nullptr);
        EXPECT_EQ(IntOf(response, kZTagSortStatus), Z_SORT_SUCCESS);
        EXPECT_EQ(Numbers(Present(fd, PresentPdu("out", 1, 10, "F"))), row.order) << row.keys[0].use;
    }
    EXPECT_EQ(m_owner->m_metrics.GetService(CMetricService::kSort).m_count.load(), std::size(rows));
}

TEST_F(SortTest, BadRequestsGetTheirDiagnosticAndTheAssociationGoesOn) {
    const int fd = Open();
    const CByteArray title = KeySpec({4});
    CByteArray nine;
    for (int i = 0; i < 9; ++i)
        nine = Cat({nine, title});
    CByteArray otherSet = Specs({{4}});
    otherSet[14] = 0x02;  // the attribute set OID's last arc: 1.2.840.10003.3.2
    const struct {
        CByteArray pdu;
        long code;
    } rows[] = {
        {SortPdu({"in", "in"}, "out", title), 230},
        {SortPdu({"in"}, "", title), 208},
        {SortPdu({"nosuch"}, "out", title), 30},
        {SortPdu({"in"}, "out", KeySpec({1018})), 207},  // no key for the use
        {SortPdu({"in"}, "out", KeySpec({4, 3})), 214},
        {SortPdu({"in"}, "out", KeySpec({4, 0, 5})), 215},
        {SortPdu({"in"}, "out", KeySpec({4, 0, 1, Tlv({0x84}, {})})), 216},
        {SortPdu({"in"}, "out", Cat({title, title})), 212},
        {SortPdu({"in"}, "out", nine), 211},
        {SortPdu({"in"}, "out", Tlv({0x30}, Cat({Tlv({0xa2}, {}), Tlv({0x81}, Int(0))}))), 210},
        {SortPdu({"in"}, "out", KeySpec({31, 0, 1, Tlv({0x81}, {})})), 207},  // abort on 103's missing date
        {SortPdu({"in"}, "out", {}), 207},
        {SortPdu({"in"}, "out", otherSet), 121},
    };
    ASSERT_EQ(Search(fd, "in", {"books"}, Term(21, "zsort")).count, 5);
    for (const auto& row : rows) {
        CBERNode* response = Exchange(fd, row.pdu);
        ASSERT_NE(response, nullptr) << row.code;
        EXPECT_EQ(IntOf(response, kZTagSortStatus), Z_SORT_FAILURE) << row.code;
        EXPECT_EQ(DiagnosticCode(response), row.code);
        EXPECT_EQ(IntOf(response, 4), Z_SORT_SET_NONE) << row.code;
    }
    EXPECT_EQ(IntOf(Exchange(fd, SortPdu({"in"}, "in", title)), kZTagSortStatus), Z_SORT_SUCCESS);
}

TEST_F(SortTest, TheSortedSetReplacesItsNameAndStillCombinesInQueries) {
    const int fd = Open();
    ASSERT_EQ(Search(fd, "old", {"books"}, Term(4, "cooking")).count, 1);
    ASSERT_NE(SortFive(fd, Specs({{4, 1}}), "old"), nullptr);
    EXPECT_EQ(Numbers(Present(fd, PresentPdu("old", 1, 10, "F"))), (std::vector<int>{101, 105, 102, 104, 103}));
    // Sorted in place: the input set is the output.
    ASSERT_EQ(IntOf(Exchange(fd, SortPdu({"in"}, "in", Specs({{31}}))), kZTagSortStatus), Z_SORT_SUCCESS);
    EXPECT_EQ(Numbers(Present(fd, PresentPdu("in", 1, 2, "F"))), (std::vector<int>{104, 101}));
    // A sorted set in a query merges as a set: 102 and 104 are Adams's.
    EXPECT_EQ(Search(fd, "q", {"books"}, And(SetRef("old"), Term(1003, "adams"))).count, 2);
    EXPECT_EQ(Search(fd, "q", {"books"}, Or(SetRef("in"), Term(1003, "adams"))).count, 5);
}

TEST_F(SortTest, WithoutTheModeASortEndsTheAssociation) {
    m_owner->m_settings.Update([](CServerSettings& s) { s.m_diagnostics = CDiagnosticsMode::kNone; });
    const int fd = Open();
    ASSERT_EQ(Search(fd, "in", {"books"}, Term(21, "zsort")).count, 5);
    tunneltest::SendAll(fd, SortPdu({"in"}, "out", KeySpec({4})));
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
}

}  // namespace
}  // namespace searchtest
