// Extended Services "update" through real sessions over loopback: insert, replace and delete as
// a client sees them (search and present afterwards), the response fields, the refusals that must
// change nothing, and a request whose second record the back-end refuses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "es_test_util.h"

using namespace estest;

namespace {

constexpr long kDone = 1;
constexpr long kFailure = 3;

class ESUpdate : public ESServerTest {
protected:
    // The records a session's Present returns for the set "default".
    static std::vector<std::string> Show(int fd, int start, int count) {
        CBERNode root;
        CBERNode* apdu = Exchange(fd, PresentRequest(start, count), root);
        return apdu && apdu->m_uTag == 25u ? PresentedRecords(apdu) : std::vector<std::string>{};
    }
};

}  // namespace

// --- insert, replace, delete ---------------------------------------------------------------------

TEST_F(ESUpdate, InsertedRecordIsFoundByTitleAndPresentedAsSent) {
    const int fd = Open("demo", "demo");
    ASSERT_GE(fd, 0);
    const std::string rec = BookRecord("1234", "Zanzibar chronicles", "first");
    EXPECT_EQ(kDone, Update(fd, 1, {rec}));
    EXPECT_NE(std::string::npos, Stored(1234).find("Zanzibar chronicles"));
    ASSERT_EQ(1, Hits(fd, "zanzibar"));
    const auto shown = Show(fd, 1, 1);
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ(rec, shown[0]);
}

TEST_F(ESUpdate, ReplaceChangesTheRecordAndItsIndex) {
    const int fd = Open("demo", "demo");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(kDone, Update(fd, 1, {BookRecord("77", "Old harbour")}));
    const std::string next = BookRecord("0000077", "New lighthouse", "second");
    EXPECT_EQ(kDone, Update(fd, 2, {next}));
    EXPECT_EQ(0, Hits(fd, "harbour"));
    ASSERT_EQ(1, Hits(fd, "lighthouse"));
    const auto shown = Show(fd, 1, 1);
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ(next, shown[0]);
}

TEST_F(ESUpdate, DeleteRemovesTheRecordAndASecondDeleteFails) {
    const int fd = Open("demo", "demo");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(kDone, Update(fd, 1, {BookRecord("9", "Ephemeral pamphlet")}));
    EXPECT_EQ(kDone, Update(fd, 3, {BookRecord("9", "Ephemeral pamphlet")}));
    EXPECT_EQ("", Stored(9));
    EXPECT_EQ(0, Hits(fd, "ephemeral"));
    EXPECT_EQ(kFailure, Update(fd, 3, {BookRecord("9", "Ephemeral pamphlet")}));
}

TEST_F(ESUpdate, TheAliasNamesTheSameDatabase) {
    const int fd = Open("demo", "demo");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(kDone, Update(fd, 1, {BookRecord("31", "Aliased atlas")}, "default"));
    EXPECT_NE(std::string::npos, Stored(31).find("Aliased atlas"));
}

TEST_F(ESUpdate, InsertOfAnExistingNumberFailsAndKeepsTheStoredRecord) {
    const int fd = Open("demo", "demo");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(kDone, Update(fd, 1, {BookRecord("40", "Original")}));
    EXPECT_EQ(kFailure, Update(fd, 1, {BookRecord("40", "Intruder")}));
    EXPECT_NE(std::string::npos, Stored(40).find("Original"));
    EXPECT_EQ(std::string::npos, Stored(40).find("Intruder"));
}

// --- response fields ------------------------------------------------------------------------------

