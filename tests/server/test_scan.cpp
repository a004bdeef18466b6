// Scan, Delete result set and the Init answer in the bib-1 diagnostics mode, through a real
// listener: term lists with their counts, positions, partial lists at the ends of the index, the
// character set of the terms, the diagnostics of what cannot be served, the statuses of deleted
// sets, and the version and options the Init answer announces. (That each term searched finds
// its count is checked on both engines in tests/backend/strata and with real clients in
// tests/interop/scan_interop.py.)
#include "berkit/bernode_values.h"
#include "berkit/bernode_z3950.h"
#include "test_search_fixture.h"

namespace searchtest {
namespace {

// A scanRequest: databases, use attribute (0: none), start term, terms asked for, position and
// step size (-1: left out).
CByteArray ScanPdu(const std::vector<std::string>& dbs, int use, const std::string& term, int count, int position,
                   int step = -1) {
    CByteArray names;
    for (const std::string& db : dbs)
        names = Cat({names, Tlv({0x9f, 0x69}, Text(db))});
    CByteArray attributes;
    if (use > 0)
        attributes = Tlv({0x30}, Cat({Tlv({0x9f, 0x78}, Int(1)), Tlv({0x9f, 0x79}, Int(use))}));
    CByteArray body = Cat({Tlv({0xa3}, names), Tlv({0x06}, {0x2a, 0x86, 0x48, 0xce, 0x13, 0x03, 0x01}),
                           Tlv({0xbf, 0x66}, Cat({Tlv({0xbf, 0x2c}, attributes), Tlv({0x9f, 0x2d}, Text(term))}))});
    if (step >= 0)
        body = Cat({body, Tlv({0x85}, Int(step))});
    body = Cat({body, Tlv({0x86}, Int(count))});
    if (position >= 0)
        body = Cat({body, Tlv({0x87}, Int(position))});
    return Tlv({0xbf, 0x23}, body);
}

struct ScanAnswer {
    long status = -1;
    long position = -1;
    long diagnostic = -1;
    std::vector<std::pair<std::string, long>> entries;
};

CByteArray DeletePdu(int function, const std::vector<std::string>& names) {
    CByteArray list;
    for (const std::string& name : names)
        list = Cat({list, Tlv({0x9f, 0x1f}, Text(name))});
    return Tlv({0xba}, Cat({Tlv({0x9f, 0x20}, Int(function)), names.empty() ? CByteArray{} : Tlv({0x30}, list)}));
}

class ScanTest : public SearchServerTest {
protected:
    void SetUp() override {
        SearchServerTest::SetUp();
        m_owner->m_settings.Update([](CServerSettings& s) {
            s.m_diagnostics = CDiagnosticsMode::kBib1;
            s.m_defaultUseAttribute = 4;
        });
    }
    ScanAnswer Scan(int fd, const CByteArray& request) {
        ScanAnswer a;
        CBERNode* apdu = Exchange(fd, request);
        if (apdu == nullptr || apdu->m_uTag != static_cast<unsigned>(Z_SCAN_RESPONSE))
            return a;
        a.status = IntOf(apdu, kZTagScanStatus);
        a.position = IntOf(apdu, kZTagScanPositionOfTerm);
        CBERNode* entries = Child(apdu, kZTagScanEntries);
        if (CBERNode* diagnostics = Child(entries, kZTagScanDiagnostics))
            a.diagnostic = diagnostics->m_arrChildren.empty() ? -1 : IntOf(diagnostics->m_arrChildren[0], 2);
        if (CBERNode* list = Child(entries, kZTagScanEntryList))
            for (CBERNode* info : list->m_arrChildren) {
                CBERNode* term = Child(info, kZTagGeneralTerm);
                a.entries.emplace_back(term ? std::string(term->m_baContent.begin(), term->m_baContent.end()) : "",
                                       IntOf(info, kZTagScanOccurrences));
            }
        EXPECT_EQ(IntOf(apdu, kZTagScanEntriesReturned), static_cast<long>(a.entries.size()));
        return a;
    }
    // The statuses of a deleteResultSetResponse: the operation's, then (name, status) per set.
    std::pair<long, std::vector<std::pair<std::string, long>>> Delete(int fd, const CByteArray& request) {
        std::pair<long, std::vector<std::pair<std::string, long>>> out{-1, {}};
        CBERNode* apdu = Exchange(fd, request);
        if (apdu == nullptr || apdu->m_uTag != static_cast<unsigned>(Z_DELETE_RESULT_SET_RESPONSE))
            return out;
        out.first = IntOf(apdu, kZTagDeleteOperationStatus);
        CBERNode* list = Child(apdu, kZTagDeleteListStatuses);
        if (list == nullptr)
            list = Child(apdu, kZTagDeleteBulkStatuses);
        for (CBERNode* entry : list ? list->m_arrChildren : std::vector<CBERNode*>{}) {
            CBERNode* name = Child(entry, kZTagResultSetId);
            out.second.emplace_back(name ? std::string(name->m_baContent.begin(), name->m_baContent.end()) : "",
                                    IntOf(entry, kZTagDeleteSetStatus));
        }
        return out;
    }
};

TEST_F(ScanTest, TermListsFromAStartTermWithPositionsAndTheEndsOfTheIndex) {
    const int fd = Open();
    using E = std::vector<std::pair<std::string, long>>;
    const struct {
        std::vector<std::string> dbs;
        int use;
        const char* term;
        int count, position;
        long status, at;
        E entries;  // all of them, or the first ones when `prefix`
        bool prefix;
    } rows[] = {
        {{"books"}, 4, "COOK", 3, 1, Z_SCAN_SUCCESS, 1, {{"cooking", 1}, {"systems", 60}}, true},
        {{"books"}, 4, "computer", 3, 2, Z_SCAN_SUCCESS, 2, {{"basics", 1}, {"computer", 60}, {"cooking", 1}}, false},
        {{"books"}, 1003, "a", 5, 1, Z_SCAN_SUCCESS, 1, {{"child", 1}, {"knuth", 30}, {"wirth", 30}}, true},
        {{"books"}, 21, "zzz", 4, 3, Z_SCAN_PARTIAL_LIST_END, 2, {{"algorithms", 20}}, false},
        {{"books", "other"}, 4, "computer", 2, 1, Z_SCAN_SUCCESS, 1, {{"computer", 62}, {"cooking", 1}}, false},
        {{"other"}, 4, "", 20, 1, Z_SCAN_PARTIAL_LIST_END, 1, {{"computer", 2}, {"graphics", 1}, {"networks", 1}}, false},
        {{"books"}, 0, "cooking", 1, 1, Z_SCAN_SUCCESS, 1, {{"cooking", 1}}, false},
    };
    for (const auto& row : rows) {
        const ScanAnswer a = Scan(fd, ScanPdu(row.dbs, row.use, row.term, row.count, row.position));
        EXPECT_EQ(a.status, row.status) << row.term;
        EXPECT_EQ(a.position, row.at) << row.term;
        EXPECT_EQ(a.diagnostic, -1) << row.term;
        const E head(a.entries.begin(), a.entries.begin() + std::min(a.entries.size(), row.entries.size()));
        EXPECT_EQ(head, row.entries) << row.term;
        if (!row.prefix)
            EXPECT_EQ(a.entries.size(), row.entries.size()) << row.term;
    }
}

TEST_F(ScanTest, TermsGoOutInTheSessionsCharacterSet) {
    for (bool utf8 : {false, true}) {
        const int fd = Open(true, utf8);
        const std::string start = utf8 ? "计" : Utf8ToAnsi("计");
        const ScanAnswer a = Scan(fd, ScanPdu({"books"}, 4, start, 2, 1));
        ASSERT_EQ(a.entries.size(), 2u) << utf8;
        EXPECT_EQ(a.entries[0], std::make_pair(start, 1L));
        EXPECT_EQ(a.entries[1].first, utf8 ? "计算" : Utf8ToAnsi("计算"));
    }
}

TEST_F(ScanTest, WhatCannotBeServedGetsItsDiagnosticAndTheAssociationGoesOn) {
    const int fd = Open();
    const struct {
        CByteArray request;
        long diagnostic;
    } rows[] = {
        {ScanPdu({"nosuch"}, 4, "a", 5, 1), 109},
        {ScanPdu({"other"}, 1003, "a", 5, 1), 114},
        {ScanPdu({"books"}, 4, "a", 5, 1, 1), 205},
        {ScanPdu({"books"}, 4, "a", 5, 7), 233},
        {ScanPdu({"books"}, 4, "a", 5, 0), 233},
        {ScanPdu({"books"}, 4, "a", 1001, 1), 1029},
        {Tlv({0xbf, 0x23}, Tlv({0x86}, Int(5))), 228},
        {Tlv({0xbf, 0x23}, ScanPdu({"books"}, 4, "a", 5, 1)), 228},  // a field no scan holds
    };
    for (const auto& row : rows) {
        const ScanAnswer a = Scan(fd, row.request);
        EXPECT_EQ(a.status, Z_SCAN_FAILURE) << row.diagnostic;
        EXPECT_EQ(a.diagnostic, row.diagnostic);
        EXPECT_TRUE(a.entries.empty());
    }
    EXPECT_EQ(Search(fd, "a", {"books"}, Term(4, "computer")).count, kComputerRecords);
    // Answered scans count in the metrics (the search after them has been answered too).
    EXPECT_EQ(m_owner->m_metrics.GetService(CMetricService::kScan).m_count.load(), std::size(rows));
}

TEST_F(ScanTest, DeleteNamedSetsAndAllWithAStatusPerSet) {
    const int fd = Open();
    for (const char* name : {"a", "b", "c"})
        ASSERT_EQ(Search(fd, name, {"books"}, Term(4, "computer")).count, kComputerRecords);
    using L = std::vector<std::pair<std::string, long>>;
    const struct {
        CByteArray request;
        long status;
        L sets;
    } rows[] = {
        {DeletePdu(0, {"A"}), Z_DELETE_SUCCESS, {{"A", Z_DELETE_SUCCESS}}},
        {DeletePdu(0, {"a"}), Z_DELETE_NO_SUCH_SET, {{"a", Z_DELETE_NO_SUCH_SET}}},
        {DeletePdu(0, {"b", "x"}), Z_DELETE_NOT_ALL_DELETED, {{"b", Z_DELETE_SUCCESS}, {"x", Z_DELETE_NO_SUCH_SET}}},
        {DeletePdu(1, {}), Z_DELETE_SUCCESS, {{"c", Z_DELETE_SUCCESS}}},
        {DeletePdu(1, {}), Z_DELETE_SUCCESS, {}},
    };
    for (const auto& row : rows) {
        const auto [status, sets] = Delete(fd, row.request);
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(sets, row.sets);
    }
    EXPECT_EQ(Present(fd, PresentPdu("c", 1, 1)).records.size(), 0u);
    // The deletes count in the metrics (the Present after them has been answered too).
    EXPECT_EQ(m_owner->m_metrics.GetService(CMetricService::kDelete).m_count.load(), std::size(rows));
    // No deleteFunction: not a delete the server can read.
    CBERNode* close = Exchange(fd, Tlv({0xba}, Tlv({0x30}, Tlv({0x9f, 0x1f}, Text("c")))));
    ASSERT_NE(close, nullptr);
    EXPECT_EQ(close->m_uTag, static_cast<unsigned>(Z_CLOSE));
}

TEST_F(ScanTest, InitAnnouncesVersion3AndTheServicesOnlyInTheMode) {
    const struct {
        CDiagnosticsMode mode;
        const char* versions;
        const char* options;
    } rows[] = {
        {CDiagnosticsMode::kBib1, "yyy", "yyynnnny"},  // search, present, delSet, scan
        {CDiagnosticsMode::kNone, "yy", "yynnnnnn"},
    };
    for (const auto& row : rows) {
        m_owner->m_settings.Update([&](CServerSettings& s) { s.m_diagnostics = row.mode; });
        const int fd = vktest::Connect(m_port);
        m_clients.push_back(fd);
        CBERNode* init = Exchange(fd, tunneltest::InitAnonymous());  // offers versions 1 to 3
        ASSERT_NE(init, nullptr);
        std::string versions, options;
        DecodeBitString(Child(init, kZTagProtocolVersion)->m_baContent, versions);
        DecodeBitString(Child(init, kZTagOptions)->m_baContent, options);
        EXPECT_EQ(versions, row.versions);
        EXPECT_EQ(options.substr(0, 8), row.options);  // bit 8, sort, follows its service
        EXPECT_EQ(options[10], row.mode == CDiagnosticsMode::kBib1 ? 'y' : 'n');  // extendedServices
        EXPECT_EQ(options[14], 'y');  // namedResultSets
        if (row.mode == CDiagnosticsMode::kNone)
            EXPECT_EQ(options, "yynnnnnnnnnnnny");
    }
}

}  // namespace
}  // namespace searchtest
