// CTunnel Present service: finds the named result set, clips the requested range (at most
// kMaxPresentRecords), fetches the records through the session's channel (each run of rows of one
// database with one record-list call, and any record that call did not deliver with its own
// record path), reduces each to its brief form unless full records were asked for by an
// authenticated session, converts it to ISO 2709 and answers with a presentResponse of
// NamePlusRecords. A record that cannot be delivered is answered with a surrogate diagnostic in
// its place. In the bib-1 diagnostics mode a failed Present says why (nonSurrogateDiagnostic).

#include <string>
#include <vector>

#include "berkit/bernode_apdu.h"
#include "berkit/codepage.h"
#include "server/dbarray.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"
#include "server/zrecordset.h"

namespace {

// Records sent by one Present at most, whatever was requested.
constexpr int kMaxPresentRecords = 40;
// bib-1: Present request out-of-range; Specified result set does not exist.
constexpr int kDiagOutOfRange = 13;
constexpr int kDiagNoSuchSet = 30;

}  // namespace

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
    CZPresentRequest request;
    DecodePresentRequest(apdu, m_utf8, request);
    m_fullRecords = request.m_fullRecords && m_authenticated;
    ClearDiagnostic();

    int first = static_cast<int>(request.m_start);
    int clipped = static_cast<int>(request.m_count);
    int next = 0;
    CZResultSet* set = nullptr;
    std::vector<PresentRow> rows;
    bool legal = IsLegalPresent(request.m_resultSetId, first, clipped, next, set) == 0;
    if (!legal)
        SetDiagnostic(set == nullptr ? kDiagNoSuchSet : kDiagOutOfRange, request.m_resultSetId);
    else
        legal = PresentRows(set, first, clipped, request.m_recordSyntax, rows);

    CBERNode* response = BuildPresentResponse(m_response, request.m_referenceId, legal ? clipped : 0,
                                              legal ? next : 0, legal ? Z_PRESENT_SUCCESS : Z_PRESENT_FAILURE);
    if (!legal) {
        if (Bib1Diagnostics())
            AddBib1Diagnostic(response, BER_CONTEXT, kZTagNonSurrogateDiagnostic, m_diagCode, m_diagInfo);
        return true;
    }
    return ServePresent(AddResponseRecords(response), rows);
}

bool CTunnel::PresentRows(CZResultSet* set, int first, int count, const std::string& syntax,
                          std::vector<PresentRow>& rows) {
    rows.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        PresentRow row{std::string(), nullptr, 0};
        if (set->GetRow(static_cast<int64_t>(first) + i - 1, row.m_dbName, row.m_number) != 0)
            THROW_EXTENDED(0, "illegal database name");
        row.m_db = GetDatabasePtr(row.m_dbName.c_str());
        if (row.m_db == nullptr)
            THROW_EXTENDED(0, "illegal database name");
        if (Bib1Diagnostics() && !syntax.empty() && syntax != row.m_db->m_syntaxOID) {
            SetDiagnostic(kDiagSyntaxUnavailable, syntax);
            return false;
        }
        rows.push_back(std::move(row));
    }
    return true;
}

bool CTunnel::ServePresent(CBERNode* records, const std::vector<PresentRow>& rows) {
    // One record-list read per run of rows of one database, then each record in order.
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
        const PresentRow& row = rows[i];
        std::string shownName = m_utf8 ? AnsiToUtf8(row.m_dbName) : row.m_dbName;
        if (shownName.empty())
            shownName = row.m_dbName;
        if (GetMARC(marc, row.m_db, row.m_number, m_fullRecords, &fetched[i]) < 1)
            AddSurrogateDiagnostic(records, shownName, kDiagPresentError,
                                   "record " + std::to_string(row.m_number) + " of " + row.m_dbName +
                                       " cannot be delivered");
        else
            AddRetrievalRecord(records, shownName, row.m_db->m_syntaxOID, marc);
    }
    return true;
}
