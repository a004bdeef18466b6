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
#include "server/recordsyntax.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"
#include "server/zrecordset.h"

namespace {

// Records sent by one Present at most, whatever was requested.
constexpr int kMaxPresentRecords = 40;
// bib-1: Present request out-of-range; Specified result set does not exist.
constexpr int kDiagOutOfRange = 13;
constexpr int kDiagNoSuchSet = 30;
// bib-1: Specified element set name not valid for specified database.
constexpr int kDiagBadElementSet = 25;

// Full ("F") and brief ("B") records, or none named (brief).
bool IsServedElementSet(const std::string& name) {
    return name.empty() || name == "F" || name == "f" || name == "B" || name == "b";
}

}  // namespace

int CTunnel::IsLegalPresent(const std::string& name, int& start, int& count, int& next, CZResultSet*& set) {
    set = m_resultSets.Find(name);
    if (set == nullptr)
        set = m_resultSets.Oldest();
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

    int first = static_cast<int>(request.m_start);
    int clipped = static_cast<int>(request.m_count);
    int next = 0;
    CZResultSet* set = nullptr;
    std::vector<CRecordRow> rows;
    CDiagnostic error;
    if (Bib1Diagnostics() && !IsServedElementSet(request.m_elementSetName))
        error = {kDiagBadElementSet, request.m_elementSetName, "element set name not served"};
    else if (IsLegalPresent(request.m_resultSetId, first, clipped, next, set) != 0)
        error = {set == nullptr ? kDiagNoSuchSet : kDiagOutOfRange, request.m_resultSetId, "illegal present"};
    else
        error = PresentRows(set, first, clipped, request.m_recordSyntax, rows);

    const bool legal = !error;
    CBERNode* response = BuildPresentResponse(m_response, request.m_referenceId, legal ? clipped : 0,
                                              legal ? next : 0, legal ? Z_PRESENT_SUCCESS : Z_PRESENT_FAILURE);
    if (!legal) {
        if (Bib1Diagnostics())
            AddBib1Diagnostic(response, BER_CONTEXT, kZTagNonSurrogateDiagnostic, error.m_code, error.m_addinfo);
        return true;
    }
    return ServePresent(AddResponseRecords(response), rows, request.m_recordSyntax);
}

CDiagnostic CTunnel::PresentRows(CZResultSet* set, int first, int count, const std::string& syntax,
                                 std::vector<CRecordRow>& rows) {
    rows.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        CRecordRow row;
        if (set->GetRow(static_cast<int64_t>(first) + i - 1, row.m_dbName, row.m_number) != 0)
            THROW_EXTENDED(0, "illegal database name");
        row.m_db = GetDatabasePtr(row.m_dbName.c_str());
        if (row.m_db == nullptr)
            THROW_EXTENDED(0, "illegal database name");
        if (Bib1Diagnostics() && !syntax.empty() && !ServesRecordSyntax(*row.m_db, syntax))
            return {kDiagSyntaxUnavailable, syntax, "record syntax unavailable"};
        rows.push_back(std::move(row));
    }
    return CDiagnostic::Ok();
}

bool CTunnel::ServePresent(CBERNode* records, const std::vector<CRecordRow>& rows, const std::string& syntax) {
    const CChannelAccess channel = ChannelAccess();
    CRecordService service(channel, RecordForm(m_fullRecords, syntax));
    std::vector<CRecordResult> results = service.Fetch(rows, &m_bStop);
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i >= results.size() || m_bStop.load())
            return false;
        const CRecordRow& row = rows[i];
        std::string shownName = m_utf8 ? AnsiToUtf8(row.m_dbName) : row.m_dbName;
        if (shownName.empty())
            shownName = row.m_dbName;
        const CDiagnostic& error = results[i].m_error;
        if (error) {
            LogInfo("%s", error.m_message.c_str());
            AddSurrogateDiagnostic(records, shownName, error.m_code,
                                   error.m_code == kDiagPresentError ? "record " + std::to_string(row.m_number) +
                                                                           " of " + row.m_dbName + " cannot be delivered"
                                                                     : error.m_addinfo);
        } else {
            AddRetrievalRecord(records, shownName, results[i].m_syntax, results[i].m_octets);
        }
    }
    return true;
}
