// Record syntaxes and element sets of Present in the bib-1 diagnostics mode through a real
// listener: MARCXML, SUTRS and ISO 2709 for F and B, a record that cannot be converted (a
// surrogate for it alone) and an element set that is not served.
#include "berkit/bernode_z3950.h"
#include "test_search_fixture.h"

namespace searchtest {
namespace {

const char* const kMarcXmlOid = "2a 86 48 ce 13 05 6d 0a";
const char* const kSutrsOid = "2a 86 48 ce 13 05 65";
const char* const kUsmarcOid = "2a 86 48 ce 13 05 0a";

CByteArray PresentIn(const std::string& set, const std::string& elements, const char* oidHex) {
    CByteArray body = Cat({Tlv({0x9f, 0x1f}, Text(set)), Tlv({0x9e}, Int(1)), Tlv({0x9d}, Int(1))});
    if (!elements.empty())
        body = Cat({body, Tlv({0xb3}, Tlv({0x80}, Text(elements)))});
    return Tlv({0xb8}, Cat({body, Tlv({0x9f, 0x68}, tunneltest::Hex(oidHex))}));
}

// The one record of a presentResponse: its OID and text (octet-aligned or SUTRS's GeneralString),
// or the code of its surrogate diagnostic, or the code of the response's non-surrogate one.
struct Answer {
    std::string oid;
    std::string text;
    long surrogate = 0;
    long failure = 0;
};

Answer AnswerOf(CBERNode* apdu) {
    Answer a;
    if (CBERNode* diag = Child(apdu, kZTagNonSurrogateDiagnostic))
        a.failure = IntOf(diag, 2);
    CBERNode* records = Child(apdu, 28);
    if (records == nullptr || records->m_arrChildren.size() != 1)
        return a;
    CBERNode* record = Child(records->m_arrChildren[0], 1);
    if (CBERNode* surrogate = Child(record, 2))
        a.surrogate = IntOf(surrogate->m_arrChildren.empty() ? nullptr : surrogate->m_arrChildren[0], 2);
    CBERNode* external = Child(Child(record, 1), 8);
    if (CBERNode* oid = Child(external, 6))
        DecodeOID(oid->m_baContent, a.oid);
    CBERNode* octets = Child(external, 1);
    if (CBERNode* single = Child(external, 0))
        octets = Child(single, 27);
    if (octets != nullptr)
        a.text.assign(octets->m_baContent.begin(), octets->m_baContent.end());
    return a;
}

class RecordSyntaxTest : public SearchServerTest {
protected:
    void SetUp() override {
        SearchServerTest::SetUp();
        m_owner->m_settings.Update([](CServerSettings& s) { s.m_diagnostics = CDiagnosticsMode::kBib1; });
        // A control field that is not UTF-8: as ISO 2709 or lines it goes out as stored.
        std::string broken = MakeRecord(63, "Broken control", "Nobody");
        broken.insert(broken.find("\x1e" "100") + 1, "005\xFF\xFE\x1e");
        std::vector<StrataRejectedRecord> rejected;
        std::string error;
        ASSERT_EQ(1, m_admin->LoadRecords("books", {broken}, rejected, error)) << error;
    }
};

TEST_F(RecordSyntaxTest, EachSyntaxAndElementSet) {
    const int fd = Open();
    ASSERT_EQ(Search(fd, "c", {"books"}, Term(4, "computer")).count, kComputerRecords);
    ASSERT_EQ(Search(fd, "x", {"books"}, Term(4, "broken")).count, 1);
    ASSERT_EQ(Search(fd, "u", {"other"}, Term(4, "computer")).count, 2);
    const struct {
        const char* set;
        const char* elements;
        const char* oid;
        const char* want;     // a piece of the record's text ("" with a diagnostic)
        const char* unwanted; // not in it
        long surrogate, failure;
    } rows[] = {
        {"c", "F", kMarcXmlOid, "<datafield tag=\"100\" ind1=\"1\" ind2=\" \">", "<?xml", 0, 0},
        {"c", "B", kMarcXmlOid, "<subfield code=\"a\">Computer systems 1</subfield>", "Knuth", 0, 0},
        {"c", "F", kSutrsOid, "\n100 1  $a Knuth\n245 10 $a Computer systems 1 $b remainder\n", "\x1e", 0, 0},
        {"c", "b", kSutrsOid, "\n245 10 $a Computer systems 1\n", "Knuth", 0, 0},
        {"c", "F", kUsmarcOid, "\x1f" "aKnuth\x1e", "<", 0, 0},
        {"u", "F", kMarcXmlOid, "<controlfield tag=\"001\">0000005</controlfield>", "", 0, 0},
        {"x", "F", kMarcXmlOid, "", "", 238, 0},
        {"x", "F", kSutrsOid, "005 \xFF\xFE\n", "", 0, 0},
        {"x", "F", kUsmarcOid, "\xFF\xFE\x1e", "", 0, 0},
        {"c", "X", kMarcXmlOid, "", "", 0, 25},
        {"u", "F", kUsmarcOid, "", "", 0, 238},
    };
    for (const auto& row : rows) {
        const std::string label = std::string(row.set) + " " + row.elements + " " + row.oid;
        const Answer a = AnswerOf(Exchange(fd, PresentIn(row.set, row.elements, row.oid)));
        EXPECT_EQ(a.surrogate, row.surrogate) << label << ": " << a.text;
        EXPECT_EQ(a.failure, row.failure) << label;
        EXPECT_NE(a.text.find(row.want), std::string::npos) << label << ": " << a.text;
        if (*row.unwanted != '\0')
            EXPECT_EQ(a.text.find(row.unwanted), std::string::npos) << label << ": " << a.text;
    }
}

}  // namespace
}  // namespace searchtest
