// The browser console's server side over real HTTP on loopback: the login gate, CSRF, the
// wrong-password slow-down, the session list's visible rows and context menu, the sheet, and the
// metrics in both forms.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "server/tunnel.h"
#include "server/tunnelarray.h"
#include "tests/server/server_test_util.h"
#include "ui/web/consoleauth.h"
#include "ui/web/consoleserver.h"
#include "ui/web/metricstext.h"
#include "ui/web/weblist.h"

namespace {

using nlohmann::json;

class CRecordingHost : public IConsoleHost {
public:
    bool SaveSettings(std::string&) override { return ++m_saves > 0; }
    bool RestartListener(std::string&) override { return ++m_restarts > 0; }
    bool ReconnectBackend(std::string&) override { return ++m_reconnects > 0; }
    int m_saves = 0, m_restarts = 0, m_reconnects = 0;
};

class CConsoleTest : public ::testing::Test {
protected:
    explicit CConsoleTest(int connectionLimitMs = 30000) : m_home("console") {
        m_manager = std::make_unique<CTunnelArray>();
        m_manager->m_homeDir = m_home.Path();
        m_manager->m_log.SetFolder(m_home.Path());
        VKConsoleOptions options;
        options.passwordHash = HashConsolePassword("pw", 1000);
        options.connectionLimitMs = connectionLimitMs;
        m_console = std::make_unique<CConsoleServer>(*m_manager, m_host, options);
        std::string error;
        EXPECT_TRUE(m_console->Start(error)) << error;
        m_client = std::make_unique<httplib::Client>("127.0.0.1", m_console->GetPort());
    }
    ~CConsoleTest() override {
        m_console->Stop();
        m_manager.reset();
        for (SOCKET_T s : m_clients)
            PlatCloseSocket(s);
    }

    // Logs in; the cookie and the CSRF token go with every later call.
    void Login() {
        auto res = m_client->Post("/api/login", R"({"password":"pw"})", "application/json");
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200);
        const std::string cookie = res->get_header_value("Set-Cookie");
        m_cookie = cookie.substr(0, cookie.find(';'));
        m_csrf = json::parse(res->body)["csrf"];
    }
    httplib::Result Post(const std::string& path, const json& body, bool withCsrf = true) {
        httplib::Headers h = {{"Cookie", m_cookie}};
        if (withCsrf)
            h.emplace("X-CSRF-Token", m_csrf);
        return m_client->Post(path.c_str(), h, body.dump(), "application/json");
    }
    httplib::Result Get(const std::string& path) {
        return m_client->Get(path.c_str(), {{"Cookie", m_cookie}});
    }
    // A live session on one end of a socket pair; the test keeps the client's end.
    SOCKET_T AddSession(const char* address) {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        m_manager->NewTunnel(address, fds[0]);
        m_clients.push_back(fds[1]);
        return fds[1];
    }

    vktest::CTempHome m_home;
    CRecordingHost m_host;
    std::unique_ptr<CTunnelArray> m_manager;
    std::unique_ptr<CConsoleServer> m_console;
    std::unique_ptr<httplib::Client> m_client;
    std::vector<SOCKET_T> m_clients;
    std::string m_cookie, m_csrf;
};

TEST_F(CConsoleTest, EveryRouteAnswers401WithoutALogin) {
    const char* gets[] = {"/", "/static/console.js", "/static/console.css", "/api/session",
                          "/api/sessions", "/api/databases", "/api/metrics", "/metrics", "/nowhere"};
    for (const char* path : gets) {
        auto res = m_client->Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 401) << path;
    }
    const char* posts[] = {"/api/logout", "/api/sessions/menu", "/api/sessions/command",
                           "/api/sheet/open", "/api/sheet/event", "/api/sheet/apply", "/api/restart"};
    for (const char* path : posts) {
        auto res = m_client->Post(path, "{}", "application/json");
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 401) << path;
    }
    EXPECT_EQ(m_host.m_restarts, 0);
    // The login form itself comes with the 401.
    EXPECT_NE(m_client->Get("/")->body.find("/api/login"), std::string::npos);
}

