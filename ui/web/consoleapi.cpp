// The console's API routes: the two lists, the configuration sheet, restarts and the chart
// figures (see consoleapi.h).
#include "ui/web/consoleapi.h"

#include <cstdlib>

#include "server/tunnel.h"
#include "server/tunnelarray.h"
#include "ui/web/metricstext.h"

namespace {

// An integer query parameter, or `fallback` when it is missing or not a number.
int IntParam(const httplib::Request& req, const char* name, int fallback) {
    if (!req.has_param(name))
        return fallback;
    const std::string text = req.get_param_value(name);
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < 0 || v > 1000000000L)
        return fallback;
    return static_cast<int>(v);
}

bool BackendChanged(const CServerSettings& a, const CServerSettings& b) {
    return a.m_interfaceLibrary != b.m_interfaceLibrary || a.m_serverAddress != b.m_serverAddress ||
           a.m_dbUser != b.m_dbUser || a.m_dbPassword != b.m_dbPassword ||
           a.m_instanceName != b.m_instanceName;
}

// The list routes of one CVLArray: visible rows, the context menu of a row, a menu command.
template <class T>
void AddListRoutes(httplib::Server& http, const std::string& name, CVLArray<T>& array,
                   CWebListCtrl& ctrl) {
    http.Get("/api/" + name, [&array, &ctrl](const httplib::Request& req, httplib::Response& res) {
        SendJson(res, VisibleRows(array, ctrl, IntParam(req, "top", 0), IntParam(req, "count", 20)));
    });
    http.Post("/api/" + name + "/menu", [&array, &ctrl](const httplib::Request& req, httplib::Response& res) {
        nlohmann::json body;
        if (!ParseBody(req, res, body))
            return;
        const int row = body.value("row", -1);
        SendJson(res, {{"items", ContextMenu(array, ctrl, row)}});
    });
    http.Post("/api/" + name + "/command", [&array, &ctrl](const httplib::Request& req, httplib::Response& res) {
        nlohmann::json body;
        if (!ParseBody(req, res, body))
            return;
        const int row = body.value("row", -1);
        const unsigned id = body.value("command", 0u);
        if (!RunListCommand(array, ctrl, row, body.value("identity", std::string()), id)) {
            SendJson(res, {{"error", "the row changed or the command is not offered for it"}}, 409);
            return;
        }
        SendJson(res, {{"ok", true}});
    });
}

}  // namespace

CWebSheet::CWebSheet(CTunnelArray& manager, int startPage)
    : m_manager(manager), m_sheet(101, nullptr, static_cast<unsigned>(startPage)),
      m_before(manager.m_settings.Snapshot()) {
    m_sheet.m_pMedi = &manager;
    m_sheet.SetFrontEnd(this);
    SetActivePage(m_sheet.GetPage(startPage) ? startPage : 0);
}

void CWebSheet::SetActivePage(int index) {
    CConfigPage* page = m_sheet.GetPage(index);
    if (!page)
        return;
    m_active = index;
    if (!page->IsCreated()) {
        m_dialogs[index] = std::make_unique<CWebDialog>(page->GetTemplate(), &m_messages);
        page->Create(&m_sheet, m_dialogs[index].get());
    }
}

nlohmann::json CWebSheet::ToJson() {
    nlohmann::json tabs = nlohmann::json::array();
    bool modified = false;
    for (int i = 0; i < m_sheet.GetPageCount(); ++i) {
        tabs.push_back(m_sheet.GetPage(i)->GetTemplate().caption);
        modified = modified || (m_dialogs[i] && m_dialogs[i]->IsModified());
    }
    nlohmann::json messages = nlohmann::json::array();
    for (const VKPendingMessage& m : m_messages)
        messages.push_back({{"text", m.text}, {"caption", m.caption}, {"style", m.style}});
    m_messages.clear();
    return {{"caption", AnsiToUtf8(m_sheet.GetCaption())},
            {"tabs", tabs},
            {"active", m_active},
            {"page", m_dialogs[m_active]->ToJson()},
            {"modified", modified},
            {"needRestart", m_sheet.IsNeedRestart()},
            {"messages", messages}};
}

bool CWebSheet::Event(const nlohmann::json& event, std::string& error) {
    int id = 0, code = 0;
    if (!m_dialogs[m_active]->ApplyEvent(event, id, code, error))
        return false;
    m_sheet.GetPage(m_active)->OnControl(id, code);
    return true;
}