TEST_F(ESUpdate, ResponseEchoesTheReferenceIdFirstAndOmitsAnEmptyOne) {
    const int fd = Open("demo", "demo");
    ASSERT_GE(fd, 0);
    CBERNode root;
    CBERNode* apdu = Exchange(fd, UpdateRequest(1, "books", {BookRecord("5", "Ref")}, "R1"), root);
    ASSERT_NE(nullptr, apdu);
    EXPECT_EQ(47u, apdu->m_uTag);
    ASSERT_EQ(2u, apdu->m_arrChildren.size());
    EXPECT_EQ(2u, apdu->m_arrChildren[0]->m_uTag);
    EXPECT_EQ(Bytes("R1"), apdu->m_arrChildren[0]->m_baContent);
    EXPECT_EQ(kDone, IntField(apdu, 3));

    apdu = Exchange(fd, UpdateRequest(3, "books", {BookRecord("5", "Ref")}), root);
    ASSERT_NE(nullptr, apdu);
    ASSERT_EQ(1u, apdu->m_arrChildren.size());
    EXPECT_EQ(kDone, IntField(apdu, 3));
}

// A supplied-records list whose only element is not a record (a [5] primitive): nothing to
// write, so the task is done.
TEST_F(ESUpdate, ElementsOtherThanRecordsAreSkipped) {
    const int fd = Open("demo", "demo");
    ASSERT_GE(fd, 0);
    CBERNode root;
    CBERNode* apdu = Exchange(fd,
                              tunneltest::Hex("bf 2e 36 83 01 01 84 09 2a 86 48 ce 13 09 05 01 01 aa 26 06 09 2a 86 48 "
                                              "ce 13 09 05 01 01 a0 19 a1 17 a1 0e 30 0c 81 01 01 82 07 44 65 66 61 75 "
                                              "6c 74 a2 05 30 03 85 01 78"),
                              root);
    ASSERT_NE(nullptr, apdu);
    EXPECT_EQ(47u, apdu->m_uTag);
    EXPECT_EQ(kDone, IntField(apdu, 3));
    std::string error;
    EXPECT_EQ(1, m_admin->NextRecordNumber("books", error)) << "the database stays empty " << error;
}

// --- refusals: operationStatus 3, nothing written, the association goes on -----------------------

TEST_F(ESUpdate, SessionsWithoutTheirOwnWriteAccountChangeNothing) {
    const std::string rec = BookRecord("11", "Forbidden fruit");
    const int anonymous = Open();
    ASSERT_GE(anonymous, 0);
    EXPECT_EQ(kFailure, Update(anonymous, 1, {rec}));
    const int readOnly = Open("public", "");  // accepted at Init, but the account may not write
    ASSERT_GE(readOnly, 0);
    EXPECT_EQ(kFailure, Update(readOnly, 1, {rec}));
    EXPECT_EQ("", Stored(11));
    EXPECT_EQ(0, Hits(anonymous, "forbidden"));  // still served
}

TEST_F(ESUpdate, UnsupportedRequestsChangeNothing) {
    const int fd = Open("demo", "demo");
    ASSERT_GE(fd, 0);
    const std::string rec = BookRecord("12", "Nowhere");
    EXPECT_EQ(kFailure, Update(fd, 1, {rec}, "nosuch"));
    EXPECT_EQ(kFailure, Update(fd, 5, {rec}));  // specialUpdate
    EXPECT_EQ(kFailure, Update(fd, 4, {rec}));  // elementUpdate
    EXPECT_EQ(kFailure, Update(fd, 0, {rec}));
    CBERNode root;
    CBERNode* apdu = Exchange(fd, UpdateRequest(1, "books", {rec}, "", "1.2.840.10003.9.5.1"), root);
    ASSERT_NE(nullptr, apdu);
    EXPECT_EQ(kFailure, IntField(apdu, 3));
    apdu = Exchange(fd, UpdateRequest(1, "books", {rec}, "", "1.2.840.10003.9.5"), root);
    ASSERT_NE(nullptr, apdu);
    EXPECT_EQ(kFailure, IntField(apdu, 3));
    EXPECT_EQ("", Stored(12));
}

