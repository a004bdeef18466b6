// CTunnel Present service: finds the named result set, clips the requested range (at most
// kMaxPresentRecords), fetches the records through the session's channel (each run of rows of one
// database with one record-list call, and any record that call did not deliver with its own
// record path), reduces each to its brief
// form unless full records were asked for by an authenticated session, converts it to ISO 2709
// and answers with a presentResponse of NamePlusRecords. A record that cannot be delivered is
// answered with a surrogate diagnostic in its place.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "backend/marc/cvtdiriv.h"
#include "backend/marc/marcrecord.h"
#include "backend/strata/strata_errors.h"
#include "backend/strata/strata_package.h"
#include "backend/strata/strata_routines.h"
#include "berkit/bernode_values.h"
#include "berkit/bertrace.h"
#include "berkit/codepage.h"
#include "server/dbarray.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"
#include "server/zrecordset.h"

namespace {

// presentRequest fields read (context tags).
constexpr unsigned kTagReferenceId = 2;
constexpr unsigned kTagResultSetId = 31;
constexpr unsigned kTagStartPoint = 30;
constexpr unsigned kTagRecordsRequested = 29;
constexpr unsigned kTagRecordComposition = 19;

// presentResponse fields (context tags).
constexpr unsigned kTagRecordsReturned = 24;
constexpr unsigned kTagNextPosition = 25;
constexpr unsigned kTagPresentStatus = 27;
constexpr unsigned kTagResponseRecords = 28;

constexpr int kPresentSuccess = 0;
constexpr int kPresentFailure = 5;
// Records sent by one Present at most, whatever was requested.
constexpr int kMaxPresentRecords = 40;

constexpr int kAnswerBufferSize = 65535;
// A record block: 9 header octets, then the Diriv text of at least 24 characters.
constexpr size_t kRecordHeaderSize = 9;
constexpr size_t kMinRecordBlock = 33;
constexpr size_t kMinRecordText = 24;
constexpr int kStyleRecord = 3;
constexpr int kStyleBriefRecord = 2;
constexpr int kStyleNextPage = 0x8000;

// bib-1 diagnostic set and "System error in presenting records".
constexpr const char* kOidBib1Diagnostics = "1.2.840.10003.4.1";
constexpr int kDiagPresentError = 14;

// Appends a surrogate diagnostic as the record of `namePlusRecord`.
void AddSurrogateDiagnostic(CBERNode* namePlusRecord, const std::string& text) {
    CBERNode* record = namePlusRecord->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 1);
    CBERNode* surrogate = record->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 2);
    CBERNode* diag = surrogate->NewChildNoContentNode(BER_UNIVERSAL, BER_CONSTRUCTED, 16);
    diag->NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, kOidBib1Diagnostics);
    diag->NewChildIntegerNode(BER_UNIVERSAL, BER_PRIMITIVE, 2, kDiagPresentError);
    std::string info = text.substr(0, 200);
    diag->NewChildCharNode(BER_UNIVERSAL, BER_PRIMITIVE, 26, info.data(), static_cast<int>(info.size()));
}

}  // namespace

int CTunnel::GetMARCRecordPath(const CDatabaseNode* db, int64_t number, std::string& path) {
    if (db == nullptr)
        return -1;
    path = db->m_dbPath;
    path += "/ctlno/";
    if (number < 0 || number > 9999999)
        return -1;
    char digits[16];
    snprintf(digits, sizeof digits, "%07lld", static_cast<long long>(number));
    path += digits;
    return static_cast<int>(path.size());
}

