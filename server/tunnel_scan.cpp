// CTunnel Scan service (bib-1 diagnostics mode only; otherwise the request is unsupported, as
// before): reads the scanRequest strictly, checks what this server can answer (stepSize 0, a
// position within the list asked for, at most kScanMaxTerms terms), reads the term list through
// the engine (server/scanindex.h) and answers with the terms in the session's character set.

#include <string>

#include "berkit/bernode_scan.h"
#include "berkit/codepage.h"
#include "server/scanindex.h"
#include "server/tunnel.h"

namespace {

constexpr long kScanMaxTerms = 1000;
constexpr long kUseAttribute = 1;

// The request's problem as a diagnostic; Ok when it can be answered.
CDiagnostic CheckScan(const CZScanRequest& request) {
    if (request.m_stepSize != 0)
        return {kDiagScanStepSize, std::to_string(request.m_stepSize), "scan step size not 0"};
    if (request.m_termsRequested < 0)
        return {kDiagScanMalformed, "numberOfTermsRequested", "negative number of scan terms"};
    if (request.m_termsRequested > kScanMaxTerms)
        return {kDiagScanTooManyTerms, std::to_string(kScanMaxTerms), "too many scan terms"};
    if (request.m_preferredPosition < 1 || request.m_preferredPosition > request.m_termsRequested + 1)
        return {kDiagScanPosition, std::to_string(request.m_preferredPosition), "scan position out of the list"};
    return CDiagnostic::Ok();
}

}  // namespace

bool CTunnel::ProcessScan(CBERNode* apdu) {
    if (!Bib1Diagnostics())
        return ProcessUnsupported(apdu);  // throws: the association ends as it always did
    CZScanRequest request;
    std::string malformed;
    CDiagnostic error;
    if (!DecodeScanRequest(apdu, m_utf8, request, malformed))
        error = {kDiagScanMalformed, malformed, "malformed scan: " + malformed};
    else
        error = CheckScan(request);
    CZScanResponse response;
    if (!error)
        error = ServeScan(request, response);
    if (m_bStop.load())
        return false;
    if (error) {
        LogInfo("%s", error.m_message.c_str());
        BuildScanFailure(m_response, request.m_referenceId, error.m_code, error.m_addinfo);
    } else {
        BuildScanResponse(m_response, request.m_referenceId, response);
    }
    return true;
}

CDiagnostic CTunnel::ServeScan(const CZScanRequest& request, CZScanResponse& response) {
    int use = Settings().m_defaultUseAttribute;
    for (const auto& [type, value] : request.m_attributes)
        if (type == kUseAttribute) {
            use = static_cast<int>(value);
            break;
        }
    CSearchContext context = SearchContext();
    context.m_databases = request.m_databaseNames;
    const size_t before = static_cast<size_t>(request.m_preferredPosition - 1);
    const size_t wanted = static_cast<size_t>(request.m_termsRequested);
    const size_t after = wanted > before ? wanted - before : 0;
    CScanTerms terms;
    if (CDiagnostic error = ScanIndex(context, use, SessionTerm(request.m_term), before, after, terms))
        return error;
    // Terms leave in the session's character set; one the ANSI code page cannot hold is left out.
    auto add = [&](const StrataTermCount& term) {
        std::string text = m_utf8 ? term.m_term : Utf8ToAnsi(term.m_term);
        if (!text.empty())
            response.m_entries.push_back({std::move(text), term.m_count});
    };
    for (const StrataTermCount& term : terms.m_before)
        add(term);
    response.m_positionOfTerm = static_cast<int>(response.m_entries.size()) + 1;
    for (const StrataTermCount& term : terms.m_after)
        add(term);
    response.m_status = response.m_entries.size() < wanted ? Z_SCAN_PARTIAL_LIST_END : Z_SCAN_SUCCESS;
    return CDiagnostic::Ok();
}
