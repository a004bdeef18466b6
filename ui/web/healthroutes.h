#pragma once
// The console's health routes, answered without a login: GET /healthz (the process is up) and
// GET /readyz (CReadiness: listener, back-end, catalogue). Each answers 200 or 503 with a one-line
// text body and nothing else.
// Thread safety: the handlers run on the HTTP server's threads; CReadiness is shared by them.

#include <memory>
#include <string>

namespace httplib {
class Server;
}
class CTunnelArray;

// True for the paths the login gate lets through.
bool IsHealthPath(const std::string& path);
// Registers both routes on `http`; `manager` must outlive the server.
void AddHealthRoutes(httplib::Server& http, CTunnelArray& manager);
