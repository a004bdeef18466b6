// CConsoleServer: start and stop, the login gate in front of every route, the static files and
// /metrics (see consoleserver.h). The API routes are in consoleapi.cpp.
#include "ui/web/consoleserver.h"

#include <openssl/evp.h>

#include <cstring>

#include "server/tunnelarray.h"
#include "ui/web/consoleapi.h"
#include "ui/web/consolestatic.h"
#include "ui/web/consoleworkers.h"
#include "ui/web/healthroutes.h"
#include "ui/web/metricstext.h"

namespace {

const char* const kCookieName = "vksession";
constexpr size_t kMaxBodyBytes = 64 * 1024;
constexpr size_t kMaxAuthHeaderBytes = 1024;
constexpr time_t kReadTimeoutSeconds = 2;
constexpr int kListenBacklog = 128;
constexpr time_t kWriteTimeoutSeconds = 5;

const VKStaticFile* FindStatic(const std::string& name) {
    for (const VKStaticFile* f = kConsoleStaticFiles; f->name; ++f)
        if (name == f->name)
            return f;
    return nullptr;
}

void SendStatic(httplib::Response& res, const VKStaticFile& file, int status = 200) {
    res.status = status;
    res.set_content(file.data, file.size, file.mime);
}

// "Basic base64(user:password)" -> password when the user is "operator".
bool BasicPassword(const httplib::Request& req, std::string& password) {
    const std::string header = req.get_header_value("Authorization");
    const std::string prefix = "Basic ";
    if (header.size() > kMaxAuthHeaderBytes || header.compare(0, prefix.size(), prefix) != 0)
        return false;
    const std::string encoded = header.substr(prefix.size());
    std::string decoded(encoded.size(), '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                  reinterpret_cast<const unsigned char*>(encoded.data()),
                                  static_cast<int>(encoded.size()));
    if (n < 0)
        return false;
    decoded.resize(static_cast<size_t>(n));
    // EVP_DecodeBlock counts the padding as zero octets.
    for (size_t pad = encoded.size(); pad > 0 && encoded[pad - 1] == '='; --pad)
        if (!decoded.empty())
            decoded.pop_back();
    const std::string user = "operator:";
    if (decoded.compare(0, user.size(), user) != 0)
        return false;
    password = decoded.substr(user.size());
    return true;
}

// A state-changing request from a page of another origin is refused even before the CSRF check.
bool SameOrigin(const httplib::Request& req) {
    const std::string origin = req.get_header_value("Origin");
    if (origin.empty())
        return true;
    const std::string host = req.get_header_value("Host");
    return origin == "http://" + host || origin == "https://" + host;
}

// The library's default adds SO_REUSEPORT, which lets a second console bind the same port and
// the kernel then splits the browsers between the two. SO_REUSEADDR alone only allows a restart
// while old connections linger; a port another process listens on stays refused.
void ExclusiveSocketOptions(socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

// A body is read only when its length is plain decimal digits within kMaxBodyBytes (and a POST,
// PUT or PATCH must give one); anything else is answered at once and the connection closed, before a byte of the body is waited for.
bool BodyLengthAcceptable(const httplib::Request& req, httplib::Response& res) {
    const std::string length = req.get_header_value("Content-Length");
    const bool chunked = req.has_header("Transfer-Encoding");
    const bool digits = !length.empty() && length.size() <= 12 &&
                        length.find_first_not_of("0123456789") == std::string::npos;
    int status = 0;
    if (chunked || req.get_header_value_count("Content-Length") > 1 || (req.has_header("Content-Length") && !digits))
        status = 400;
    else if (!req.has_header("Content-Length") && (req.method == "POST" || req.method == "PUT" || req.method == "PATCH"))
        status = 411;  // the library would read such a body until the client closes
    else if (digits && std::stoull(length) > kMaxBodyBytes)
        status = 413;
    if (status == 0)
        return true;
    res.set_header("Connection", "close");
    SendJson(res, {{"error", status == 413   ? "request body too large"
                             : status == 411 ? "a body needs a Content-Length"
                                             : "bad Content-Length or Transfer-Encoding"}},
             status);
    return false;
}

// "口令错误" with the wait the failure started, or only the wait while tries are refused.
void SendLoginRefused(httplib::Response& res, bool tooSoon, int wait) {
    const std::string after = "请 " + std::to_string(wait) + " 秒后再试";
    std::string text = tooSoon ? "尝试次数过多，" + after : "口令错误";
    if (!tooSoon && wait > 0)
        text += "，" + after;
    if (wait > 0)
        res.set_header("Retry-After", std::to_string(wait));
    SendJson(res, {{"error", text}, {"retryAfter", wait}}, tooSoon ? 429 : 401);
}

}  // namespace

void SendJson(httplib::Response& res, const nlohmann::json& body, int status) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                    "application/json; charset=utf-8");
}