// Issue 24: one typo made the right password wait, and every client of the address shared it.
TEST_F(CConsoleTest, WrongPasswordsNeverLogInAndOnlyAFloodIsSlowedDown) {
    const auto login = [this](const char* body, const std::string& cookie = "") {
        return m_client->Post("/api/login", {{"Cookie", cookie}}, body, "application/json");
    };
    auto typo = login(R"({"password":"PW"})");
    EXPECT_EQ(typo->status, 401);
    EXPECT_EQ(json::parse(typo->body)["error"], "口令错误");
    EXPECT_FALSE(typo->has_header("Retry-After"));
    EXPECT_EQ(login(R"({"password":"pw"})")->status, 200);  // straight after the typo
    const std::string live = login(R"({"password":"pw"})")->get_header_value("Set-Cookie");

    for (int i = 0; i < CConsoleAuth::kFreeTries; ++i)  // wrong tries that cost nothing
        EXPECT_EQ(login(R"({"nothing":1})")->status, 401);
    auto last = login(R"({"password":"PW"})");
    EXPECT_EQ(last->status, 401);
    EXPECT_FALSE(last->has_header("Set-Cookie"));
    EXPECT_EQ(json::parse(last->body)["error"], "口令错误，请 1 秒后再试");
    EXPECT_EQ(last->get_header_value("Retry-After"), "1");
    EXPECT_EQ(login(R"({"password":"pw"})")->status, 429);  // the wait holds for the right one too
    // A browser holding a live session is not kept out by the flood.
    EXPECT_EQ(login(R"({"password":"pw"})", live.substr(0, live.find(';')))->status, 200);
    EXPECT_EQ(m_client->Get("/api/session", {{"Cookie", "vksession=guess"}})->status, 401);
}

TEST(ConsoleAuth, TheWaitCountsPerAddressAndForTheAccount) {
    CConsoleAuth auth(HashConsolePassword("pw", 1000));
    int wait = 0;
    // Failures spread over many addresses still slow the account down.
    for (int i = 0; i <= CConsoleAuth::kFreeTries; ++i)
        EXPECT_EQ(auth.CheckPassword("10.0.0." + std::to_string(i), "x", wait), CConsoleAuth::Result::kWrong);
    EXPECT_EQ(wait, 1);
    EXPECT_EQ(auth.CheckPassword("10.0.1.1", "pw", wait), CConsoleAuth::Result::kTooSoon);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(auth.CheckPassword("10.0.2.1", "x", wait), CConsoleAuth::Result::kWrong);
    EXPECT_EQ(wait, 2);  // the wait doubles
    EXPECT_EQ(auth.CheckPassword("10.0.1.1", "pw", wait), CConsoleAuth::Result::kTooSoon);
    EXPECT_EQ(auth.CheckPassword("10.0.1.1", "pw", wait, true), CConsoleAuth::Result::kOk);
    // The success ends the account's wait; the addresses' own counts stay below the limit.
    EXPECT_EQ(auth.CheckPassword("10.0.0.1", "pw", wait), CConsoleAuth::Result::kOk);
    EXPECT_EQ(wait, 0);
}

