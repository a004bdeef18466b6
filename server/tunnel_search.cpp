// CTunnel Search service: evaluates a searchRequest's type-1 query (through the engine,
// server/evaluator.h) into a new result set, stores the set under its name (at most
// CResultSetStore::kMaxSets per session) and answers with a searchResponse that echoes the
// referenceId (and, in the bib-1 diagnostics mode, says why a search failed).

#include <memory>
#include <string>

#include "berkit/bernode_apdu.h"
#include "server/evaluator.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"

void CTunnel::DeleteSameNameResultSet(const std::string& name) {
    m_resultSets.Remove(name);
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
    CDiagnostic error;
    if (!IsLegalDatabase()) {
        if (!Bib1Diagnostics())
            THROW_EXTENDED(0, "illegal database name");
        error = {kDiagDatabaseUnavailable, FirstUnknownDatabase(), "illegal database name"};
    }
    int resultCount = 0;
    if (!error)
        error = ServeSearch(request, resultCount);
    if (m_bStop.load())
        return false;
    const bool succeeded = !error;
    if (succeeded && Bib1Diagnostics() && resultCount > 0)
        return ServePiggyback(request, resultCount);
    CBERNode* response =
        BuildSearchResponse(m_response, request.m_referenceId, resultCount, resultCount > 0 ? 1 : 0, succeeded);
    if (!succeeded && Bib1Diagnostics())
        AddBib1Diagnostic(response, BER_CONTEXT, kZTagNonSurrogateDiagnostic, error.m_code, error.m_addinfo);
    return true;
}

CDiagnostic CTunnel::ServeSearch(const CZSearchRequest& request, int& resultCount) {
    auto result = std::make_unique<CZResultSet>();
    if (result->Create(nullptr) != 0)
        THROW_EXTENDED(0, " 'new' resultset failed, inner error or illegal db");
    result->m_name = request.m_resultSetName;
    const std::unique_ptr<CZQueryNode> query = DecodeSessionQuery(request.m_rpn);
    const CSearchContext context = SearchContext();
    CQueryEvaluator evaluator(context);
    if (CDiagnostic error = evaluator.Evaluate(query.get(), *result)) {
        LogInfo("%s", error.m_message.c_str());
        return error;  // the set and its data file go with `result`
    }
    if (m_bStop.load())
        return CDiagnostic::System("search stopped");
    DeleteSameNameResultSet(request.m_resultSetName);
    SortResultSet(*result);
    resultCount = static_cast<int>(result->GetRowCount());
    if (m_owner)
        m_owner->m_metrics.CountHits(resultCount);
    if (resultCount > 0) {
        LimitRecordCountInResultSet(result.get());
        result->EnsureIndexed();
        m_resultSets.Add(std::move(result));
    }
    return CDiagnostic::Ok();
}
