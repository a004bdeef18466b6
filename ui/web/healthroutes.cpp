// /healthz and /readyz of the operator console (see healthroutes.h).
#include "ui/web/healthroutes.h"

#include <httplib.h>

#include "server/readiness.h"

bool IsHealthPath(const std::string& path) {
    return path == "/healthz" || path == "/readyz";
}

void AddHealthRoutes(httplib::Server& http, CTunnelArray& manager) {
    http.Get("/healthz", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("ok\n", "text/plain; charset=utf-8");
    });
    auto readiness = std::make_shared<CReadiness>(manager);
    http.Get("/readyz", [readiness](const httplib::Request&, httplib::Response& res) {
        std::string why;
        const bool ready = readiness->Check(why);
        res.status = ready ? 200 : 503;
        res.set_content(ready ? "ready\n" : "not ready: " + why + "\n", "text/plain; charset=utf-8");
    });
}
