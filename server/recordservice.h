#pragma once
// CRecordService: the records of result-set rows for a front end: read through the back-end
// channel (db path + "/ctlno/" + 7 digits; several records of one database with one record-list
// read), reduced to the brief form (the database's zbrief.cfg) unless full records were asked
// for, and converted to the record syntax: ISO 2709 in the database's syntax, text fields
// converted to UTF-8 on request, or MARCXML or SUTRS made from it (server/recordsyntax.h). A record
// that cannot be delivered is a diagnostic in its place.
// Ownership: the channel access (and what it points at) must outlive the service.
// Thread safety: none; one thread (the caller's) at a time.

#include <cstdint>
#include <string>
#include <vector>

#include "berkit/bytearray.h"
#include "server/diagnostic.h"
#include "server/searchcontext.h"

class CDatabaseNode;

// One row to deliver: the database name as the row carries it, its catalogue entry, the number.
struct CRecordRow {
    std::string m_dbName;
    const CDatabaseNode* m_db = nullptr;
    int64_t m_number = 0;
};

// How records are delivered.
struct CRecordForm {
    bool m_full = false;   // full records (else brief, where the database defines a brief form)
    bool m_utf8 = false;   // ISO 2709 text fields converted from the ANSI code page to UTF-8
    int m_style = 3;       // API_Search style of record reads (kStrataStyleRecord or ...BriefRecord)
    std::string m_syntax;  // record syntax OID wanted; empty: the database's own
    // The leader as ISO 2709 and MARC 21 have it: 22 "0" (no implementation-defined part in the
    // directory), 23 "0" in MARC 21, and 09 "a" on MARC 21 records delivered in UTF-8.
    bool m_standardLeader = false;
};

struct CRecordResult {
    CByteArray m_octets;    // the record (empty on an error)
    std::string m_syntax;   // its record syntax OID
    CDiagnostic m_error;    // 14 when the record cannot be delivered, 238 (addinfo the OID) when it
                            // cannot be converted to the syntax; m_message for the log
};

class CRecordService {
public:
    CRecordService(const CChannelAccess& channel, const CRecordForm& form) : m_channel(channel), m_form(form) {}

    // The records of `rows`, in order (stops early, leaving the rest out, when `stop` is set).
    std::vector<CRecordResult> Fetch(const std::vector<CRecordRow>& rows, const std::atomic<bool>* stop);
    // The record `number` of `db` in the form's syntax. `fetched`, when not null and not empty, is the
    // record's Diriv text read already; otherwise it is read with its own record path.
    CRecordResult Convert(const CDatabaseNode* db, int64_t number, const std::string* fetched);

    // db path + "/ctlno/" + 7 digits. The path's length, or -1.
    static int GetMARCRecordPath(const CDatabaseNode* db, int64_t number, std::string& path);
    // The Diriv text of a record path. Its length, or -1 (record emptied).
    int GetMARCRecord(const std::string& path, std::string& record);
    // The Diriv texts of `numbers` (2 to kStrataMaxBatchRecords) of `db` in one record-list read.
    // texts[i] is left empty for every record not delivered so; the caller reads those one by one.
    void GetMARCRecords(const CDatabaseNode* db, const std::vector<int64_t>& numbers, std::vector<std::string>& texts);

private:
    const CChannelAccess& m_channel;
    CRecordForm m_form;
};
