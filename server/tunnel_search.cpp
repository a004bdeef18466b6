// CTunnel Search service: evaluates a searchRequest's type-1 query into a new result set, stores
// the set under its name (at most kMaxResultSets per session) and answers with a searchResponse
// that echoes the referenceId (and, in the bib-1 diagnostics mode, says why a search failed).
// Also the bookkeeping of the session's stored result sets.

#include <memory>
#include <string>

#include "berkit/bernode_apdu.h"
#include "server/dbarray.h"
#include "server/tunnel.h"
#include "server/tunnel_sets.h"
#include "server/tunnelarray.h"
#include "server/zrecordset.h"

namespace {

// A session holds at most this many result sets; the oldest goes first.
constexpr size_t kMaxResultSets = 21;

}  // namespace

void CTunnel::DeleteSameNameResultSet(const std::string& name) {
    size_t kept = 0;
    for (CZResultSet* set : m_resultSets) {
        if (set != nullptr && DBNameEquals(set->m_name, name)) {
            delete set;
            continue;
        }
        m_resultSets[kept++] = set;
    }
    m_resultSets.resize(kept);
}

int CTunnel::LimitRecordCountInResultSet(CZResultSet* set) {
    if (set == nullptr || m_owner == nullptr || Settings().m_maxResultSetSize < 1)
        return -1;
    return static_cast<int>(set->GetRowCount());
}

bool CTunnel::ProcessSearch(CBERNode* apdu) {
    CZSearchRequest request;
    DecodeSearchRequest(apdu, m_utf8, request);
    if (request.m_hasDatabaseNames)
        m_databaseNames = request.m_databaseNames;
    if (request.m_rpn == nullptr)
        THROW_EXTENDED(0, "no query item");
    ClearDiagnostic();
    if (!IsLegalDatabase()) {
        if (!Bib1Diagnostics())
            THROW_EXTENDED(0, "illegal database name");
        SetDiagnostic(kDiagDatabaseUnavailable, FirstUnknownDatabase());
    }
    int resultCount = 0;
    const bool succeeded = m_diagCode == 0 && ServeSearch(request, resultCount);
    if (m_bStop.load())
        return false;
    CBERNode* response =
        BuildSearchResponse(m_response, request.m_referenceId, resultCount, resultCount > 0 ? 1 : 0, succeeded);
    if (!succeeded && Bib1Diagnostics()) {
        if (m_diagCode == 0)
            SetDiagnostic(kDiagTemporarySystemError, m_lastBackendError.empty() ? "search failed" : m_lastBackendError);
        AddBib1Diagnostic(response, BER_CONTEXT, kZTagNonSurrogateDiagnostic, m_diagCode, m_diagInfo);
    }
    return true;
}

bool CTunnel::ServeSearch(const CZSearchRequest& request, int& resultCount) {
    auto result = std::make_unique<CZResultSet>();
    if (result->Create(nullptr) != 0)
        THROW_EXTENDED(0, " 'new' resultset failed, inner error or illegal db");
    result->m_name = request.m_resultSetName;
    m_lastBackendError.clear();
    try {
        SearchDB(request.m_rpn, result.get());
    } catch (extended_exception& e) {
        LogInfo("%s", e.GetErrorMessage());
        if (m_diagCode == 0)
            SetDiagnostic(kDiagTemporarySystemError, e.m_strMessage);
        return false;  // the set and its data file go with `result`
    } catch (...) {
        LogInfo("search db error");
        return false;
    }
    if (m_bStop.load())
        return false;
    DeleteSameNameResultSet(request.m_resultSetName);
    SortResultSet(*result);
    resultCount = static_cast<int>(result->GetRowCount());
    if (m_owner)
        m_owner->m_metrics.CountHits(resultCount);
    if (resultCount > 0) {
        LimitRecordCountInResultSet(result.get());
        if (m_resultSets.size() >= kMaxResultSets && m_resultSets.front() != nullptr) {
            delete m_resultSets.front();
            m_resultSets.erase(m_resultSets.begin());
        }
        result->EnsureIndexed();
        m_resultSets.push_back(result.release());
    }
    return true;
}
