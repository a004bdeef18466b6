#pragma once
// The console's state behind the HTTP routes (shared by consoleserver.cpp and consoleapi.cpp):
// CWebSheet, one showing of the configuration sheet for one login session, and the route
// handlers of the sheet, the lists, restarts and metrics.
// Thread safety: CWebSheet is used under the console's user-interface lock only.

#include <map>
#include <memory>
#include <string>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "platform/mutex.h"
#include "server/settings.h"
#include "ui/sheetconfig.h"
#include "ui/web/consoleauth.h"
#include "ui/web/consoledeadline.h"
#include "ui/web/consoleserver.h"
#include "ui/web/webdialog.h"
#include "ui/web/weblist.h"

class CWebSheet : public IPropertySheet {
public:
    CWebSheet(CTunnelArray& manager, int startPage);

    // Shows page `index`, making its window (and filling it) the first time.
    void SetActivePage(int index) override;
    // {"caption", "tabs", "active", "page", "modified", "needRestart", "messages"}; the message
    // queue is handed over and emptied.
    nlohmann::json ToJson();
    // An operator action on the shown page (see CWebDialog::ApplyEvent).
    bool Event(const nlohmann::json& event, std::string& error);
    // Apply: the pages write back; on success the host saves, and the answer offers the restarts
    // the changes need ({"applied", "saved", "saveError", "restart": {"listener", "backend"}}).
    nlohmann::json Apply(IConsoleHost& host);

private:
    CTunnelArray& m_manager;
    CSheetConfig m_sheet;
    std::unique_ptr<CWebDialog> m_dialogs[kPageCount];
    int m_active = -1;
    std::vector<VKPendingMessage> m_messages;
    std::shared_ptr<const CServerSettings> m_before;  // the settings when the sheet opened
};

struct CConsoleServer::Impl {
    Impl(CTunnelArray& m, IConsoleHost& h, VKConsoleOptions o)
        : manager(m), host(h), options(std::move(o)), auth(options.passwordHash) {}

    // Registers the API routes (consoleapi.cpp).
    void AddApiRoutes();
    // The sheet of login session `token`, made on first use.
    CWebSheet& SheetOf(const std::string& token, bool fresh, int startPage) REQUIRES(uiLock);

    // Set at construction, never changed (each locks what it shares itself).
    CTunnelArray& manager;
    IConsoleHost& host;
    const VKConsoleOptions options;
    CConsoleAuth auth;
    // The owner's thread only: set by Start before the server thread runs, reset by Stop after it
    // has ended; the handlers read `http` only while it runs.
    std::unique_ptr<httplib::Server> http;
    std::thread thread;
    int port = -1;
    std::unique_ptr<CConnectionDeadlines> deadlines;  // of the connections of `http`, while it runs
    CWebListCtrl sessionList;  // lock themselves
    CWebListCtrl databaseList;
    // The console's one "user-interface thread": sheets and restarts. Restarts hold it without
    // touching a member.
    CMutex uiLock;
    std::map<std::string, std::unique_ptr<CWebSheet>> sheets GUARDED_BY(uiLock);  // by login token
};

// Helpers of the route handlers.
void SendJson(httplib::Response& res, const nlohmann::json& body, int status = 200);
// Parses the request body as a JSON object; false after answering 400.
bool ParseBody(const httplib::Request& req, httplib::Response& res, nlohmann::json& body);
// The login token of the request's cookie ("" when there is none).
std::string SessionToken(const httplib::Request& req);