TEST_F(ESUpdate, RecordsWithoutAUsableNumberOrStructureAreRefused) {
    const int fd = Open("demo", "demo");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(kDone, Update(fd, 1, {BookRecord("2345678", "Keep me")}));
    const std::string kept = Stored(2345678);
    ASSERT_NE("", kept);

    const std::string title = "10\x1f" "aBroken";
    EXPECT_EQ(kFailure, Update(fd, 1, {MakeRecord({{"001", ""}, {"245", title}})}));
    EXPECT_EQ(kFailure, Update(fd, 1, {MakeRecord({{"245", title}})}));
    EXPECT_EQ(kFailure, Update(fd, 1, {MakeRecord({{"001", "vk0001"}, {"245", title}})}));
    EXPECT_EQ(kFailure, Update(fd, 1, {"not a MARC record at all"}));
    EXPECT_EQ(kFailure, Update(fd, 1, {""}));
    const std::string whole = BookRecord("13", "Truncated");
    EXPECT_EQ(kFailure, Update(fd, 1, {whole.substr(0, whole.size() - 1)}));  // no record terminator
    // Neither a replace nor a delete may reach record 2345678 through a longer number.
    EXPECT_EQ(kFailure, Update(fd, 2, {BookRecord("12345678", "Overwrite")}));
    EXPECT_EQ(kFailure, Update(fd, 3, {BookRecord("12345678", "Overwrite")}));
    EXPECT_EQ(kept, Stored(2345678));
    EXPECT_EQ("", Stored(13));
    EXPECT_EQ(0, Hits(fd, "broken"));
    EXPECT_EQ(kDone, Update(fd, 1, {BookRecord("14", "Afterwards")}));  // the session still works
}

// --- several records ---------------------------------------------------------------------------

TEST_F(ESUpdate, AfterARefusedRecordTheRestIsNotTriedAndEarlierOnesStay) {
    const int fd = Open("demo", "demo");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(kDone, Update(fd, 1, {BookRecord("102", "Occupant")}));
    EXPECT_EQ(kFailure, Update(fd, 1,
                               {BookRecord("101", "Firstcomer"), BookRecord("102", "Second"),
                                BookRecord("103", "Thirdparty")}));
    EXPECT_NE(std::string::npos, Stored(101).find("Firstcomer"));
    EXPECT_NE(std::string::npos, Stored(102).find("Occupant"));
    EXPECT_EQ("", Stored(103));
    EXPECT_EQ(1, Hits(fd, "firstcomer"));
    EXPECT_EQ(1, Hits(fd, "occupant"));
    EXPECT_EQ(0, Hits(fd, "second"));
    EXPECT_EQ(0, Hits(fd, "thirdparty"));
}

// --- yaz-client's own encoding ---------------------------------------------------------------------

// yaz-client's captured insert, replace and delete (indefinite lengths, opaque recordId, text-xml
// label, database "Default"), with the record's 001 "vk0001" changed in place to "555555".
TEST_F(ESUpdate, YazClientCapturesInsertReplaceAndDelete) {
    const char* source = std::getenv("VELKAN_SOURCE_DIR");
    ASSERT_NE(nullptr, source) << "VELKAN_SOURCE_DIR is not set";
    const int fd = Open("demo", "demo");
    ASSERT_GE(fd, 0);
    const char* files[] = {"es_insert.bin", "es_replace.bin", "es_delete.bin"};
    const std::string expected[] = {"Test title", "Test title", ""};
    for (int i = 0; i < 3; ++i) {
        std::ifstream in(std::string(source) + "/tests/data/captures/" + files[i], std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        std::string pdu = bytes.str();
        const size_t at = pdu.find("vk0001");
        ASSERT_NE(std::string::npos, at) << files[i];
        pdu.replace(at, 6, "555555");
        CBERNode root;
        CBERNode* apdu = Exchange(fd, Bytes(pdu), root);
        ASSERT_NE(nullptr, apdu) << files[i];
        EXPECT_EQ(kDone, IntField(apdu, 3)) << files[i];
        const std::string stored = Stored(555555);
        if (expected[i].empty())
            EXPECT_EQ("", stored) << files[i];
        else
            EXPECT_NE(std::string::npos, stored.find(expected[i])) << files[i];
    }
}