void CTunnel::GetMARCRecords(const CDatabaseNode* db, const std::vector<int64_t>& numbers,
                             std::vector<std::string>& texts) {
    texts.assign(numbers.size(), std::string());
    if (db == nullptr || numbers.size() < 2 || numbers.size() > static_cast<size_t>(kStrataMaxBatchRecords))
        return;
    std::string list;
    list.reserve(numbers.size() * 8);
    char digits[16];
    for (int64_t number : numbers) {
        if (number < 1 || number > 9999999)
            return;
        snprintf(digits, sizeof digits, "%s%07lld", list.empty() ? "" : ",", static_cast<long long>(number));
        list += digits;
    }
    EnsureChannel();
    const std::string path = db->m_dbPath + "/ctlno/" + list;
    const int base = (m_owner && Settings().m_backendVersion == 1 && !m_fullRecords) ? kStyleBriefRecord
                                                                                             : kStyleRecord;
    int style = base;
    std::string request = path;
    size_t position = 0;  // index in `numbers` of the next block
    CPackage package;
    while (position < numbers.size()) {
        if (m_bStop.load())
            return;
        const int answer = m_connect.API_Search(request.c_str(), static_cast<int>(request.size()) + 1,
                                                m_answerBuffer.data(), kAnswerBufferSize, style);
        if (answer == -1) {
            int code = 0;
            std::string error;
            m_connect.GetLastError(code, error);
            if (code == kStrataLoginRequired) {
                const bool anonymous = m_owner && Settings().m_allowAnonymous;
                if (LoginDatabase(m_connect, request, anonymous, "public", "") == 0)
                    continue;
            }
            BerTrace("GetMARCRecords() [%s]: %s\r\n", request.c_str(), error.c_str());
            return;  // the records left are read one by one
        }
        if (package.LoadPackage(m_answerBuffer.data(), static_cast<size_t>(kAnswerBufferSize)) == -1 ||
            package.CvtPackageToBinFormat(1) == -1 || package.GetRecordCount() == 0)
            return;
        for (size_t i = 0; i < package.GetRecordCount() && position < numbers.size(); ++i, ++position) {
            const CByteArray* block = package.GetRecord(i);
            snprintf(digits, sizeof digits, "#%07lld ", static_cast<long long>(numbers[position]));
            if (block->size() < kRecordHeaderSize ||
                std::memcmp(block->data(), digits, kRecordHeaderSize) != 0)
                return;  // not the record expected: trust nothing further in this answer
            if (block->size() < kMinRecordBlock)
                continue;  // no such record: its own read reports it
            const char* text = reinterpret_cast<const char*>(block->data()) + kRecordHeaderSize;
            const size_t room = block->size() - kRecordHeaderSize;
            size_t length = 0;
            while (length < room && text[length] != '\0')
                ++length;
            texts[position].assign(text, length);
        }
        const std::string& continuation = package.GetContinuation();
        if (continuation.empty())
            return;
        style = base | kStyleNextPage;
        request.assign(path).append("||").append(continuation);
    }
}

int CTunnel::GetMARCRecord(const std::string& path, std::string& record) {
    record.clear();
    EnsureChannel();
    const int style = (m_owner && Settings().m_backendVersion == 1 && !m_fullRecords) ? kStyleBriefRecord
                                                                                              : kStyleRecord;
    std::string error;
    for (;;) {
        const int answer = m_connect.API_Search(path.c_str(), static_cast<int>(path.size()) + 1,
                                                m_answerBuffer.data(), kAnswerBufferSize, style);
        if (answer != -1)
            break;
        int code = 0;
        m_connect.GetLastError(code, error);
        if (code == kStrataLoginRequired) {
            const bool anonymous = m_owner && Settings().m_allowAnonymous;
            if (LoginDatabase(m_connect, path, anonymous, "public", "") == 0)
                continue;
            m_connect.GetLastError(code, error);
        }
        if (code == kStrataChannelBroken || code == kStrataUnreachable)
            Close();
        BerTrace("Error in GetMARCRecord() [%s] \r\n", error.c_str());
        return -1;
    }
    CPackage package;
    if (package.LoadPackage(m_answerBuffer.data(), static_cast<size_t>(kAnswerBufferSize)) == -1) {
        BerTrace("Error in GetMARCRecord() [%s] \r\n", "CPackage::LoadPackage() error ...");
        return -1;
    }
    if (package.CvtPackageToBinFormat(1) == -1) {
        BerTrace("Error in GetMARCRecord() [%s] \r\n", "CPackage::CvtPackageToBinFormat() error ...");
        return -1;
    }
    const CByteArray* block = package.GetRecord(0);
    if (block == nullptr || block->size() < kMinRecordBlock) {
        BerTrace("Error in GetMARCRecord() [%s] \r\n", "no record in the answer");
        return -1;
    }
    // The text is zero-terminated within the block; a block without the zero ends at its end.
    const char* text = reinterpret_cast<const char*>(block->data()) + kRecordHeaderSize;
    const size_t room = block->size() - kRecordHeaderSize;
    size_t length = 0;
    while (length < room && text[length] != '\0')
        ++length;
    record.assign(text, length);
    return static_cast<int>(record.size());
}

