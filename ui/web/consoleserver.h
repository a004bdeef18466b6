#pragma once
// CConsoleServer: the operator console over HTTP(S): the configuration sheet, the session and
// database lists, the live charts and /metrics, all behind the operator's login. The pages keep
// their own logic (ui/); this server only carries their state to the browser and the operator's
// actions back. HTTPS when a certificate and key are given.
// Ownership: the host outlives the server. A successful Start attaches the server's list controls
// to the manager's two lists, which session threads call at any time; so once started, call Stop
// (no request runs after it), then destroy the manager (it stops every session and still tells the
// controls the lists are empty), and only then the server, which never touches the manager again.
// Thread safety: Start, Stop and the destructor on the host thread; requests run on the HTTP
// library's worker threads.

#include <memory>
#include <string>

class CTunnelArray;

// What the console asks of the host program after the operator applied the sheet.
class IConsoleHost {
public:
    virtual ~IConsoleHost() = default;
    // Keeps the manager's settings between runs. False with `error`.
    virtual bool SaveSettings(std::string& error) = 0;
    // Listens on the settings' port; open sessions continue. False with `error` (the old
    // listener is then running again when it can be).
    virtual bool RestartListener(std::string& error) = 0;
    // Connects the back-end again with the settings' mode, address and login and reloads the
    // catalogue; open sessions continue. False with `error`.
    virtual bool ReconnectBackend(std::string& error) = 0;
};

struct VKConsoleOptions {
    std::string address = "127.0.0.1";
    int port = 0;               // 0: any free port (GetPort tells which)
    std::string passwordHash;   // [Console] PasswordHash; empty: nobody can log in
    std::string certFile;       // both set: HTTPS
    std::string keyFile;
    // A connection still open this long after it was accepted is closed, however slowly its
    // client keeps sending.
    int connectionLimitMs = 30000;
};

class CConsoleServer {
public:
    CConsoleServer(CTunnelArray& manager, IConsoleHost& host, VKConsoleOptions options);
    ~CConsoleServer();
    CConsoleServer(const CConsoleServer&) = delete;
    CConsoleServer& operator=(const CConsoleServer&) = delete;

    // Binds and starts serving. False with `error` (bad certificate, address in use).
    bool Start(std::string& error);
    // Stops serving and waits for the requests in progress.
    void Stop();
    int GetPort() const;
    bool IsHttps() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};
