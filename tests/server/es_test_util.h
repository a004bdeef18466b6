#pragma once
// Helpers of the Extended Services update tests: ISO 2709 records built field by field, the ES
// update, Search and Present requests, reading a record's fields back, and a fixture serving a
// temporary store's "books" database through real sessions over loopback.

#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "backend/rowstore/memsort.h"
#include "backend/strata/strata_admin.h"
#include "berkit/bernode.h"
#include "berkit/bernode_values.h"
#include "server/dbarray.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"
#include "server_test_util.h"
#include "store_manager_setup.h"
#include "test_tunnel_client.h"

namespace estest {

using Fields = std::vector<std::pair<std::string, std::string>>;  // tag, field data (no terminator)

constexpr const char* kOidUpdate = "1.2.840.10003.9.5.1.1";
constexpr const char* kOidTextXml = "1.2.840.10003.5.109.10";
constexpr const char* kOidUsmarc = "1.2.840.10003.5.10";

// An ISO 2709 record: leader, directory, fields each ending in 0x1E, record terminator 0x1D.
inline std::string MakeRecord(const Fields& fields) {
    std::string directory;
    std::string data;
    for (const auto& [tag, text] : fields) {
        char entry[16];
        snprintf(entry, sizeof entry, "%.3s%04zu%05zu", tag.c_str(), text.size() + 1, data.size());
        directory += entry;
        data += text + '\x1e';
    }
    directory += '\x1e';
    data += '\x1d';
    const size_t base = 24 + directory.size();
    char leader[32];
    snprintf(leader, sizeof leader, "%05zunam  22%05zu a 4500", base + data.size(), base);
    return std::string(leader, 24) + directory + data;
}

// A book record: 001 number, 245 $a title, 500 $a note.
inline std::string BookRecord(const std::string& number, const std::string& title, const std::string& note = "n") {
    return MakeRecord({{"001", number}, {"245", "10\x1f" "a" + title}, {"500", "  \x1f" "a" + note}});
}

inline CByteArray Bytes(const std::string& s) { return CByteArray(s.begin(), s.end()); }

// The fields of an ISO 2709 record by tag (first occurrence), without terminators; empty when
// the record does not parse.
inline std::map<std::string, std::string> ReadFields(const std::string& rec) {
    std::map<std::string, std::string> out;
    if (rec.size() < 25)
        return out;
    const size_t base = std::stoul(rec.substr(12, 5));
    for (size_t at = 24; at + 12 < base && at + 12 <= rec.size(); at += 12) {
        const std::string tag = rec.substr(at, 3);
        const size_t len = std::stoul(rec.substr(at + 3, 4));
        const size_t start = std::stoul(rec.substr(at + 7, 5));
        if (base + start + len > rec.size() || len == 0)
            return {};
        if (!out.count(tag))
            out[tag] = rec.substr(base + start, len - 1);
    }
    return out;
}

// An extendedServicesRequest for the Update task with the given records (each with an opaque
// recordId and the text-xml syntax, as yaz-client labels them).
inline CByteArray UpdateRequest(long action, const std::string& db, const std::vector<std::string>& records,
                                const std::string& refId = "", const char* packageType = kOidUpdate) {
    CBERNode root;
    CBERNode* es = root.NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 46);
    if (!refId.empty())
        es->NewChildCharNode(BER_CONTEXT, BER_PRIMITIVE, 2, const_cast<char*>(refId.data()), int(refId.size()));
    es->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 3, 1);
    es->NewChildOIDNode(BER_CONTEXT, BER_PRIMITIVE, 4, packageType);
    CBERNode* ext = es->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 10);
    ext->NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, packageType);
    CBERNode* req = ext->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 0)
                        ->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 1);
    CBERNode* keep = req->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 1)
                         ->NewChildNoContentNode(BER_UNIVERSAL, BER_CONSTRUCTED, 16);
    keep->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 1, int(action));
    keep->NewChildCharNode(BER_CONTEXT, BER_PRIMITIVE, 2, const_cast<char*>(db.data()), int(db.size()));
    CBERNode* list = req->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 2)
                         ->NewChildNoContentNode(BER_UNIVERSAL, BER_CONSTRUCTED, 16);
    for (const std::string& rec : records) {
        CBERNode* one = list->NewChildNoContentNode(BER_UNIVERSAL, BER_CONSTRUCTED, 16);
        one->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 1)
            ->NewChildCharNode(BER_CONTEXT, BER_PRIMITIVE, 3, const_cast<char*>("id1"), 3);
        CBERNode* external = one->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 4);
        external->NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, kOidTextXml);
        external->NewChildCharNode(BER_CONTEXT, BER_PRIMITIVE, 1, const_cast<char*>(rec.data()), int(rec.size()));
    }
    es->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 11, 2);
    CByteArray out;
    root.EncodeBER(out);
    return out;
}