// Sends `request` on a new connection and returns the first line of the answer ("" when none
// came within `ms`).
std::string RawExchange(int port, const std::string& request, int ms) {
    const SOCKET_T s = vktest::Connect(port);
    ::send(s, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char chunk[512];
    pollfd p{s, POLLIN, 0};
    while (answer.find("\r\n") == std::string::npos && ::poll(&p, 1, ms) > 0) {
        const ssize_t n = ::recv(s, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        answer.append(chunk, static_cast<size_t>(n));
    }
    PlatCloseSocket(s);
    return answer.substr(0, answer.find("\r\n"));
}

// Issue 24: 30 stalled connections delayed a request by 13 s; a negative length got 413 after 7 s.
TEST_F(CConsoleTest, StalledClientsDoNotDelayOthersAndBadLengthsAreRefusedAtOnce) {
    const int port = m_console->GetPort();
    for (int i = 0; i < 30; ++i) {
        const SOCKET_T s = vktest::Connect(port);
        const std::string part = i % 2 ? "GET / HTTP/1.1\r\nHost: x\r\n"  // headers never end
                                       : "POST /api/login HTTP/1.1\r\nHost: x\r\nContent-Length: 50\r\n\r\n{";
        ::send(s, part.data(), part.size(), MSG_NOSIGNAL);
        m_clients.push_back(s);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto start = std::chrono::steady_clock::now();
    auto normal = m_client->Get("/");
    ASSERT_TRUE(normal) << httplib::to_string(normal.error());
    EXPECT_EQ(normal->status, 401);
    const auto ms = [&start] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    };
    EXPECT_LT(ms(), 100);
    std::printf("normal request beside 30 stalled connections: %lld ms\n", static_cast<long long>(ms()));

    const struct {
        const char* headers;
        const char* status;
    } cases[] = {
        {"Content-Length: -5\r\n", "400"},          {"Content-Length: 1e3\r\n", "400"},
        {"", "411"},                                 {"Content-Length: 5\r\nContent-Length: 5\r\n", "400"},
        {"Transfer-Encoding: chunked\r\n", "400"},  {"Content-Length: 99999999999\r\n", "413"},
        {"Content-Length: 18446744073709551617\r\n", "400"},
    };
    for (const auto& c : cases) {
        start = std::chrono::steady_clock::now();
        const std::string line = RawExchange(
            port, std::string("POST /api/login HTTP/1.1\r\nHost: x\r\n") + c.headers + "\r\n", 2000);
        EXPECT_EQ(line.substr(0, 12), std::string("HTTP/1.1 ") + c.status) << c.headers << line;
        EXPECT_LT(ms(), 500) << c.headers;
    }
    // A stalled connection is ended after the read time-out (after a 400 for its unfinished headers).
    const SOCKET_T stalled = m_clients.back();
    char chunk[512];
    pollfd p{stalled, POLLIN, 0};
    start = std::chrono::steady_clock::now();
    while (::poll(&p, 1, 5000) > 0 && ::recv(stalled, chunk, sizeof chunk, 0) > 0 && ms() < 5000) {
    }
    std::printf("stalled connection ended after %lld ms more\n", static_cast<long long>(ms()));
    EXPECT_LT(ms(), 5000);
    for (SOCKET_T s : m_clients)
        PlatCloseSocket(s);
    m_clients.clear();
}

class CConsoleLimitTest : public CConsoleTest {
protected:
    CConsoleLimitTest() : CConsoleTest(1000) {}
};

// A client that sends a byte every 200 ms never meets the read time-out; the total limit ends it.
TEST_F(CConsoleLimitTest, AConnectionThatKeepsTricklingIsClosedAtItsTotalLimit) {
    const SOCKET_T s = vktest::Connect(m_console->GetPort());
    m_clients.push_back(s);
    const auto start = std::chrono::steady_clock::now();
    const std::string head = "GET / HTTP/1.1\r\nHost: x\r\nX-Slow: ";
    ::send(s, head.data(), head.size(), MSG_NOSIGNAL);
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() - start < std::chrono::seconds(4)) {
        pollfd p{s, POLLIN, 0};
        const char byte = 'a';
        closed = ::poll(&p, 1, 200) > 0;  // readable: an answer or the end, the server gave up
        if (!closed)
            ::send(s, &byte, 1, MSG_NOSIGNAL);
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(closed);
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 2500);
    auto normal = m_client->Get("/");
    ASSERT_TRUE(normal) << httplib::to_string(normal.error());
    EXPECT_EQ(normal->status, 401);
}

TEST_F(CConsoleTest, LoginCookieIsHttpOnlyStrictAndPostsNeedTheCsrfToken) {
    auto res = m_client->Post("/api/login", R"({"password":"pw"})", "application/json");
    ASSERT_EQ(res->status, 200);
    const std::string cookie = res->get_header_value("Set-Cookie");
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
    m_cookie = cookie.substr(0, cookie.find(';'));
    m_csrf = json::parse(res->body)["csrf"];
    EXPECT_EQ(Post("/api/sheet/open", json::object(), false)->status, 403);
    m_csrf.back() = m_csrf.back() == 'a' ? 'b' : 'a';
    EXPECT_EQ(Post("/api/sheet/open", json::object())->status, 403);
    m_csrf = json::parse(res->body)["csrf"];
    EXPECT_EQ(Post("/api/sheet/open", json::object())->status, 200);
    EXPECT_EQ(Get("/")->status, 200);
    EXPECT_EQ(Post("/api/logout", json::object())->status, 200);
    EXPECT_EQ(Get("/api/session")->status, 401);
}

TEST_F(CConsoleTest, SessionListServesVisibleRowsAndItsMenuClosesTheChosenSession) {
    Login();
    AddSession("10.0.0.1");
    const SOCKET_T second = AddSession("10.0.0.2");
    AddSession("10.0.0.3");
    auto res = Get("/api/sessions?top=1&count=1");
    ASSERT_EQ(res->status, 200);
    const json page = json::parse(res->body);
    EXPECT_EQ(page["count"], 3);
    ASSERT_EQ(page["columns"].size(), 7u);
    EXPECT_EQ(page["columns"][0]["title"], "通道 ID");
    ASSERT_EQ(page["rows"].size(), 1u);
    EXPECT_EQ(page["rows"][0]["cells"][1], "10.0.0.2");

    const json none = json::parse(Post("/api/sessions/menu", {{"row", -1}})->body);
    EXPECT_EQ(none["items"], json::parse(R"([{"id":1001,"text":" 删除本通道","enabled":false,"separator":false}])"));
    const json one = json::parse(Post("/api/sessions/menu", {{"row", 1}})->body);
    EXPECT_EQ(one["items"][0]["text"], "删除本通道");
    EXPECT_TRUE(one["items"][0]["enabled"]);

    const std::string identity = page["rows"][0]["cells"][0];
    EXPECT_EQ(Post("/api/sessions/command", {{"row", 1}, {"identity", "ffffffff"}, {"command", 1001}})->status, 409);
    EXPECT_EQ(Post("/api/sessions/command", {{"row", -1}, {"identity", ""}, {"command", 1001}})->status, 409);
    EXPECT_EQ(Post("/api/sessions/command", {{"row", "1"}, {"identity", identity}, {"command", 1001}})->status, 400);
    EXPECT_EQ(m_client->Post("/api/sessions/menu", {{"Cookie", m_cookie}, {"X-CSRF-Token", m_csrf}}, "[1,", "application/json")->status, 400);
    EXPECT_FALSE(vktest::ClosedByServer(second, 50));
    EXPECT_EQ(Post("/api/sessions/command", {{"row", 1}, {"identity", identity}, {"command", 1001}})->status, 200);
    EXPECT_TRUE(vktest::ClosedByServer(second, 2000));
}

TEST_F(CConsoleTest, SheetRefusesPort65535AndOffersTheListenerRestartAfterAGoodOne) {
    Login();
    json answer = json::parse(Post("/api/sheet/open", {{"page", 1}})->body);
    EXPECT_EQ(answer["sheet"]["tabs"], json::parse(R"(["数据库","常规","访问","禁用","IP 筛选"])"));
    EXPECT_EQ(Post("/api/sheet/event", {{"id", 1000}, {"event", "click"}})->status, 400);
    EXPECT_EQ(Post("/api/sheet/event", {{"id", 4242}, {"event", "change"}, {"value", "1"}})->status, 400);
    Post("/api/sheet/event", {{"id", 1000}, {"event", "change"}, {"value", "65535"}});
    Post("/api/sheet/page", {{"index", 2}});
    answer = json::parse(Post("/api/sheet/apply", json::object())->body);
    EXPECT_FALSE(answer["applied"]);
    EXPECT_EQ(answer["sheet"]["active"], 1);
    ASSERT_EQ(answer["sheet"]["messages"].size(), 1u);
    EXPECT_EQ(answer["sheet"]["messages"][0]["text"], "端口号的范围应大于 0 并且小于 65535 !");
    EXPECT_EQ(m_host.m_saves, 0);

    Post("/api/sheet/event", {{"id", 1000}, {"event", "change"}, {"value", "2101"}});
    answer = json::parse(Post("/api/sheet/apply", json::object())->body);
    EXPECT_TRUE(answer["applied"]);
    EXPECT_TRUE(answer["restart"]["listener"]);
    EXPECT_FALSE(answer["restart"]["backend"]);
    EXPECT_EQ(m_host.m_saves, 1);
    EXPECT_EQ(m_manager->m_settings.Snapshot()->m_port, 2101u);
    EXPECT_EQ(Post("/api/restart", {{"what", "listener"}})->status, 200);
    EXPECT_EQ(m_host.m_restarts, 1);
}

TEST_F(CConsoleTest, ForbidServiceAppliedFromThePageStopsAndRestartsTheRunningListener) {
    m_manager->m_settings.Update([](CServerSettings& s) { s.m_port = static_cast<unsigned>(vktest::FreePort()); });
    ASSERT_TRUE(m_manager->ListenerStart());
    const int port = m_manager->GetListenerPort();
    Login();
    for (const bool off : {true, false}) {
        Post("/api/sheet/open", {{"page", 3}});
        Post("/api/sheet/event", {{"id", 1029}, {"event", "click"}});
        json answer = json::parse(Post("/api/sheet/apply", json::object())->body);
        EXPECT_TRUE(answer["applied"]);
        EXPECT_FALSE(answer["restart"]["listener"]);
        EXPECT_EQ(m_manager->m_settings.Snapshot()->m_forbidService, off);
        SOCKET_T c = vktest::Connect(port);
        ASSERT_NE(c, INVALID_SOCKET_T);
        EXPECT_EQ(vktest::ClosedByServer(c, 500), off);
        PlatCloseSocket(c);
    }
    EXPECT_EQ(m_host.m_restarts, 0);
}

TEST_F(CConsoleTest, ChartsOpenWithTheLastTenMinutesOfCounters) {
    for (int second = 0; second < 700; ++second) {
        m_manager->m_metrics.CountRequest(CMetricService::kSearch, 0.002);
        m_manager->m_metricsHistory.Take(m_manager->m_metrics, second);
        m_manager->m_metricsHistory.Take(m_manager->m_metrics, second + 0.5);  // under a second: skipped
    }
    Login();
    const json history = json::parse(Get("/api/metrics/history")->body);
    ASSERT_EQ(history.size(), CMetricsHistory::kMaxSamples);
    EXPECT_EQ(history.front()["t"], -599.0);
    EXPECT_EQ(history.back()["t"], 0.0);
    EXPECT_EQ(history.back()["services"]["search"]["count"], 700);
    EXPECT_EQ(history.front()["services"]["search"]["count"], 101);
}

TEST_F(CConsoleTest, HealthRoutesAnswerWithoutALoginAndReadinessSaysWhy) {
    auto res = m_client->Get("/healthz");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    res = m_client->Get("/readyz");
    EXPECT_EQ(res->status, 503);
    EXPECT_EQ(res->body, "not ready: the Z39.50 listener is not running\n");
    m_manager->m_settings.Update([](CServerSettings& s) { s.m_port = static_cast<unsigned>(vktest::FreePort()); });
    ASSERT_TRUE(m_manager->ListenerStart());
    EXPECT_EQ(m_client->Get("/readyz")->body, "not ready: no database in the catalogue\n");
    EXPECT_EQ(m_client->Post("/readyz", "", "text/plain")->status, 401);  // GET and HEAD only
}

TEST_F(CConsoleTest, MetricsNeedALoginOrTheOperatorsBasicAuth) {
    AddSession("10.0.0.1");
    m_manager->m_metrics.CountRequest(CMetricService::kSearch, 0.003);
    auto res = m_client->Get("/metrics", {{"Authorization", "Basic b3BlcmF0b3I6cHc="}});  // operator:pw
    ASSERT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("velkan_sessions_active 1\n"), std::string::npos);
    EXPECT_NE(res->body.find("velkan_requests_total{service=\"search\"} 1\n"), std::string::npos);
    EXPECT_EQ(m_client->Get("/metrics", {{"Authorization", "Basic YWRtaW46cHc="}})->status, 401);  // admin:pw
}