bool ParseBody(const httplib::Request& req, httplib::Response& res, nlohmann::json& body) {
    body = nlohmann::json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        SendJson(res, {{"error", "the body must be a JSON object"}}, 400);
        return false;
    }
    return true;
}

std::string SessionToken(const httplib::Request& req) {
    const std::string cookies = req.get_header_value("Cookie");
    const std::string key = std::string(kCookieName) + "=";
    size_t pos = 0;
    while (pos < cookies.size()) {
        size_t end = cookies.find(';', pos);
        if (end == std::string::npos)
            end = cookies.size();
        size_t start = cookies.find_first_not_of(' ', pos);
        if (start < end && cookies.compare(start, key.size(), key) == 0)
            return cookies.substr(start + key.size(), end - start - key.size());
        pos = end + 1;
    }
    return std::string();
}

CConsoleServer::CConsoleServer(CTunnelArray& manager, IConsoleHost& host, VKConsoleOptions options)
    : m_impl(std::make_unique<Impl>(manager, host, std::move(options))) {}

CConsoleServer::~CConsoleServer() { Stop(); }

int CConsoleServer::GetPort() const { return m_impl->port; }

bool CConsoleServer::IsHttps() const {
    return !m_impl->options.certFile.empty() && !m_impl->options.keyFile.empty();
}

void CConsoleServer::Stop() {
    if (m_impl->http)
        m_impl->http->stop();
    if (m_impl->thread.joinable())
        m_impl->thread.join();
    m_impl->deadlines.reset();
}

