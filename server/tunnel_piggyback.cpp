// CTunnel piggy-backed records: a searchResponse that carries the first records of the set it
// made, as the request's small-set and medium-set parameters ask (bib-1 diagnostics mode). The
// records go the way a Present's go (IsLegalPresent's limits, PresentRows, ServePresent).

#include <string>
#include <vector>

#include "berkit/bernode_apdu.h"
#include "server/tunnel.h"

bool CTunnel::ServePiggyback(const CZSearchRequest& request, int resultCount) {
    int wanted = 0;
    bool full = false;
    if (resultCount <= request.m_smallSetUpperBound) {
        wanted = resultCount;
        full = request.m_smallSetFull;
    } else if (resultCount < request.m_largeSetLowerBound) {
        wanted = static_cast<int>(request.m_mediumSetPresentNumber);
        full = request.m_mediumSetFull;
    }
    int first = 1;
    int count = wanted;
    int next = 0;
    CZResultSet* set = nullptr;
    std::vector<CRecordRow> rows;
    CDiagnostic error;
    if (wanted > 0 && IsLegalPresent(request.m_resultSetName, first, count, next, set) == 0)
        error = PresentRows(set, first, count, request.m_recordSyntax, rows);
    if (error)
        rows.clear();
    CBERNode* response = BuildSearchResponse(m_response, request.m_referenceId, resultCount,
                                             rows.empty() ? 1 : (next > 0 ? next : resultCount + 1), true,
                                             static_cast<int>(rows.size()), error ? Z_PRESENT_FAILURE : 0);
    if (error) {
        AddBib1Diagnostic(response, BER_CONTEXT, kZTagNonSurrogateDiagnostic, error.m_code, error.m_addinfo);
        return true;
    }
    if (rows.empty())
        return true;
    m_fullRecords = full && m_authenticated;
    return ServePresent(AddResponseRecords(response), rows, request.m_recordSyntax);
}
