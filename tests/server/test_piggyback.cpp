// Records piggy-backed on the searchResponse (bib-1 diagnostics mode), through a real listener:
// how many the small-set and medium-set parameters give, within the Present limit, in the
// element set asked for, and the diagnostic of a syntax the database cannot supply.
#include "berkit/bernode_z3950.h"
#include "test_search_fixture.h"

namespace searchtest {
namespace {

struct Piggyback {
    int small, large, medium;
    const char* elements;  // small and medium element set name; "" none
    const char* syntax;    // preferredRecordSyntax OID text bytes (hex); "" none
};

CByteArray PiggybackSearch(const Piggyback& p) {
    CByteArray body = Cat({Tlv({0x8d}, Int(p.small)), Tlv({0x8e}, Int(p.large)), Tlv({0x8f}, Int(p.medium)),
                           Tlv({0x90}, Int(1)), Tlv({0x91}, Text("p")), Tlv({0xb2}, Tlv({0x9f, 0x69}, Text("books")))});
    if (*p.elements)
        body = Cat({body, Tlv({0xbf, 0x64}, Tlv({0x80}, Text(p.elements))),
                    Tlv({0xbf, 0x65}, Tlv({0x80}, Text(p.elements)))});
    if (*p.syntax)
        body = Cat({body, Tlv({0x9f, 0x68}, tunneltest::Hex(p.syntax))});
    const CByteArray bib1 = Tlv({0x06}, {0x2a, 0x86, 0x48, 0xce, 0x13, 0x03, 0x01});
    body = Cat({body, Tlv({0xb5}, Tlv({0xa1}, Cat({bib1, Term(4, "computer")})))});
    return Tlv({0xb6}, body);
}

class PiggybackTest : public SearchServerTest {
protected:
    void SetUp() override {
        SearchServerTest::SetUp();
        m_owner->m_settings.Update([](CServerSettings& s) { s.m_diagnostics = CDiagnosticsMode::kBib1; });
    }
};

TEST_F(PiggybackTest, SmallAndMediumSetsComeWithTheAnswerWithinThePresentLimit) {
    const int fd = Open();
    const char* usmarc = "2a 86 48 ce 13 05 0a";
    const char* unimarc = "2a 86 48 ce 13 05 01";
    const struct {
        Piggyback request;
        long returned, next, presentStatus, diagnostic;
        bool full;
    } rows[] = {
        {{0, 1, 0, "", ""}, 0, 1, -999, -999, false},
        {{100, 200, 0, "", usmarc}, 40, 41, Z_PRESENT_SUCCESS, -999, false},  // all 60, 40 at most
        {{10, 100, 5, "F", ""}, 5, 6, Z_PRESENT_SUCCESS, -999, true},
        {{10, 100, 5, "B", ""}, 5, 6, Z_PRESENT_SUCCESS, -999, false},
        {{10, 50, 5, "F", ""}, 0, 1, -999, -999, false},
        {{100, 200, 0, "", unimarc}, 0, 1, Z_PRESENT_FAILURE, 238, false},
    };
    for (const auto& row : rows) {
        CBERNode* apdu = Exchange(fd, PiggybackSearch(row.request));
        ASSERT_NE(apdu, nullptr);
        EXPECT_EQ(IntOf(apdu, kZTagResultCount), kComputerRecords);
        EXPECT_EQ(IntOf(apdu, kZTagRecordsReturned), row.returned) << row.request.small;
        EXPECT_EQ(IntOf(apdu, kZTagNextPosition), row.next) << row.request.small;
        EXPECT_EQ(IntOf(apdu, kZTagPresentStatus), row.presentStatus) << row.request.small;
        EXPECT_EQ(IntOf(Child(apdu, kZTagNonSurrogateDiagnostic), 2), row.diagnostic);
        CBERNode* records = Child(apdu, kZTagResponseRecords);
        ASSERT_EQ(records ? static_cast<long>(records->m_arrChildren.size()) : 0, row.returned);
        if (row.returned == 0)
            continue;
        // NamePlusRecord -> record [1] -> retrievalRecord [1] -> EXTERNAL -> octet-aligned [1].
        CBERNode* external = Child(Child(Child(records->m_arrChildren[0], 1), 1), 8);
        CBERNode* octets = Child(external, 1);
        ASSERT_NE(octets, nullptr);
        const std::string marc(octets->m_baContent.begin(), octets->m_baContent.end());
        EXPECT_EQ(marc.find("Knuth") != std::string::npos, row.full) << row.request.elements;
    }
}

}  // namespace
}  // namespace searchtest