int CTunnel::GetMARC(CByteArray& out, const CDatabaseNode* db, int64_t number, bool full,
                     const std::string* fetched) {
    std::string error;
    try {
        std::string path;
        std::string diriv;
        const bool have = fetched != nullptr && fetched->size() >= kMinRecordText;
        if (GetMARCRecordPath(db, number, path) < 1) {
            error = "GetMARCRecordPath() error [" + path + "]";
        } else if (!have && GetMARCRecord(path, diriv) < static_cast<int>(kMinRecordText)) {
            error = "GetMARCRecord() error [" + path + "]";
        } else {
            if (have)
                diriv = *fetched;
            if (!full && db->m_briefTree) {
                CMARC source;
                CMARC brief;
                if (source.Create(diriv, db->m_briefTree.get(), error) < 0 || source.Reduce(brief, error) < 0 ||
                    brief.BuildMARC(diriv) < static_cast<int>(kMinRecordText)) {
                    if (error.empty())
                        error = "brief record of [" + path + "] too short";
                    diriv.clear();
                }
            }
            if (!diriv.empty() && CvtDirivToISO2709(diriv, out, (m_utf8 && m_recordsInCharset) ? 1 : 0, error) != -1)
                return static_cast<int>(out.size());
        }
    } catch (extended_exception& e) {
        error = e.GetErrorMessage();
    } catch (...) {
        error = "GetMARC() error -- unknown";
    }
    out.clear();
    LogInfo("%s", error.c_str());
    return -1;
}

int CTunnel::IsLegalPresent(const std::string& name, int& start, int& count, int& next, CZResultSet*& set) {
    set = nullptr;
    for (CZResultSet* candidate : m_resultSets) {
        if (candidate != nullptr && DBNameEquals(candidate->m_name, name)) {
            set = candidate;
            break;
        }
    }
    if (set == nullptr && !m_resultSets.empty())
        set = m_resultSets.front();
    if (set == nullptr)
        return -1;
    if (start < 1)
        start = set->m_nextPosition < 1 ? 1 : set->m_nextPosition;
    const int64_t rows = set->GetRowCount();
    if (rows < start)
        return -1;
    if (count < 0)
        count = 0;
    if (count > kMaxPresentRecords)
        count = kMaxPresentRecords;
    if (static_cast<int64_t>(start) + count - 1 >= rows) {
        count = static_cast<int>(rows - start + 1);
        next = 0;
    } else {
        next = start + count;
    }
    set->m_nextPosition = next;
    return 0;
}

