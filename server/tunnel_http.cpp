// CTunnel over HTTP: a connection that opened with an HTTP request line is served request by
// request (keep-alive) by the SRU service, on this association's account, catalogue view and
// channel; limits refused by the request reader end the connection after their answer.
#include <yaz/base64.h>

#include <algorithm>
#include <chrono>

#include "server/dbarray.h"
#include "server/sru/httprequest.h"
#include "server/sru/cqlquery.h"
#include "server/sru/sruservice.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"

namespace {

constexpr size_t kHttpRecvStep = 8192;
constexpr size_t kHttpMaxBody = 1 << 20;

// "user:password" of an "Authorization: Basic ..." value; false when it is not one.
bool DecodeBasic(const std::string& value, std::string& user, std::string& password) {
    if (value.size() < 7 || strncasecmp(value.c_str(), "Basic ", 6) != 0 || value.size() > 1024)
        return false;
    std::string decoded(value.size(), '\0');
    if (yaz_base64decode(value.c_str() + 6, decoded.data()) != 0)
        return false;
    decoded.resize(strlen(decoded.c_str()));
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos)
        return false;
    user = decoded.substr(0, colon);
    password = decoded.substr(colon + 1);
    return !user.empty();
}

}  // namespace

bool CTunnel::SruEnabled() const {
    return m_owner != nullptr && Settings().m_sruEnabled;
}

void CTunnel::ServeHttp() {
    unsigned char chunk[kHttpRecvStep];
    const int n = tcpRecv(chunk, static_cast<int>(sizeof chunk));
    if (n > 0)
        FeedHttp(chunk, static_cast<size_t>(n));
}

void CTunnel::FeedHttp(const unsigned char* data, size_t length) {
    if (!m_httpReader) {
        CHttpLimits limits;
        limits.m_body = static_cast<size_t>(std::min<int64_t>(MaxRequestBytes(), kHttpMaxBody));
        m_httpReader = std::make_unique<CHttpRequestReader>(limits);
    }
    CHttpReadState state = m_httpReader->Feed(reinterpret_cast<const char*>(data), length);
    while (state == CHttpReadState::kComplete && IsActive()) {
        if (!ServeHttpRequest(m_httpReader->Take()))
            return;
        state = m_httpReader->Next();
    }
    if (state == CHttpReadState::kError) {
        LogInfo("HTTP request from %s refused: %s", m_address.c_str(), m_httpReader->ErrorText().c_str());
        SendHttp(BuildHttpResponse(m_httpReader->ErrorStatus(), "text/plain; charset=UTF-8",
                                   m_httpReader->ErrorText() + "\n", false));
        Close();
    }
}

int CTunnel::SruLogin(const CHttpRequest& request) {
    const std::string* authorization = request.Header("Authorization");
    if (authorization == nullptr) {
        if (!Settings().m_allowAnonymous)
            return kSruAuthentication;
        UseAnonymousAccount();
        return 0;
    }
    std::string user;
    std::string password;
    if (!DecodeBasic(*authorization, user, password))
        return kSruAuthentication;
    if (!m_tls && !Settings().m_sruAllowBasicOverPlain)
        return kSruAuthentication;  // credentials travel only over TLS
    if (user == GetUserId() && password == m_password && m_authenticated)
        return 0;  // this connection's account already
    SetUserId(user);
    m_password = password;
    m_authenticated = IsLegalUser();
    return m_authenticated ? 0 : kSruAuthentication;
}

bool CTunnel::ServeHttpRequest(const CHttpRequest& request) {
    const auto begun = std::chrono::steady_clock::now();
    TakeSettingsSnapshot();
    ++m_requestCount;
    if (m_owner)
        m_owner->UpdateDisp(this, -1);
    m_catalogue.Clear();
    m_databaseNames.clear();

    CSruEnvironment env;
    env.m_authError = SruLogin(request);
    env.m_search = SearchContext();
    env.m_search.m_bib1 = true;  // SRU always reads truncation and answers with diagnostics
    env.m_form = RecordForm(true);
    env.m_form.m_utf8 = true;
    const std::string* host = request.Header("Host");
    env.m_host = host ? *host : "localhost";
    if (m_owner) {
        const auto entries = m_owner->m_databases.GetEntries();
        if (!entries.empty())
            env.m_defaultDatabase = entries.front()->m_dbName;
    }
    if (m_owner) {
        env.m_keptSets = &m_owner->m_sruResultSets;
        env.m_account = GetUserId();
        env.m_maxTtl = Settings().m_sruMaxResultSetTtl;
        env.m_maxKeptSets = static_cast<size_t>(std::max(0, Settings().m_sruMaxResultSets));
    }
    CSruService service(env);
    const CSruAnswer answer = service.Serve(request);
    if (m_bStop.load())
        return false;
    const bool keepAlive = request.KeepAlive() && answer.m_status < 500;
    if (!SendHttp(BuildHttpResponse(answer.m_status, answer.m_contentType, answer.m_body, keepAlive,
                                    answer.m_headers)))
        return false;
    if (m_owner && answer.m_operation == "searchRetrieve") {
        m_owner->m_metrics.CountRequest(
            CMetricService::kSearch, std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count());
        if (answer.m_hits >= 0)
            m_owner->m_metrics.CountHits(answer.m_hits);
    }
    m_lastActive = time(nullptr);
    if (!keepAlive) {
        Close();
        return false;
    }
    return true;
}

bool CTunnel::SendHttp(const std::string& response) {
    m_sendBuffer.assign(response.begin(), response.end());
    return DataSend() > 0;
}