bool CConsoleServer::Start(std::string& error) {
    Impl& im = *m_impl;
    if (IsHttps())
        im.http = std::make_unique<httplib::SSLServer>(im.options.certFile.c_str(),
                                                       im.options.keyFile.c_str());
    else
        im.http = std::make_unique<httplib::Server>();
    if (!im.http->is_valid()) {
        error = "cannot use the certificate " + im.options.certFile + " with the key " +
                im.options.keyFile;
        return false;
    }
    httplib::Server& http = *im.http;
    http.set_socket_options(ExclusiveSocketOptions);
    http.new_task_queue = [] { return new CConsoleWorkers(); };
    http.set_payload_max_length(kMaxBodyBytes);
    http.set_keep_alive_timeout(2);  // Stop waits for idle keep-alive connections this long at most
    // A client that stops sending (in the headers or the body) or reading loses its connection
    // after this long without progress.
    http.set_read_timeout(kReadTimeoutSeconds);
    http.set_write_timeout(kWriteTimeoutSeconds);
    http.set_default_headers({
        {"Cache-Control", "no-store"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Content-Security-Policy",
         "default-src 'self'; script-src 'self' 'unsafe-inline'; style-src 'self' 'unsafe-inline'; "
         "img-src 'self' data:; frame-ancestors 'none'"},
    });
    const bool https = IsHttps();
    // A body of the wrong shape (a text where a number belongs) ends in a JSON type error.
    http.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
        try {
            std::rethrow_exception(ep);
        } catch (const nlohmann::json::exception&) {
            SendJson(res, {{"error", "a field of the request has the wrong type"}}, 400);
        } catch (...) {
            SendJson(res, {{"error", "internal error"}}, 500);
        }
    });

    // The gate: a login session for everything but the login itself; a CSRF token and the same
    // origin for every state-changing call. /metrics also takes the operator's basic auth.
    http.set_pre_routing_handler([&im](const httplib::Request& req, httplib::Response& res) {
        using R = httplib::Server::HandlerResponse;
        if ((req.method == "GET" || req.method == "HEAD") && IsHealthPath(req.path))
            return R::Unhandled;
        if (!BodyLengthAcceptable(req, res))
            return R::Handled;
        if (req.method == "POST" && req.path == "/api/login")
            return SameOrigin(req) ? R::Unhandled : (SendJson(res, {{"error", "cross-origin"}}, 403), R::Handled);
        std::string csrf;
        if (!im.auth.FindSession(SessionToken(req), csrf)) {
            std::string password;
            int wait = 0;
            if (req.path == "/metrics" && req.method == "GET" && BasicPassword(req, password)) {
                const auto result = im.auth.CheckPassword(req.remote_addr, password, wait);
                if (result == CConsoleAuth::Result::kOk)
                    return R::Unhandled;
                if (result == CConsoleAuth::Result::kTooSoon)
                    res.set_header("Retry-After", std::to_string(wait));
            }
            if (req.method == "GET" && req.path == "/") {
                if (const VKStaticFile* login = FindStatic("login.html"))
                    SendStatic(res, *login, 401);
                return R::Handled;
            }
            if (req.path == "/metrics")
                res.set_header("WWW-Authenticate", "Basic realm=\"velkan\"");
            SendJson(res, {{"error", "login required"}}, 401);
            return R::Handled;
        }
        if (req.method != "GET" && req.method != "HEAD" &&
            (!SameOrigin(req) || csrf != req.get_header_value("X-CSRF-Token"))) {
            SendJson(res, {{"error", "missing or wrong CSRF token"}}, 403);
            return R::Handled;
        }
        return R::Unhandled;
    });

    http.Post("/api/login", [&im, https](const httplib::Request& req, httplib::Response& res) {
        nlohmann::json body;
        if (!ParseBody(req, res, body))
            return;
        const std::string password = body.value("password", std::string());
        int wait = 0;
        std::string ignored;
        const bool trusted = im.auth.FindSession(SessionToken(req), ignored);
        const auto result = im.auth.CheckPassword(req.remote_addr, password, wait, trusted);
        if (result != CConsoleAuth::Result::kOk) {
            SendLoginRefused(res, result == CConsoleAuth::Result::kTooSoon, wait);
            return;
        }
        std::string token, csrf;
        im.auth.NewSession(token, csrf);
        if (token.empty()) {
            SendJson(res, {{"error", "no random numbers for a session"}}, 500);
            return;
        }
        res.set_header("Set-Cookie", std::string(kCookieName) + "=" + token +
                                         "; Path=/; HttpOnly; SameSite=Strict" +
                                         (https ? "; Secure" : ""));
        SendJson(res, {{"csrf", csrf}});
    });
    http.Post("/api/logout", [&im](const httplib::Request& req, httplib::Response& res) {
        const std::string token = SessionToken(req);
        im.auth.EndSession(token);
        {
            CMutexLock ui(im.uiLock);
            im.sheets.erase(token);
        }
        res.set_header("Set-Cookie", std::string(kCookieName) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
        SendJson(res, {{"ok", true}});
    });
    http.Get("/api/session", [&im](const httplib::Request& req, httplib::Response& res) {
        std::string csrf;
        im.auth.FindSession(SessionToken(req), csrf);
        SendJson(res, {{"csrf", csrf}});
    });
    http.Get("/", [](const httplib::Request&, httplib::Response& res) {
        if (const VKStaticFile* index = FindStatic("index.html"))
            SendStatic(res, *index);
    });
    http.Get(R"(/static/([a-z0-9_.-]+))", [](const httplib::Request& req, httplib::Response& res) {
        const VKStaticFile* file = FindStatic(req.matches[1].str());
        if (!file || std::strcmp(file->name, "login.html") == 0) {
            SendJson(res, {{"error", "no such file"}}, 404);
            return;
        }
        SendStatic(res, *file);
    });
    http.Get("/metrics", [&im](const httplib::Request&, httplib::Response& res) {
        res.set_content(RenderPrometheusMetrics(im.manager.m_metrics, im.manager.GetSize()),
                        "text/plain; version=0.0.4; charset=utf-8");
    });
    im.AddApiRoutes();
    AddHealthRoutes(http, im.manager);

    if (im.options.port == 0) {
        im.port = http.bind_to_any_port(im.options.address);
    } else if (http.bind_to_port(im.options.address, im.options.port)) {
        im.port = im.options.port;
    } else {
        im.port = -1;
    }
    if (im.port <= 0) {
        error = "cannot listen on " + im.options.address + ":" + std::to_string(im.options.port);
        return false;
    }
    WidenListenBacklog(http, kListenBacklog);
    // Only now, when nothing can fail any more: from here on the lists call the controls.
    im.manager.SetListCtrl(&im.sessionList);
    im.manager.m_databases.SetListCtrl(&im.databaseList);
    im.deadlines = std::make_unique<CConnectionDeadlines>(im.port, std::chrono::milliseconds(im.options.connectionLimitMs));
    im.thread = std::thread([&http] { http.listen_after_bind(); });
    return true;
}