// A searchRequest for one term under one use attribute in one database, result set "default".
inline CByteArray SearchRequest(const std::string& db, int use, const std::string& term) {
    CBERNode root;
    CBERNode* s = root.NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 22);
    s->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 13, 0);
    s->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 14, 1);
    s->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 15, 0);
    s->NewChildBooleanNode(BER_CONTEXT, BER_PRIMITIVE, 16, true);
    s->NewChildCharNode(BER_CONTEXT, BER_PRIMITIVE, 17, const_cast<char*>("default"), 7);
    s->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 18)
        ->NewChildCharNode(BER_CONTEXT, BER_PRIMITIVE, 105, const_cast<char*>(db.data()), int(db.size()));
    CBERNode* type1 = s->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 21)
                          ->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 1);
    type1->NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, "1.2.840.10003.3.1");
    CBERNode* apt = type1->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 0)
                        ->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 102);
    CBERNode* attr = apt->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 44)
                         ->NewChildNoContentNode(BER_UNIVERSAL, BER_CONSTRUCTED, 16);
    attr->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 120, 1);
    attr->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 121, use);
    apt->NewChildCharNode(BER_CONTEXT, BER_PRIMITIVE, 45, const_cast<char*>(term.data()), int(term.size()));
    CByteArray out;
    root.EncodeBER(out);
    return out;
}

// A presentRequest of `count` full USMARC records from `start` of the set "default".
inline CByteArray PresentRequest(int start, int count) {
    CBERNode root;
    CBERNode* p = root.NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 24);
    p->NewChildCharNode(BER_CONTEXT, BER_PRIMITIVE, 31, const_cast<char*>("default"), 7);
    p->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 30, start);
    p->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 29, count);
    p->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 19)
        ->NewChildCharNode(BER_CONTEXT, BER_PRIMITIVE, 0, const_cast<char*>("F"), 1);
    p->NewChildOIDNode(BER_CONTEXT, BER_PRIMITIVE, 104, kOidUsmarc);
    CByteArray out;
    root.EncodeBER(out);
    return out;
}

// The octet-aligned records of a presentResponse, in order (surrogate diagnostics skipped).
inline std::vector<std::string> PresentedRecords(CBERNode* apdu) {
    std::vector<std::string> out;
    CBERNode* records = tunneltest::Child(apdu, 28);
    for (CBERNode* npr : records ? records->m_arrChildren : std::vector<CBERNode*>{}) {
        CBERNode* ext = tunneltest::Child(tunneltest::Child(tunneltest::Child(npr, 1), 1), 8);
        if (CBERNode* octets = tunneltest::Child(ext, 1))
            out.emplace_back(octets->m_baContent.begin(), octets->m_baContent.end());
    }
    return out;
}

inline long IntField(CBERNode* apdu, unsigned tag, long missing = -1) {
    long value = missing;
    CBERNode* node = tunneltest::Child(apdu, tag);
    if (node == nullptr || !DecodeInteger(node->m_baContent, value))
        return missing;
    return value;
}

