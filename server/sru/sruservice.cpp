// CSruService: one HTTP request decoded by libyaz into an SRU request, the version settled, the
// operation served, the response encoded by libyaz (SOAP for SOAP requests, plain SRU otherwise).
#include "server/sru/sruservice.h"

#include <yaz/odr.h>
#include <yaz/srw.h>
#include <yaz/zgdu.h>

#include <cstring>
#include <memory>

#include "server/sru/sru_ops.h"

namespace {

struct OdrDeleter {
    void operator()(odr* o) const { odr_destroy(o); }
};
using OdrPtr = std::unique_ptr<odr, OdrDeleter>;

Z_SOAP_Handler kSoapHandlers[] = {
    {const_cast<char*>(YAZ_XMLNS_SRU_v1_1), nullptr, reinterpret_cast<Z_SOAP_fun>(yaz_srw_codec)},
    {const_cast<char*>(YAZ_XMLNS_SRU_v2_mask), nullptr, reinterpret_cast<Z_SOAP_fun>(yaz_srw_codec)},
    {nullptr, nullptr, nullptr},
};

Z_HTTP_Request* ToYaz(ODR o, const CHttpRequest& request) {
    Z_HTTP_Request* http = z_get_HTTP_Request(o)->u.HTTP_Request;
    http->method = odr_strdup(o, request.m_method.c_str());
    http->version = odr_strdup(o, request.m_minorVersion == 0 ? "1.0" : "1.1");
    http->path = odr_strdup(o, request.m_target.c_str());
    http->headers = nullptr;
    for (const auto& [name, value] : request.m_headers)
        z_HTTP_header_add(o, &http->headers, name.c_str(), value.c_str());
    http->content_len = static_cast<int>(request.m_body.size());
    http->content_buf = static_cast<char*>(odr_malloc(o, request.m_body.size() + 1));
    memcpy(http->content_buf, request.m_body.data(), request.m_body.size());
    http->content_buf[request.m_body.size()] = '\0';
    return http;
}

// The request's SRU parameters as "name=value" (query string of a GET, body of a form POST).
std::vector<std::string> Parameters(const CHttpRequest& request) {
    std::string text;
    if (request.m_method == "POST") {
        text = request.m_body;
    } else {
        const size_t q = request.m_target.find('?');
        if (q != std::string::npos)
            text = request.m_target.substr(q + 1);
    }
    std::vector<std::string> names;
    for (size_t from = 0; from < text.size();) {
        size_t end = text.find('&', from);
        if (end == std::string::npos)
            end = text.size();
        names.push_back(text.substr(from, end - from));
        from = end + 1;
    }
    return names;
}

bool Has(const std::vector<std::string>& parameters, const char* name) {
    const size_t length = strlen(name);
    for (const std::string& p : parameters)
        if (p.compare(0, length, name) == 0 && (p.size() == length || p[length] == '='))
            return true;
    return false;
}

// libyaz refuses resultSetTTL in a GET or form POST (diagnostic 8) and leaves it out of the
// request: the value is read here, digits only (longer ones are capped later anyway).
void ReadResultSetTtl(ODR o, const std::vector<std::string>& parameters, Z_SRW_searchRetrieveRequest& request) {
    static const std::string kName = "resultSetTTL=";
    for (const std::string& p : parameters) {
        if (p.compare(0, kName.size(), kName) != 0)
            continue;
        const std::string value = p.substr(kName.size(), 9);
        if (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos)
            request.resultSetTTL = odr_intdup(o, std::stoi(value));
    }
}

// The version to answer in: the one asked for (1.1, 1.2 or 2.0); without one, 2.0 for a request
// with 2.0 parameters and 1.2 otherwise. Empty for a version the server does not speak.
std::string SettleVersion(const char* asked, bool given, const std::vector<std::string>& names) {
    if (!given)
        return Has(names, "queryType") || Has(names, "recordXMLEscaping") ? "2.0" : "1.2";
    const std::string v = asked ? asked : "";
    if (v == "1.1" || v == "1.2" || v == "2.0")
        return v;
    return std::string();
}

// Drops the diagnostics libyaz gives for a missing version (the server settles it) and for
// resultSetTTL (read by ReadResultSetTtl), and counts the rest.
void FilterDecodeDiagnostics(Z_SRW_diagnostic* list, int& count) {
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        const char* details = list[i].details;
        const bool versionNote = list[i].uri != nullptr && details != nullptr && strcmp(details, "version") == 0 &&
                                 strstr(list[i].uri, "/7") != nullptr;
        const bool ttlNote = list[i].uri != nullptr && details != nullptr && strcmp(details, "resultSetTTL") == 0 &&
                             strstr(list[i].uri, "/8") != nullptr;
        if (!versionNote && !ttlNote)
            list[kept++] = list[i];
    }
    count = kept;
}

