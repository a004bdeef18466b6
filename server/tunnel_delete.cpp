// CTunnel Delete result set service (bib-1 diagnostics mode only; otherwise the request is
// unsupported, as before): deletes the listed sets, or all of them, from the session's stored
// sets and answers with a status per set. A request that is not a well-formed delete gets a
// Close (protocolError), as any request the server cannot read.

#include <string>

#include "berkit/bernode_delset.h"
#include "server/tunnel.h"

bool CTunnel::ProcessDeleteResultSet(CBERNode* apdu) {
    if (!Bib1Diagnostics())
        return ProcessUnsupported(apdu);  // throws: the association ends as it always did
    CZDeleteRequest request;
    std::string malformed;
    if (!DecodeDeleteRequest(apdu, m_utf8, request, malformed)) {
        LogInfo("malformed deleteResultSetRequest: %s", malformed.c_str());
        return ProcessUnsupported(apdu);
    }
    CZDeleteResponse answer;
    if (request.m_function == Z_DELETE_ALL) {
        answer.m_bulk = true;
        for (const std::string& name : m_resultSets.Names())
            answer.m_sets.emplace_back(name, Z_DELETE_SUCCESS);
        m_resultSets.Clear();
    } else {
        for (const std::string& name : request.m_names) {
            const bool found = m_resultSets.Find(name) != nullptr;
            m_resultSets.Remove(name);
            answer.m_sets.emplace_back(name, found ? Z_DELETE_SUCCESS : Z_DELETE_NO_SUCH_SET);
            if (!found)
                answer.m_status = request.m_names.size() == 1 ? Z_DELETE_NO_SUCH_SET : Z_DELETE_NOT_ALL_DELETED;
        }
    }
    BuildDeleteResponse(m_response, request.m_referenceId, answer);
    return true;
}