TEST(ConsoleHttps, ServesTheLoginGateOverTlsWhenCertificateAndKeyAreSet) {
    vktest::CTempHome home("consoletls");
    const std::string cert = home.Path() + "cert.pem", key = home.Path() + "key.pem";
    ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " +
                           key + " -out " + cert + " >/dev/null 2>&1").c_str()), 0);
    auto owned = std::make_unique<CTunnelArray>();
    CTunnelArray& manager = *owned;
    manager.m_log.SetFolder(home.Path());
    CRecordingHost host;
    VKConsoleOptions options;
    options.passwordHash = HashConsolePassword("pw", 1000);
    options.certFile = home.Path() + "missing.pem";
    options.keyFile = key;
    std::string error;
    EXPECT_FALSE(CConsoleServer(manager, host, options).Start(error));
    EXPECT_NE(error.find("certificate"), std::string::npos);
    options.certFile = cert;
    CConsoleServer console(manager, host, options);
    ASSERT_TRUE(console.Start(error)) << error;
    EXPECT_TRUE(console.IsHttps());
    httplib::SSLClient tls("127.0.0.1", console.GetPort());
    tls.enable_server_certificate_verification(false);
    auto res = tls.Post("/api/login", R"({"password":"pw"})", "application/json");
    ASSERT_TRUE(res);
    EXPECT_NE(res->get_header_value("Set-Cookie").find("; Secure"), std::string::npos);
    httplib::Client plain("127.0.0.1", console.GetPort());
    EXPECT_FALSE(plain.Get("/"));  // no plain HTTP on the TLS port
    console.Stop();
    owned.reset();
}

