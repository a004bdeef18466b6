#pragma once
// Fixture of the Search and Present tests: a temporary embedded store with two databases, a real
// CTunnelArray with its catalogue and listener on a loopback port, and a Z39.50 origin that
// builds requests with a small BER writer and reads the answers with berkit.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "backend/rowstore/memsort.h"
#include "backend/strata/strata_admin.h"
#include "backend/strata/strata_channel.h"
#include "berkit/bernode.h"
#include "berkit/bernode_values.h"
#include "berkit/codepage.h"
#include "server/dbarray.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"
#include "server_test_util.h"
#include "store_manager_setup.h"
#include "tests/berkit/rpn_writer.h"
#include "test_tunnel_client.h"

namespace searchtest {

using tunneltest::Child;

// The BER writer of requests: tests/berkit/rpn_writer.h.
using rpnwriter::And;
using rpnwriter::AndNot;
using rpnwriter::Cat;
using rpnwriter::Int;
using rpnwriter::Op;
using rpnwriter::Operand;
using rpnwriter::Or;
using rpnwriter::SetRef;
using rpnwriter::Term;
using rpnwriter::Text;
using rpnwriter::Tlv;

inline CByteArray SearchPdu(const std::string& setName, const std::vector<std::string>& dbs, const CByteArray& rpn) {
    CByteArray names;
    for (const std::string& db : dbs)
        names = Cat({names, Tlv({0x9f, 0x69}, Text(db))});
    const CByteArray bib1 = Tlv({0x06}, {0x2a, 0x86, 0x48, 0xce, 0x13, 0x03, 0x01});
    CByteArray body = tunneltest::Hex("8d 01 00 8e 01 01 8f 01 00 90 01 01");
    if (!setName.empty())
        body = Cat({body, Tlv({0x91}, Text(setName))});
    body = Cat({body, Tlv({0xb2}, names), Tlv({0xb5}, Tlv({0xa1}, Cat({bib1, rpn})))});
    return Tlv({0xb6}, body);
}

// start or count below 0 leave the field out; elements "" leaves recordComposition out.
inline CByteArray PresentPdu(const std::string& setName, int start, int count, const std::string& elements = "",
                             const std::string& referenceId = "") {
    CByteArray body;
    if (!referenceId.empty())
        body = Tlv({0x82}, Text(referenceId));
    if (!setName.empty())
        body = Cat({body, Tlv({0x9f, 0x1f}, Text(setName))});
    if (start >= 0)
        body = Cat({body, Tlv({0x9e}, Int(start))});
    if (count >= 0)
        body = Cat({body, Tlv({0x9d}, Int(count))});
    if (!elements.empty())
        body = Cat({body, Tlv({0xb3}, Tlv({0x80}, Text(elements)))});
    body = Cat({body, tunneltest::Hex("9f 68 07 2a 86 48 ce 13 05 0a")});
    return Tlv({0xb8}, body);
}

// --- answers -------------------------------------------------------------------------------------

inline long IntOf(CBERNode* apdu, unsigned tag) {
    CBERNode* n = Child(apdu, tag);
    long v = -999;
    if (n)
        DecodeInteger(n->m_baContent, v);
    return v;
}

struct SearchAnswer {
    bool ok = false;  // a searchResponse arrived
    long count = -1;
    long next = -1;
    bool status = false;
};

// One record of a presentResponse: the database name and either the ISO 2709 bytes with their
// syntax OID, or the diagnostic condition of a surrogate diagnostic.
struct PresentedRecord {
    std::string db;
    std::string oid;
    std::string marc;
    long diagnostic = 0;
};

struct PresentAnswer {
    bool ok = false;
    long returned = -1;
    long next = -1;
    long status = -1;
    bool hasRecords = false;
    std::string referenceId;
    std::vector<PresentedRecord> records;
};

// Diriv record: number, optional 020 ISBN, 100 author, 245 title, optional 650 subject.
inline std::string MakeRecord(int64_t number, const std::string& title, const std::string& author,
                              const std::string& subject = "") {
    char digits[16];
    snprintf(digits, sizeof digits, "%07lld", static_cast<long long>(number));
    std::string d = "00000nam  2200000   4500";
    d += std::string("001") + digits + "\x1e";
    d += "100" "1 \x1f" "a" + author + "\x1e";
    d += "245" "10\x1f" "a" + title + "\x1f" "bremainder\x1e";
    if (!subject.empty())
        d += "650" " 0\x1f" "a" + subject + "\x1e";
    d += "\x1d";
    return d;
}

// Files left in a folder (result-set data files live in the row store's temporary folder).
inline size_t FileCount(const std::filesystem::path& folder) {
    size_t n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(folder, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec))
        ++n;
    return n;
}

