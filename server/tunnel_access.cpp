// CTunnel: the access-log line of each answered request (see LogAccess in tunnel.h).

#include "berkit/bernode_apdu.h"
#include "berkit/bernode_values.h"
#include "berkit/bernode_z3950.h"
#include "server/accesslog.h"
#include "server/querytext.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"

namespace {

const char* const kOperationNames[] = {"init", "search", "present", "es", "close", "scan", "sort", "delete"};
static_assert(std::size(kOperationNames) == CServerMetrics::kServices);

// The integer of the response's child `tag`, or -1.
long ResponseInteger(const CBERNode* response, unsigned tag) {
    for (const CBERNode* child : response->m_arrChildren) {
        long value = -1;
        if (child && child->m_uTag == tag && DecodeInteger(child->m_baContent, value))
            return value;
    }
    return -1;
}

bool HasDiagnostic(const CBERNode* response) {
    for (const CBERNode* child : response->m_arrChildren)
        if (child && child->m_uTag == kZTagNonSurrogateDiagnostic)
            return true;
    return false;
}

}  // namespace

void CTunnel::LogAccess(const CTunnelService* service, CBERNode* apdu, std::chrono::steady_clock::time_point begun) {
    if (!m_owner || !Settings().m_accessLog)
        return;
    CAccessRecord r;
    r.m_sessionId = GetId();
    r.m_address = m_address;
    r.m_user = GetUserId();
    const size_t metric = service ? static_cast<size_t>(service->m_metric) : CServerMetrics::kServices;
    r.m_operation = metric < CServerMetrics::kServices ? kOperationNames[metric] : "unsupported";
    for (const std::string& name : m_databaseNames)
        r.m_databases += (r.m_databases.empty() ? "" : ",") + name;
    const CBERNode* response = m_response.m_arrChildren.empty() ? nullptr : m_response.m_arrChildren[0];
    if (metric == static_cast<size_t>(CMetricService::kSearch)) {
        CZSearchRequest request;
        DecodeSearchRequest(apdu, m_utf8, request);
        r.m_query = QueryToPqf(request.m_rpn, m_utf8);
        if (response)
            r.m_count = ResponseInteger(response, kZTagResultCount);
    } else if (metric == static_cast<size_t>(CMetricService::kPresent) && response) {
        r.m_count = ResponseInteger(response, kZTagRecordsReturned);
    } else if (response && response->m_uTag == static_cast<unsigned>(Z_SCAN_RESPONSE)) {
        r.m_count = ResponseInteger(response, kZTagScanEntriesReturned);
    }
    if (metric == static_cast<size_t>(CMetricService::kInit))
        r.m_status = m_initialized ? "ok" : "refused";
    else if (response && (HasDiagnostic(response) || (response->m_uTag == static_cast<unsigned>(Z_SCAN_RESPONSE) &&
                                                        ResponseInteger(response, kZTagScanStatus) == Z_SCAN_FAILURE)))
        r.m_status = "diagnostic";
    else if (metric == static_cast<size_t>(CMetricService::kPresent) && response)
        r.m_status = ResponseInteger(response, kZTagPresentStatus) == Z_PRESENT_SUCCESS ? "ok" : "failed";
    else
        r.m_status = "ok";
    r.m_milliseconds = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begun).count();
    if (!m_owner->m_accessLog.Write(r, time(nullptr)))
        m_owner->m_metrics.CountAccessLogDropped();
}