TEST(MetricsText, HistogramBucketsAreCumulativeAndEndInTheCount) {
    CServerMetrics m;
    for (double s : {0.0001, 0.003, 0.003, 0.2, 9.0})
        m.CountRequest(CMetricService::kPresent, s);
    m.CountHits(42);
    m.CountRefused(CMetricRefusal::kIpFilter);
    const std::string text = RenderPrometheusMetrics(m, 5);
    const char* expected[] = {
        "velkan_request_duration_seconds_bucket{service=\"present\",le=\"0.0005\"} 1\n",
        "velkan_request_duration_seconds_bucket{service=\"present\",le=\"0.005\"} 3\n",
        "velkan_request_duration_seconds_bucket{service=\"present\",le=\"2.5\"} 4\n",
        "velkan_request_duration_seconds_bucket{service=\"present\",le=\"+Inf\"} 5\n",
        "velkan_request_duration_seconds_count{service=\"present\"} 5\n",
        "velkan_request_duration_seconds_sum{service=\"present\"} 9.2061\n",
        "velkan_requests_total{service=\"init\"} 0\n",
        "velkan_search_hits_total 42\n",
        "velkan_refused_connections_total{reason=\"ipfilter\"} 1\n",
        "velkan_refused_connections_total{reason=\"forbidden\"} 0\n",
        "velkan_sessions_active 5\n",
    };
    for (const char* line : expected)
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
}