class SearchServerTest : public ::testing::Test {
protected:
    // Records of "books": 1..60 "Computer systems" (odd: Knuth, even: Wirth; every third has the
    // subject "Algorithms"), 61 "Cooking basics" by Child, 62 a Chinese title and author.
    static constexpr int kComputerRecords = 60;

    void SetUp() override;
    void TearDown() override;


    // A connected, initialised association (demo/demo when `authenticated`, else anonymous;
    // `utf8` proposes UTF-8 with records in that character set).
    int Open(bool authenticated = true, bool utf8 = false);
    CBERNode* Exchange(int fd, const CByteArray& request);
    SearchAnswer Search(int fd, const std::string& setName, const std::vector<std::string>& dbs, const CByteArray& rpn);
    PresentAnswer Present(int fd, const CByteArray& request);
    // True when the server ends the association without answering.
    bool ClosedWithoutAnswer(int fd);
    // The live session listed first by the manager (null when none).
    CTunnel* FirstSession();

    std::filesystem::path m_dir;
    std::filesystem::path m_tmp;  // row store's temporary folder
    std::unique_ptr<CStrataAdmin> m_admin;
    std::unique_ptr<CTunnelArray> m_owner;
    int m_port = 0;
    std::vector<int> m_clients;
    CByteArray m_pdu;
    CBERNode m_root;
};

// --- fixture ------------------------------------------------------------------------------------

inline void SearchServerTest::SetUp() {
    m_dir = tunneltest::MakeTempDir("vksearch");
    ASSERT_FALSE(m_dir.empty());
    m_tmp = m_dir / "tmp";
    std::filesystem::create_directories(m_tmp);
    CMemSort::SetTempFolder(m_tmp.string());
    // The cases count result-set files: every set writes its file from the start unless a case
    // sets a memory data limit.
    CMemSort::SetMemoryDataLimit(0);
    CInterface::SetStoreFolder(m_dir.string());

    std::string error;
    m_admin = CStrataAdmin::Create(StrataStoreFile(m_dir.string(), "inst"), error);
    ASSERT_TRUE(m_admin) << error;
    ASSERT_EQ(0, m_admin->AddAccount("demo", "demo", kStrataRightRead | kStrataRightWrite, error)) << error;
    const std::string keys = "key name=\"title\" fields=\"245a\"\nkey name=\"author\" fields=\"100a 700a\"\n"
                             "key name=\"subject\" fields=\"650a\"\nkey name=\"localno\" fields=\"001\"\n"
                             "key name=\"date\" fields=\"008/07-10 260c 264c\" type=\"numeric\"\n";
    // "books": USMARC, alias "bk", a brief definition without the author. "other": UNIMARC, no
    // author key in its use.cfg.
    ASSERT_EQ(0, m_admin->AddDatabase("books", error)) << error;
    ASSERT_EQ(0, m_admin->PutCfgFile("books", "keys.cfg", keys, error)) << error;
    ASSERT_EQ(0, m_admin->PutCfgFile("books", "use.cfg",
                                     "use name=\"title\" oid=\"4\"\nuse name=\"author\" oid=\"1003\"\n"
                                     "use name=\"subject\" oid=\"21\"\nuse name=\"localno\" oid=\"12\"\n"
                                     "use name=\"date\" oid=\"31\"\n",
                                     error))
        << error;
    ASSERT_EQ(0, m_admin->PutCfgFile("books", "property.cfg",
                                     "prop type=\"marcsytax oid\" value=\"1.2.840.10003.5.10\"\n"
                                     "prop type=\"alias\" value=\"bk\"\n",
                                     error))
        << error;
    ASSERT_EQ(0, m_admin->PutCfgFile("books", "zbrief.cfg", "field tag=\"001\"\nfield tag=\"245\" subfields=\"a\"\n",
                                     error))
        << error;
    ASSERT_EQ(0, m_admin->AddDatabase("other", error)) << error;
    ASSERT_EQ(0, m_admin->PutCfgFile("other", "keys.cfg", keys, error)) << error;
    ASSERT_EQ(0, m_admin->PutCfgFile("other", "use.cfg", "use name=\"title\" oid=\"4\"\n", error)) << error;

    std::vector<std::string> books;
    for (int i = 1; i <= kComputerRecords; ++i)
        books.push_back(MakeRecord(i, "Computer systems " + std::to_string(i), i % 2 ? "Knuth" : "Wirth",
                                   i % 3 == 0 ? "Algorithms" : ""));
    books.push_back(MakeRecord(61, "Cooking basics", "Child"));
    books.push_back(MakeRecord(62, Utf8ToAnsi("计算机网络"), Utf8ToAnsi("谢希仁")));
    std::vector<StrataRejectedRecord> rejected;
    ASSERT_EQ(static_cast<int>(books.size()), m_admin->LoadRecords("books", books, rejected, error)) << error;
    ASSERT_EQ(2, m_admin->LoadRecords("other",
                                      {MakeRecord(5, "Computer networks", "Tanenbaum"),
                                       MakeRecord(70, "Computer graphics", "Foley")},
                                      rejected, error))
        << error;

    m_owner = std::make_unique<CTunnelArray>();
    ASSERT_EQ(0, vktest::ServeTestStore(*m_owner, m_dir.string() + "/", 10000, error)) << error;
    m_port = vktest::FreePort();
    m_owner->m_settings.Update([&](CServerSettings& s) { s.m_port = static_cast<unsigned>(m_port); });
    ASSERT_TRUE(m_owner->ListenerStart());
}