// A temporary store with the accounts demo/demo (read and write) and public (read only), the
// database "books" (alias "Default", the name yaz-client sends; keys title = 245a, localno = 001), and a session manager
// serving it with its catalogue and listener on a loopback port.
class ESServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = tunneltest::MakeTempDir("vkes");
        ASSERT_FALSE(m_dir.empty());
        std::filesystem::create_directories(m_dir + "/tmp");
        CMemSort::SetTempFolder(m_dir + "/tmp");
        CInterface::SetStoreFolder(m_dir);
        std::string error;
        m_admin = CStrataAdmin::Create(StrataStoreFile(m_dir, "inst"), error);
        ASSERT_TRUE(m_admin) << error;
        ASSERT_EQ(0, m_admin->AddAccount("demo", "demo", kStrataRightRead | kStrataRightWrite, error)) << error;
        ASSERT_EQ(0, m_admin->AddDatabase("books", error)) << error;
        const std::pair<const char*, const char*> cfgs[] = {
            {"keys.cfg", "key name=\"title\" fields=\"245a\"\nkey name=\"localno\" fields=\"001\"\n"},
            {"use.cfg", "use name=\"title\" oid=\"4\"\nuse name=\"localno\" oid=\"12\"\n"},
            {"property.cfg", "prop type=\"marcsytax oid\" value=\"1.2.840.10003.5.10\"\n"
                             "prop type=\"alias\" value=\"Default\"\n"}};
        for (const auto& [file, text] : cfgs)
            ASSERT_EQ(0, m_admin->PutCfgFile("books", file, text, error)) << error;

        m_owner = std::make_unique<CTunnelArray>();
        ASSERT_EQ(0, vktest::ServeTestStore(*m_owner, m_dir + "/", 100000, error)) << error;
        m_port = vktest::FreePort();
        m_owner->m_settings.Update([&](CServerSettings& s) { s.m_port = static_cast<unsigned>(m_port); });
        ASSERT_TRUE(m_owner->ListenerStart());
    }

    void TearDown() override {
        for (int fd : m_clients)
            close(fd);
        m_owner.reset();
        m_admin.reset();
        CMemSort::SetTempFolder("");
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    // Opens an association with idPass credentials (empty user: anonymous). The socket, or -1
    // when the connection or the Init failed.
    int Open(const std::string& user = "", const std::string& password = "") {
        const int fd = vktest::Connect(m_port);
        if (fd < 0)
            return -1;
        m_clients.push_back(fd);
        const CByteArray auth = user.empty() ? CByteArray{} : tunneltest::IdPassAuth(user, password);
        CBERNode root;
        CBERNode* apdu = Exchange(fd, tunneltest::InitWith({}, auth, {}), root);
        return apdu && apdu->m_uTag == 21u && tunneltest::InitResult(apdu) ? fd : -1;
    }

    static CBERNode* Exchange(int fd, const CByteArray& request, CBERNode& root, int timeoutMs = 10000) {
        CByteArray pdu;
        if (!tunneltest::SendAll(fd, request) || tunneltest::ReadPdu(fd, pdu, timeoutMs) != tunneltest::ReadResult::Pdu)
            return nullptr;
        return tunneltest::Decode(root, pdu);
    }

    // operationStatus of one update exchange; -1 without a proper extendedServicesResponse.
    static long Update(int fd, long action, const std::vector<std::string>& records, const std::string& db = "books") {
        CBERNode root;
        CBERNode* apdu = Exchange(fd, UpdateRequest(action, db, records), root);
        return apdu && apdu->m_uTag == 47u ? IntField(apdu, 3) : -1;
    }

    // The stored Diriv text of a record, "" when there is none.
    std::string Stored(int64_t number) {
        std::string diriv;
        std::string error;
        return m_admin->GetRecord("books", number, diriv, error) == 0 ? diriv : std::string();
    }

    // Hit count of a title search in a session; -1 without a searchResponse.
    static long Hits(int fd, const std::string& term, int use = 4) {
        CBERNode root;
        CBERNode* apdu = Exchange(fd, SearchRequest("books", use, term), root);
        return apdu && apdu->m_uTag == 23u ? IntField(apdu, 23) : -1;
    }

    std::string m_dir;
    std::unique_ptr<CStrataAdmin> m_admin;
    std::unique_ptr<CTunnelArray> m_owner;
    int m_port = 0;
    std::vector<int> m_clients;
};

}  // namespace estest