// An item that counts how often its cells are produced.
struct CCountedItem {
    static inline int s_cells = 0;
    virtual ~CCountedItem() = default;
    std::string GetColumnText(int column) const {
        ++s_cells;
        return std::to_string(column);
    }
    int GetImageIndex() const { return 0; }
};

TEST(WebList, ARefreshProducesOnlyTheVisibleRows) {
    CWebListCtrl ctrl;
    CVLArray<CCountedItem> array;
    for (int i = 0; i < 5000; ++i)
        array.NewObject();
    array.SetListCtrl(&ctrl);
    CCountedItem::s_cells = 0;
    const json rows = VisibleRows(array, ctrl, 4990, 20);
    EXPECT_EQ(rows["count"], 5000);
    EXPECT_EQ(rows["rows"].size(), 10u);
    EXPECT_EQ(CCountedItem::s_cells, 10 * 2);
    EXPECT_EQ(VisibleRows(array, ctrl, 0, 100000)["rows"].size(),
              static_cast<size_t>(CWebListCtrl::kMaxRowsPerRequest));
}

TEST(ConsolePassword, HashesAreSaltedAndOnlyTheRightPasswordMatches) {
    const std::string a = HashConsolePassword("demo", 1000);
    const std::string b = HashConsolePassword("demo", 1000);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.find("demo"), std::string::npos);
    EXPECT_TRUE(VerifyConsolePassword("demo", a));
    EXPECT_TRUE(VerifyConsolePassword("demo", b));
    for (const char* wrong : {"Demo", "", "demo "})
        EXPECT_FALSE(VerifyConsolePassword(wrong, a)) << wrong;
    for (const std::string& bad : {std::string(""), std::string("pbkdf2-sha256$0$00$00"), a.substr(0, a.size() - 2),
                                   std::string("pbkdf2-sha256$99999999999$00$") + std::string(64, '0')})
        EXPECT_FALSE(VerifyConsolePassword("demo", bad)) << bad;
}

}  // namespace