CSruAnswer PlainError(int status, const std::string& text, const std::string& extra = std::string()) {
    CSruAnswer answer;
    answer.m_status = status;
    answer.m_contentType = "text/plain; charset=UTF-8";
    answer.m_body = text + "\n";
    answer.m_headers = extra;
    return answer;
}

}  // namespace

CSruAnswer CSruService::Serve(const CHttpRequest& request) {
    if (request.m_method != "GET" && request.m_method != "POST")
        return PlainError(405, "only GET and POST are served", "Allow: GET, POST\r\n");
    OdrPtr decode(odr_createmem(ODR_DECODE));
    OdrPtr encode(odr_createmem(ODR_ENCODE));
    Z_HTTP_Request* http = ToYaz(decode.get(), request);
    Z_SRW_PDU* pdu = nullptr;
    Z_SOAP* soap = nullptr;
    char* charset = nullptr;
    Z_SRW_diagnostic* diagnostics = nullptr;
    int diagnosticCount = 0;
    int decoded = yaz_srw_decode(http, &pdu, &soap, decode.get(), &charset);
    const bool isSoap = decoded != 2;
    if (decoded == 2)
        decoded = yaz_sru_decode(http, &pdu, &soap, decode.get(), &charset, &diagnostics, &diagnosticCount);
    if (decoded != 0 || pdu == nullptr || soap == nullptr)
        return PlainError(400, "not an SRU request (GET, form POST or SOAP)");
    FilterDecodeDiagnostics(diagnostics, diagnosticCount);

    const std::vector<std::string> names = isSoap ? std::vector<std::string>() : Parameters(request);
    std::string version = SettleVersion(pdu->srw_version, isSoap || Has(names, "version"), names);
    CSruDiagnostic versionError;
    if (version.empty()) {
        versionError = {kSruUnsupportedVersion, "2.0"};
        version = "2.0";
    }
    pdu->srw_version = odr_strdup(decode.get(), version.c_str());

    CSruAnswer answer;
    Z_SRW_PDU* reply = nullptr;
    const CSruDiagnostic refusal = versionError ? versionError : CSruDiagnostic{m_env.m_authError, ""};
    // Serves the operation unless the request is refused (version, credentials) or, for a search
    // or scan, the decoder found a fault in it; the decoder's diagnostics follow.
    auto respond = [&](auto& response, bool needsCleanRequest, auto serve) {
        if (refusal)
            SruAddDiagnostic(encode.get(), &response.diagnostics, &response.num_diagnostics, refusal);
        else if (!needsCleanRequest || diagnosticCount == 0)
            serve();
        for (int i = 0; i < diagnosticCount; ++i)
            yaz_add_srw_diagnostic_uri(encode.get(), &response.diagnostics, &response.num_diagnostics,
                                       diagnostics[i].uri, diagnostics[i].message, diagnostics[i].details);
    };
    switch (pdu->which) {
    case Z_SRW_searchRetrieve_request: {
        answer.m_operation = "searchRetrieve";
        reply = yaz_srw_get_pdu_e(encode.get(), Z_SRW_searchRetrieve_response, pdu);
        Z_SRW_searchRetrieveResponse& response = *reply->u.response;
        if (pdu->u.request->resultSetTTL == nullptr)
            ReadResultSetTtl(decode.get(), names, *pdu->u.request);
        respond(response, true, [&] { SruSearchRetrieve(m_env, encode.get(), *pdu->u.request, response, answer.m_hits); });
        break;
    }
    case Z_SRW_scan_request: {
        answer.m_operation = "scan";
        reply = yaz_srw_get_pdu_e(encode.get(), Z_SRW_scan_response, pdu);
        Z_SRW_scanResponse& response = *reply->u.scan_response;
        respond(response, true, [&] { SruScan(m_env, encode.get(), *pdu->u.scan_request, response); });
        break;
    }
    case Z_SRW_explain_request: {
        answer.m_operation = "explain";
        reply = yaz_srw_get_pdu_e(encode.get(), Z_SRW_explain_response, pdu);
        Z_SRW_explainResponse& response = *reply->u.explain_response;
        respond(response, false, [&] { SruExplain(m_env, encode.get(), *pdu->u.explain_request, version, response); });
        break;
    }
    default:  // updates are not offered over SRU
        return PlainError(400, "updates are not served over SRU");
    }
    soap->u.generic->p = reply;
    char* body = nullptr;
    int length = 0;
    if (z_soap_codec_enc(encode.get(), &soap, &body, &length, kSoapHandlers, charset) != 0 || body == nullptr)
        return PlainError(500, "the response could not be encoded");
    answer.m_body.assign(body, static_cast<size_t>(length));
    return answer;
}