inline void SearchServerTest::TearDown() {
    for (int fd : m_clients)
        close(fd);
    m_owner.reset();
    m_admin.reset();
    CMemSort::SetTempFolder("");
    CMemSort::SetMemoryDataLimit(CMemSort::kDefaultMemoryDataLimit);
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

inline CBERNode* SearchServerTest::Exchange(int fd, const CByteArray& request) {
    if (!tunneltest::SendAll(fd, request))
        return nullptr;
    if (tunneltest::ReadPdu(fd, m_pdu, 10000) != tunneltest::ReadResult::Pdu)
        return nullptr;
    return tunneltest::Decode(m_root, m_pdu);
}

inline int SearchServerTest::Open(bool authenticated, bool utf8) {
    const int fd = vktest::Connect(m_port);
    EXPECT_GE(fd, 0);
    m_clients.push_back(fd);
    const CByteArray auth = authenticated ? tunneltest::IdPassAuth("demo", "demo") : CByteArray{};
    const CByteArray other = utf8 ? tunneltest::Utf8ProposalWrapped() : CByteArray{};
    CBERNode* apdu = Exchange(fd, tunneltest::InitWith({}, auth, other));
    EXPECT_TRUE(apdu && apdu->m_uTag == 21u && tunneltest::InitResult(apdu));
    return fd;
}

inline SearchAnswer SearchServerTest::Search(int fd, const std::string& setName, const std::vector<std::string>& dbs,
                                             const CByteArray& rpn) {
    SearchAnswer a;
    CBERNode* apdu = Exchange(fd, SearchPdu(setName, dbs, rpn));
    if (!apdu || apdu->m_uTag != 23u)
        return a;
    a.ok = true;
    a.count = IntOf(apdu, 23);
    a.next = IntOf(apdu, 25);
    CBERNode* status = Child(apdu, 22);
    a.status = status && !status->m_baContent.empty() && status->m_baContent[0] != 0;
    return a;
}

inline PresentAnswer SearchServerTest::Present(int fd, const CByteArray& request) {
    PresentAnswer a;
    CBERNode* apdu = Exchange(fd, request);
    if (!apdu || apdu->m_uTag != 25u)
        return a;
    a.ok = true;
    a.returned = IntOf(apdu, 24);
    a.next = IntOf(apdu, 25);
    a.status = IntOf(apdu, 27);
    if (CBERNode* ref = Child(apdu, 2))
        a.referenceId.assign(ref->m_baContent.begin(), ref->m_baContent.end());
    CBERNode* records = Child(apdu, 28);
    a.hasRecords = records != nullptr;
    if (!records)
        return a;
    for (CBERNode* npr : records->m_arrChildren) {
        PresentedRecord r;
        if (CBERNode* name = Child(npr, 0))
            r.db.assign(name->m_baContent.begin(), name->m_baContent.end());
        CBERNode* record = Child(npr, 1);
        if (CBERNode* retrieval = Child(record, 1)) {
            CBERNode* external = Child(retrieval, 8);
            if (CBERNode* oid = Child(external, 6))
                DecodeOID(oid->m_baContent, r.oid);
            if (CBERNode* octets = Child(external, 1))
                r.marc.assign(octets->m_baContent.begin(), octets->m_baContent.end());
        } else if (CBERNode* surrogate = Child(record, 2)) {
            CBERNode* diag = surrogate->m_arrChildren.empty() ? nullptr : surrogate->m_arrChildren[0];
            r.diagnostic = IntOf(diag, 2);
        }
        a.records.push_back(r);
    }
    return a;
}

inline bool SearchServerTest::ClosedWithoutAnswer(int fd) {
    CByteArray rest;
    return tunneltest::ReadPdu(fd, rest, 5000) == tunneltest::ReadResult::Closed && rest.empty();
}

inline CTunnel* SearchServerTest::FirstSession() { return m_owner->GetSize() > 0 ? m_owner->GetAt(0) : nullptr; }

}  // namespace searchtest
