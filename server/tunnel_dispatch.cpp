// CTunnel dispatch: one request in, decoded, served by the service its tag names, answered.

#include <chrono>

#include "berkit/bernode_pktfile.h"
#include "berkit/bertrace.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"

// Every request the session serves, its response, service, counter and packet-log labels. Scan,
// Sort and Delete result set are answered only in the bib-1 diagnostics mode; without it they are
// unsupported (no label: no packet-log file, as for any unsupported request).
const CTunnelService CTunnel::kServices[] = {
    {Z_INIT_REQUEST, Z_INIT_RESPONSE, &CTunnel::ProcessInit, CMetricService::kInit, "initreq", "initres"},
    {Z_SEARCH_REQUEST, Z_SEARCH_RESPONSE, &CTunnel::ProcessSearch, CMetricService::kSearch, "srchreq", "srchres"},
    {Z_PRESENT_REQUEST, Z_PRESENT_RESPONSE, &CTunnel::ProcessPresent, CMetricService::kPresent, "prstreq",
     "prstres"},
    {Z_EXTSERVICES_REQUEST, Z_EXTSERVICES_RESPONSE, &CTunnel::ProcessExtServices, CMetricService::kEs, "extsreq",
     "extsres"},
    {Z_CLOSE, Z_CLOSE, &CTunnel::ProcessClose, CMetricService::kClose, "closreq", "closres"},
    {Z_SCAN_REQUEST, Z_SCAN_RESPONSE, &CTunnel::ProcessScan, CMetricService::kScan, nullptr, nullptr},
    {Z_DELETE_RESULT_SET_REQUEST, Z_DELETE_RESULT_SET_RESPONSE, &CTunnel::ProcessDeleteResultSet,
     CMetricService::kDelete, nullptr, nullptr},
    {Z_SORT_REQUEST, Z_SORT_RESPONSE, &CTunnel::ProcessSort, CMetricService::kSort, nullptr, nullptr},
};

const CTunnelService* CTunnel::FindService(int tag, bool response) {
    for (const CTunnelService& service : kServices)
        if ((response ? service.m_response : service.m_request) == tag)
            return &service;
    return nullptr;
}

CBERNode* CTunnel::DecodeRequest() {
    const bool dumps = LogPackets();
    if (m_apduTag > Z_PRESENT_REQUEST && dumps)
        DumpBytes((HomeDir() + "_exRequest.bin").c_str(), reinterpret_cast<char*>(m_recvBuffer.data()),
                  m_received, false);
    const int used = DecodeBER(&m_request, m_recvBuffer.data(), m_received);
    if (used < 0)
        THROW_EXTENDED(0, "decode error");
    if (used < m_received)
        BerTrace("in init, have surplus info afer init request\r\n");
    if (m_request.m_arrChildren.empty() || m_request.m_arrChildren[0] == nullptr)
        THROW_EXTENDED(0, "error decode");
    CBERNode* apdu = m_request.m_arrChildren[0];
    m_apduTag = static_cast<int>(apdu->m_uTag);
    if (m_apduTag == Z_EXTSERVICES_REQUEST && dumps)
        DumpBytes((HomeDir() + "exRequest.bin").c_str(), reinterpret_cast<char*>(m_recvBuffer.data()),
                  m_received, false);
    return apdu;
}

void CTunnel::ServiceHandler() {
    TakeSettingsSnapshot();
    if (m_http) {
        ServeHttp();
        return;
    }
    if (DataRecv() < 1)
        return;
    if (m_http) {  // the first octets were an HTTP request line
        FeedHttp(m_recvBuffer.data(), static_cast<size_t>(m_received));
        return;
    }
    const auto begun = std::chrono::steady_clock::now();
    ++m_requestCount;
    if (m_owner)
        m_owner->UpdateDisp(this, -1);
    m_request.ClearArray();
    m_catalogue.Clear();
    CBERNode* apdu = DecodeRequest();
    LogBerRequest();
    m_response.ClearArray();

    const CTunnelService* service = FindService(m_apduTag, false);
    if (service == nullptr || (!m_initialized && m_apduTag != Z_INIT_REQUEST))
        service = nullptr;  // before an Init only an Init is served
    if (service != nullptr && service->m_serve != &CTunnel::ProcessUnsupported) {
        const int requestTag = m_apduTag;
        if (!(this->*service->m_serve)(apdu))
            THROW_EXTENDED(0, "process request error");
        if (m_apduTag == requestTag)  // a service may have answered with a Close instead
            m_apduTag = service->m_response;
    } else {
        ProcessUnsupported(apdu);  // throws unless the diagnostics mode answers it
    }

    m_response.EncodeBER(m_sendBuffer);
    LogBerResponse();
    if (DataSend() < 1)
        return;
    if (m_owner && service != nullptr && service->m_metric != CMetricService::kCount)
        m_owner->m_metrics.CountRequest(
            service->m_metric, std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count());
    LogAccess(service, apdu, begun);
    if (!m_initialized || m_apduTag == Z_CLOSE)
        Close();
    m_lastActive = time(nullptr);
}
