// CTunnel Sort service (bib-1 diagnostics mode only): decodes a sortRequest, orders its input
// set by the requested keys (any use attribute a search key of the set's databases answers)
// through the engine (server/resultsort.h) into the named output set,
// which replaces any set of that name (the input included), and answers with a sortResponse:
// success, partial-1 when some records could not be read (their keys count as missing), or
// failure with the diagnostic and whether the output set is unchanged or none.

#include <memory>
#include <string>
#include <vector>

#include "berkit/bernode_sort.h"
#include "berkit/codepage.h"
#include "server/resultsort.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"

namespace {

constexpr int kDiagNoSuchSet = 30;  // Specified result set does not exist

// The engine's form of a decoded key.
CSortKey ToSortKey(const CZSortKeySpec& spec) {
    CSortKey key;
    key.m_use = spec.m_use;
    key.m_descending = spec.m_descending;
    key.m_caseSensitive = spec.m_caseSensitive;
    key.m_missing = spec.m_missing;
    if (spec.m_missing == CZMissingAction::kValue)
        key.m_missingData = IsValidUtf8(spec.m_missingData) ? spec.m_missingData : AnsiToUtf8(spec.m_missingData);
    return key;
}

}  // namespace

bool CTunnel::ProcessSort(CBERNode* apdu) {
    if (!Bib1Diagnostics())
        return ProcessUnsupported(apdu);  // as every request not served: the association ends
    CZSortRequest request;
    CZSortResponse answer = ServeSort(apdu, request);
    if (m_bStop.load())
        return false;
    if (answer.m_status == Z_SORT_FAILURE)
        answer.m_resultSetStatus =
            m_resultSets.Find(request.m_outputSet) != nullptr ? Z_SORT_SET_UNCHANGED : Z_SORT_SET_NONE;
    BuildSortResponse(m_response, request.m_referenceId, answer);
    return true;
}

CZSortResponse CTunnel::ServeSort(CBERNode* apdu, CZSortRequest& request) {
    if (const CZSortProblem problem = DecodeSortRequest(apdu, m_utf8, request))
        return {Z_SORT_FAILURE, 0, problem.m_code, problem.m_addinfo};
    std::vector<CSortKey> keys;
    for (const CZSortKeySpec& spec : request.m_keys)
        keys.push_back(ToSortKey(spec));
    CZResultSet* input = m_resultSets.Find(request.m_inputSets[0]);
    if (input == nullptr)
        return {Z_SORT_FAILURE, 0, kDiagNoSuchSet, request.m_inputSets[0]};

    auto output = std::make_unique<CZResultSet>();
    output->m_name = request.m_outputSet;
    m_catalogue.Bind(m_owner ? &m_owner->m_databases : nullptr, Settings().m_forbidDatabase);
    const CChannelAccess channel = ChannelAccess();
    CResultSorter sorter(channel, m_catalogue, &m_bStop);
    int64_t unread = 0;
    if (const CDiagnostic error = sorter.Sort(*input, keys, *output, unread)) {
        LogInfo("%s", error.m_message.c_str());
        return {Z_SORT_FAILURE, 0, error.m_code, error.m_addinfo};
    }
    DeleteSameNameResultSet(request.m_outputSet);  // the input too, when it has the output's name
    m_resultSets.Add(std::move(output));
    if (unread > 0)
        return {Z_SORT_PARTIAL, 0, kDiagTemporarySystemError, std::to_string(unread) + " records could not be read"};
    return {};
}