bool CTunnel::ProcessPresent(CBERNode* apdu) {
    m_fullRecords = false;
    CByteArray referenceId;
    std::string name;
    long start = -1;
    long count = 0;
    for (CBERNode* child : apdu->m_arrChildren) {
        if (child == nullptr)
            continue;
        switch (child->m_uTag) {
        case kTagReferenceId:
            referenceId = child->m_baContent;
            break;
        case kTagResultSetId:
            DecodeGeneralString(child->m_baContent, name, m_utf8);
            break;
        case kTagStartPoint:
            if (!DecodeInteger(child->m_baContent, start))
                start = -1;
            break;
        case kTagRecordsRequested:
            if (!DecodeInteger(child->m_baContent, count))
                count = 0;
            break;
        case kTagRecordComposition: {
            std::string elements;
            if (!child->m_arrChildren.empty() && child->m_arrChildren[0] != nullptr)
                DecodeGeneralString(child->m_arrChildren[0]->m_baContent, elements, false);
            m_fullRecords = elements == "F" || elements == "f";
            break;
        }
        default:
            break;
        }
    }
    if (name.empty())
        name = "default";
    if (!m_authenticated)
        m_fullRecords = false;

    int first = static_cast<int>(start);
    int clipped = static_cast<int>(count);
    int next = 0;
    CZResultSet* set = nullptr;
    const bool legal = IsLegalPresent(name, first, clipped, next, set) == 0;

    CBERNode* response = m_response.NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, Z_PRESENT_RESPONSE);
    if (!referenceId.empty())
        response->NewChildCharNode(kTagReferenceId, BER_CONTEXT, referenceId);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kTagRecordsReturned, legal ? clipped : 0);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kTagNextPosition, legal ? next : 0);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, kTagPresentStatus,
                                  legal ? kPresentSuccess : kPresentFailure);
    if (!legal)
        return true;

    CBERNode* records = response->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, kTagResponseRecords);
    // The rows first, then one record-list read per run of rows of one database.
    struct Row {
        std::string m_dbName;
        CDatabaseNode* m_db;
        int64_t m_number;
    };
    std::vector<Row> rows;
    rows.reserve(static_cast<size_t>(clipped));
    for (int i = 0; i < clipped; ++i) {
        Row row{std::string(), nullptr, 0};
        if (set->GetRow(static_cast<int64_t>(first) + i - 1, row.m_dbName, row.m_number) != 0)
            THROW_EXTENDED(0, "illegal database name");
        row.m_db = GetDatabasePtr(row.m_dbName.c_str());
        if (row.m_db == nullptr)
            THROW_EXTENDED(0, "illegal database name");
        rows.push_back(std::move(row));
    }
    std::vector<std::string> fetched(rows.size());
    std::vector<int64_t> numbers;
    std::vector<std::string> texts;
    for (size_t begin = 0, end = 0; begin < rows.size(); begin = end) {
        numbers.clear();
        for (end = begin; end < rows.size() && rows[end].m_db == rows[begin].m_db &&
                          end - begin < static_cast<size_t>(kStrataMaxBatchRecords);
             ++end)
            numbers.push_back(rows[end].m_number);
        if (numbers.size() < 2)
            continue;
        GetMARCRecords(rows[begin].m_db, numbers, texts);
        for (size_t k = 0; k < texts.size(); ++k)
            fetched[begin + k].swap(texts[k]);
    }

    CByteArray marc;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (m_bStop.load())
            return false;
        const std::string& dbName = rows[i].m_dbName;
        CDatabaseNode* db = rows[i].m_db;
        const int64_t number = rows[i].m_number;

        CBERNode* namePlusRecord = records->NewChildNoContentNode(BER_UNIVERSAL, BER_CONSTRUCTED, 16);
        std::string shownName = m_utf8 ? AnsiToUtf8(dbName) : dbName;
        if (shownName.empty())
            shownName = dbName;
        namePlusRecord->NewChildCharNode(BER_CONTEXT, BER_PRIMITIVE, 0, shownName.data(),
                                         static_cast<int>(shownName.size()));
        if (GetMARC(marc, db, number, m_fullRecords, &fetched[i]) < 1) {
            AddSurrogateDiagnostic(namePlusRecord, "record " + std::to_string(number) + " of " + dbName +
                                                       " cannot be delivered");
            continue;
        }
        CBERNode* record = namePlusRecord->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 1);
        CBERNode* retrieval = record->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 1);
        CBERNode* external = retrieval->NewChildNoContentNode(BER_UNIVERSAL, BER_CONSTRUCTED, 8);
        external->NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, db->m_syntaxOID.c_str());
        external->NewChildCharNode(BER_CONTEXT, BER_PRIMITIVE, 1, reinterpret_cast<char*>(marc.data()),
                                   static_cast<int>(marc.size()));
    }
    return true;
}
