// Sessions through a real listener: the anonymous fall-back works as the anonymous account, every
// response echoes the request's referenceId, and the AcceptOpen / AcceptIdPass switches.
#include "berkit/bernode_z3950.h"
#include "es_test_util.h"
#include "test_search_fixture.h"

namespace searchtest {
namespace {

class SessionMendsTest : public SearchServerTest {
protected:
    // An Init with `auth` (raw idAuthentication content); its result.
    bool InitWith(int fd, const CByteArray& auth) {
        CBERNode* apdu = Exchange(fd, tunneltest::InitWith({}, auth, {}));
        return apdu && apdu->m_uTag == static_cast<unsigned>(Z_INIT_RESPONSE) && tunneltest::InitResult(apdu);
    }
    int Connect() {
        const int fd = vktest::Connect(m_port);
        m_clients.push_back(fd);
        return fd;
    }
    void Configure(bool acceptOpen, bool acceptIdPass, int badLoginAction) {
        m_owner->m_settings.Update([&](CServerSettings& s) {
            s.m_acceptOpen = acceptOpen;
            s.m_acceptIdPass = acceptIdPass;
            s.m_badLoginAction = badLoginAction;
        });
    }
};

// The request `pdu` (whose identifier is `tag`) with a referenceId [2] as its first field.
CByteArray WithReferenceId(const CByteArray& tag, const CByteArray& pdu, const std::string& ref) {
    int64_t total = 0;
    int header = 0;
    EXPECT_EQ(BerFrameLength(pdu.data(), static_cast<long>(pdu.size()), total, &header), BerFrame::kDefinite);
    return Tlv(tag, Cat({Tlv({0x82}, Text(ref)), CByteArray(pdu.begin() + header, pdu.end())}));
}

std::string ReferenceIdOf(CBERNode* apdu) {
    CBERNode* ref = Child(apdu, kZTagReferenceId);
    return ref ? std::string(ref->m_baContent.begin(), ref->m_baContent.end()) : std::string("(none)");
}

TEST_F(SessionMendsTest, AnAnonymousFallBackFindsWhatAPublicSessionFindsAndStaysUnauthenticated) {
    Configure(true, true, 0);
    const int pub = Open(false);
    const SearchAnswer expected = Search(pub, "a", {"books"}, Term(4, "computer"));
    ASSERT_TRUE(expected.status);
    ASSERT_EQ(expected.count, kComputerRecords);

    const int fd = Connect();
    ASSERT_TRUE(InitWith(fd, tunneltest::IdPassAuth("demo", "wrong")));
    const SearchAnswer got = Search(fd, "a", {"books"}, Term(4, "computer"));
    EXPECT_TRUE(got.status);
    EXPECT_EQ(got.count, expected.count);
    const PresentAnswer present = Present(fd, PresentPdu("a", 1, 2, "F"));
    ASSERT_EQ(present.records.size(), 2u);
    for (const PresentedRecord& r : present.records) {
        EXPECT_EQ(r.diagnostic, 0);
        EXPECT_FALSE(r.marc.empty());
        EXPECT_EQ(r.marc.find("Knuth"), std::string::npos) << "a full record for an unauthenticated session";
    }
    CBERNode* es = Exchange(fd, estest::UpdateRequest(1, "books", {estest::BookRecord("0000900", "New")}));
    ASSERT_NE(es, nullptr);
    EXPECT_EQ(IntOf(es, kZTagOperationStatus), Z_ES_FAILURE);
}

TEST_F(SessionMendsTest, EveryResponseEchoesTheReferenceId) {
    const int fd = Connect();
    CBERNode* init = Exchange(fd, tunneltest::InitWith(Text("r-init"), tunneltest::IdPassAuth("demo", "demo"), {}));
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(ReferenceIdOf(init), "r-init");
    const struct {
        CByteArray request;
        int response;
        const char* ref;
    } rows[] = {
        {WithReferenceId({0xb6}, SearchPdu("s", {"books"}, Term(4, "computer")), "r-search"), Z_SEARCH_RESPONSE,
         "r-search"},
        {WithReferenceId({0xb6}, SearchPdu("s", {"books"}, Term(4, "nothing")), "r-empty"), Z_SEARCH_RESPONSE,
         "r-empty"},
        {PresentPdu("s", 1, 1, "", "r-present"), Z_PRESENT_RESPONSE, "r-present"},
        {estest::UpdateRequest(3, "books", {estest::BookRecord("0000999", "x")}, "r-es"), Z_EXTSERVICES_RESPONSE,
         "r-es"},
        {WithReferenceId({0xbf, 0x30}, tunneltest::CloseRequest(), "r-close"), Z_CLOSE, "r-close"},
    };
    for (const auto& row : rows) {
        CBERNode* apdu = Exchange(fd, row.request);
        ASSERT_NE(apdu, nullptr) << row.ref;
        EXPECT_EQ(apdu->m_uTag, static_cast<unsigned>(row.response)) << row.ref;
        EXPECT_EQ(ReferenceIdOf(apdu), row.ref);
    }
}

// A switched-off authentication form is a refused login: BadLoginAction refuses (1) or continues
// as the anonymous account (0).
TEST_F(SessionMendsTest, SwitchedOffAuthenticationFormsAreHandledAsRefusedLogins) {
    const struct {
        bool acceptOpen, acceptIdPass;
        int badLoginAction;
        bool open;  // open form, else idPass
        bool accepted;
        const char* user;
    } rows[] = {
        {false, true, 1, true, false, ""},        {false, true, 0, true, true, "public"},
        {false, true, 1, false, true, "demo"},    {true, false, 1, false, false, ""},
        {true, false, 0, false, true, "public"},  {true, false, 1, true, true, "demo"},
        {true, true, 1, true, true, "demo"},      {true, true, 1, false, true, "demo"},
    };
    for (const auto& row : rows) {
        Configure(row.acceptOpen, row.acceptIdPass, row.badLoginAction);
        const int fd = Connect();
        const CByteArray auth = row.open ? tunneltest::OpenAuth("demo/demo") : tunneltest::IdPassAuth("demo", "demo");
        const bool accepted = InitWith(fd, auth);
        const std::string where = std::string(row.open ? "open" : "idPass") + " open=" +
                                  std::to_string(row.acceptOpen) + " idPass=" + std::to_string(row.acceptIdPass) +
                                  " bad=" + std::to_string(row.badLoginAction);
        EXPECT_EQ(accepted, row.accepted) << where;
        if (accepted) {
            const SearchAnswer found = Search(fd, "a", {"books"}, Term(4, "computer"));
            EXPECT_EQ(found.count, kComputerRecords) << where;
            // The manager lists sessions in order; this one is the last.
            CTunnel* session = m_owner->GetAt(m_owner->GetSize() - 1);
            ASSERT_NE(session, nullptr);
            EXPECT_EQ(session->GetUserId(), row.user) << where;
        } else {
            EXPECT_TRUE(ClosedWithoutAnswer(fd)) << where;
        }
    }
}

}  // namespace
}  // namespace searchtest
