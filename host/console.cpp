// vk9000's operator console: [Console] settings, the operator password, and the host's side of
// Apply and restarts (see console.h).
#include "host/console.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "host/hostsettings.h"
#include "platform/inifile.h"
#include "platform/ipaddress.h"
#include "platform/socket.h"
#include "platform/syserror.h"
#include "server/tunnelarray.h"
#include "ui/web/consoleauth.h"

namespace {

// Reads one line from standard input, without echo when it is a terminal.
bool ReadSecretLine(const char* prompt, std::string& line) {
    const bool tty = ::isatty(STDIN_FILENO) != 0;
    termios saved{};
    if (tty) {
        std::fprintf(stderr, "%s", prompt);
        ::tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    const bool ok = static_cast<bool>(std::getline(std::cin, line));
    if (tty) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::fprintf(stderr, "\n");
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return ok;
}

}  // namespace

bool ParseConsoleListen(const std::string& text, std::string& address, int& port, std::string& error) {
    address = "127.0.0.1";
    long value = 0;
    if (!PlatSplitListenSpec(text, 65535, address, value) || address.empty()) {
        error = "console address must be [ADDR:]PORT with PORT 0 to 65535, not \"" + text + "\"";
        return false;
    }
    port = static_cast<int>(value);
    return true;
}

bool StoreConsolePassword(const std::string& iniFile, const std::string& password, std::string& error) {
    const std::string hash = HashConsolePassword(password);
    if (hash.empty()) {
        error = "cannot hash the password (no random numbers)";
        return false;
    }
    if (!PlatWriteProfileString("Console", "PasswordHash", hash.c_str(), iniFile)) {
        error = "cannot write " + iniFile;
        return false;
    }
    return true;
}

int SetConsolePasswordFromInput(const std::string& iniFile) {
    std::string password, again;
    if (!ReadSecretLine("Console password: ", password) || password.empty()) {
        std::fprintf(stderr, "vk9000: no password given on standard input\n");
        return 2;
    }
    if (::isatty(STDIN_FILENO) && (!ReadSecretLine("Again: ", again) || again != password)) {
        std::fprintf(stderr, "vk9000: the two passwords differ\n");
        return 2;
    }
    std::string error;
    if (!StoreConsolePassword(iniFile, password, error)) {
        std::fprintf(stderr, "vk9000: %s\n", error.c_str());
        return 2;
    }
    std::printf("vk9000: console password set in %s\n", iniFile.c_str());
    return 0;
}

CConsoleHost::CConsoleHost(CTunnelArray& manager, std::string home, int portOverride)
    : m_manager(manager), m_home(std::move(home)), m_portOverride(portOverride) {
    const auto settings = manager.m_settings.Snapshot();
    m_loadedLibrary = settings->m_interfaceLibrary;
    m_loadedInstance = settings->m_instanceName;
}

bool CConsoleHost::SaveSettings(std::string& error) {
    const std::string iniFile = m_home + "vk9000.ini";
    CServerSettings values = *m_manager.m_settings.Snapshot();
    if (m_portOverride >= 0 && values.m_port == static_cast<unsigned>(m_portOverride)) {
        CServerSettings file;
        std::string ignored;
        ReadHostSettings(iniFile, file, ignored);
        values.m_port = file.m_port;
    }
    return SaveHostSettings(iniFile, values, error);
}

bool CConsoleHost::RestartListener(std::string& error) {
    // Try the new port first, so that a port in use leaves the old listener running.
    const auto settings = m_manager.m_settings.Snapshot();
    const unsigned port = settings->m_port;
    int code = 0;
    SOCKET_T probe = PlatListen(static_cast<unsigned short>(port), settings->m_listenAddress, 1, code);
    if (probe == INVALID_SOCKET_T && static_cast<int>(port) != m_manager.GetListenerPort()) {
        error = "cannot listen on port " + std::to_string(port) + ": " + PlatSystemErrorText(code);
        return false;
    }
    PlatCloseSocket(probe);
    // The sessions are the manager's, not the listener's: they stay open.
    if (!m_manager.ListenerStart()) {
        error = "cannot listen on port " + std::to_string(port) + ": " +
                PlatSystemErrorText(m_manager.GetListenerError());
        return false;
    }
    m_manager.m_log.Write(2, "service restarted on port %d by the console", m_manager.GetListenerPort());
    return true;
}

bool CConsoleHost::ReconnectBackend(std::string& error) {
    const auto settings = m_manager.m_settings.Snapshot();
    std::string note;
    CInterface::SetStoreFolder(BackendStoreFolder(*settings, m_home, note));
    // Sessions keep the channels they have; new logins use the new connection. The interface is
    // selected again only when the mode or the instance changed: a login or address change needs
    // only a new catalogue channel.
    m_manager.m_interface.SetNetworkOptions(BackendNetOptions(*settings));
    const bool sameInterface = settings->m_interfaceLibrary == m_loadedLibrary &&
                               settings->m_instanceName == m_loadedInstance;
    const int result = sameInterface ? m_manager.m_databases.InitAllDatabase(error)
                                     : m_manager.m_databases.Init(error);
    if (!sameInterface && result == 0) {
        m_loadedLibrary = settings->m_interfaceLibrary;
        m_loadedInstance = settings->m_instanceName;
    }
    if (result != 0) {
        m_manager.m_log.Write(1, "back-end reconnect failed: %s", error.c_str());
        return false;
    }
    m_manager.m_log.Write(2, "back-end reconnected by the console");
    return true;
}

// Says where an operator who looks for the console finds out how to turn it on.
static void ReportConsoleOff(CTunnelArray& manager, const std::string& home) {
    const std::string how = "console off: turn it on with --console [ADDR:]PORT or [Console] Listen=PORT in " +
                            home + "vk9000.ini (operator password: vk9000 --home " + home +
                            " --set-console-password)";
    std::printf("vk9000: %s\n", how.c_str());
    std::fflush(stdout);
    manager.m_log.Write(2, "%s", how.c_str());
}

std::unique_ptr<CHostConsole> StartConsole(CTunnelArray& manager, const std::string& home,
                                           const std::string& listen, bool demo, int portOverride,
                                           std::string& error, bool& cannotListen) {
    cannotListen = false;
    const std::string iniFile = home + "vk9000.ini";
    std::string where = listen.empty() ? PlatGetProfileString("Console", "Listen", "", iniFile) : listen;
    // The demo's own console address is a convenience: when another program (or another demo)
    // holds it, the demo serves without a console instead of not at all.
    const bool demoDefault = where.empty() && demo;
    if (demoDefault)
        where = kDemoConsoleListen;
    if (where.empty()) {
        ReportConsoleOff(manager, home);
        return nullptr;
    }
    VKConsoleOptions options;
    if (!ParseConsoleListen(where, options.address, options.port, error))
        return nullptr;
    options.passwordHash = PlatGetProfileString("Console", "PasswordHash", "", iniFile);
    if (options.passwordHash.empty() && demo) {
        if (!StoreConsolePassword(iniFile, "demo", error))
            return nullptr;
        options.passwordHash = PlatGetProfileString("Console", "PasswordHash", "", iniFile);
    }
    if (options.passwordHash.empty()) {
        error = "the console needs an operator password: vk9000 --home " + home +
                " --set-console-password";
        return nullptr;
    }
    options.certFile = PlatGetProfileString("Console", "CertFile", "", iniFile);
    options.keyFile = PlatGetProfileString("Console", "KeyFile", "", iniFile);

    auto console = std::make_unique<CHostConsole>();
    console->host = std::make_unique<CConsoleHost>(manager, home, portOverride);
    console->server = std::make_unique<CConsoleServer>(manager, *console->host, options);
    if (!console->server->Start(error)) {
        cannotListen = error.rfind("cannot listen", 0) == 0;
        if (cannotListen && demoDefault) {
            std::fprintf(stderr, "vk9000: console: %s; the demo runs without its console\n", error.c_str());
            manager.m_log.Write(1, "console not started: %s", error.c_str());
            error.clear();
            cannotListen = false;
        }
        return nullptr;
    }
    const bool demoPassword = demo && VerifyConsolePassword("demo", options.passwordHash);
    std::printf("vk9000: console at %s://%s:%d/%s\n", console->server->IsHttps() ? "https" : "http",
                options.address.c_str(), console->server->GetPort(),
                demoPassword ? " (operator password: demo)" : "");
    std::fflush(stdout);
    manager.m_log.Write(2, "console started on %s:%d", options.address.c_str(), console->server->GetPort());
    return console;
}