nlohmann::json CWebSheet::Apply(IConsoleHost& host) {
    if (!m_sheet.Apply())
        return {{"applied", false}};
    std::string error;
    const bool saved = host.SaveSettings(error);
    const auto now = m_manager.m_settings.Snapshot();
    const bool restart = m_sheet.IsNeedRestart() != 0;
    const bool listener = restart && m_manager.GetListenerPort() != static_cast<int>(now->m_port);
    const bool backend = restart && BackendChanged(*m_before, *now);
    return {{"applied", true},
            {"saved", saved},
            {"saveError", error},
            {"restart", {{"listener", listener}, {"backend", backend}}}};
}

CWebSheet& CConsoleServer::Impl::SheetOf(const std::string& token, bool fresh, int startPage) {
    auto& slot = sheets[token];
    if (!slot || fresh)
        slot = std::make_unique<CWebSheet>(manager, startPage);
    // Sheets of sessions that ended are dropped once there are more than sessions can be.
    if (sheets.size() > CConsoleAuth::kMaxSessions) {
        std::string csrf;
        for (auto it = sheets.begin(); it != sheets.end();)
            it = auth.FindSession(it->first, csrf) ? std::next(it) : sheets.erase(it);
    }
    return *sheets[token];
}

void CConsoleServer::Impl::AddApiRoutes() {
    AddListRoutes(*http, "sessions", manager, sessionList);
    AddListRoutes(*http, "databases", manager.m_databases, databaseList);

    // Every sheet answer is the sheet's whole state, plus what the action itself reports.
    auto sheetRoute = [this](const char* path, auto action) {
        http->Post(path, [this, action](const httplib::Request& req, httplib::Response& res) {
            nlohmann::json body;
            if (!ParseBody(req, res, body))
                return;
            CMutexLock ui(uiLock);
            const bool open = std::string(req.path) == "/api/sheet/open";
            CWebSheet& sheet = SheetOf(SessionToken(req), open, body.value("page", 0));
            nlohmann::json answer = nlohmann::json::object();
            std::string error;
            if (!action(sheet, body, answer, error)) {
                SendJson(res, {{"error", error}}, 400);
                return;
            }
            answer["sheet"] = sheet.ToJson();
            SendJson(res, answer);
        });
    };
    sheetRoute("/api/sheet/open", [](CWebSheet&, const nlohmann::json&, nlohmann::json&, std::string&) {
        return true;
    });
    sheetRoute("/api/sheet/page", [](CWebSheet& sheet, const nlohmann::json& body, nlohmann::json&,
                                     std::string& error) {
        const int index = body.value("index", -1);
        if (index < 0 || index >= kPageCount) {
            error = "no such page";
            return false;
        }
        sheet.SetActivePage(index);
        return true;
    });
    sheetRoute("/api/sheet/event", [](CWebSheet& sheet, const nlohmann::json& body, nlohmann::json&,
                                      std::string& error) { return sheet.Event(body, error); });
    sheetRoute("/api/sheet/apply", [this](CWebSheet& sheet, const nlohmann::json&,
                                          nlohmann::json& answer, std::string&) {
        answer = sheet.Apply(host);
        return true;
    });

    http->Post("/api/restart", [this](const httplib::Request& req, httplib::Response& res) {
        nlohmann::json body;
        if (!ParseBody(req, res, body))
            return;
        const std::string what = body.value("what", std::string());
        CMutexLock ui(uiLock);
        std::string error;
        bool ok = false;
        if (what == "listener")
            ok = host.RestartListener(error);
        else if (what == "backend")
            ok = host.ReconnectBackend(error);
        else
            error = "restart what? (listener or backend)";
        SendJson(res, {{"ok", ok}, {"error", error}, {"port", manager.GetListenerPort()}}, ok ? 200 : 500);
    });
    http->Get("/api/metrics", [this](const httplib::Request&, httplib::Response& res) {
        SendJson(res, MetricsJson(manager.m_metrics, manager.GetSize()));
    });
    http->Get("/api/metrics/history", [this](const httplib::Request&, httplib::Response& res) {
        SendJson(res, MetricsHistoryJson(manager.m_metricsHistory));
    });
}
