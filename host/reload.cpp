// SIGHUP reload of settings, IP filter, TLS certificate and catalogue (see reload.h).
#include "host/reload.h"

#include "host/hostsettings.h"
#include "platform/file.h"
#include "server/tunnelarray.h"

namespace {

std::string InstanceFile(const std::string& home, const std::string& name) {
    return name.empty() || name[0] == '/' ? name : home + name;
}

// The names of the settings that differ and act only when their part restarts.
std::string NeedsRestart(const CServerSettings& was, const CServerSettings& now) {
    std::string listener, backend;
    const auto note = [](std::string& list, bool differs, const char* key) {
        if (differs)
            list += (list.empty() ? "" : ", ") + std::string(key);
    };
    note(listener, was.m_port != now.m_port, "ListenerPort");
    note(listener, was.m_listenAddress != now.m_listenAddress, "ListenAddress");
    note(listener, was.m_plainPort != now.m_plainPort, "PlainPort");
    note(listener, was.m_tlsPort != now.m_tlsPort, "TlsPort");
    note(backend, was.m_interfaceLibrary != now.m_interfaceLibrary, "interface");
    note(backend, was.m_instanceName != now.m_instanceName, "DB Instance");
    note(backend, was.m_serverAddress != now.m_serverAddress, "DBIPAddress");
    note(backend, was.m_readServers != now.m_readServers, "ReadServers");
    note(backend, was.m_backendFolder != now.m_backendFolder, "BackendFolder");
    note(backend, was.m_serverUser != now.m_serverUser || was.m_serverPassword != now.m_serverPassword,
         "ServerUser/ServerPassword");
    std::string text;
    if (!listener.empty())
        text = listener + " take effect when the listener restarts";
    if (!backend.empty())
        text += (text.empty() ? "" : "; ") + backend + " take effect when the back-end is reconnected";
    return text;
}

// vk9000.ini. False (old settings kept) when it cannot be used.
bool ReloadSettings(CTunnelArray& manager, const std::string& home, int portOverride) {
    const std::string iniFile = home + "vk9000.ini";
    const auto was = manager.m_settings.Snapshot();
    CServerSettings now;
    std::string error;
    if (!ReadHostSettings(iniFile, now, error)) {
        manager.m_log.Write(1, "reload: %s not taken, the old settings stay: %s", iniFile.c_str(), error.c_str());
        return false;
    }
    if (portOverride >= 0)
        now.m_port = static_cast<unsigned>(portOverride);
    if (now.m_ansiCodePage != was->m_ansiCodePage) {
        manager.m_log.Write(1, "reload: AnsiCodePage %s takes effect when vk9000 restarts", now.m_ansiCodePage.c_str());
        now.m_ansiCodePage = was->m_ansiCodePage;
    }
    const std::string restart = NeedsRestart(*was, now);
    if (!restart.empty())
        manager.m_log.Write(1, "reload: %s", restart.c_str());
    ApplyHostSettings(now, home, manager);
    return true;
}

// vkipfilt.cfg: a missing file is an empty filter, an unreadable one keeps the old filter.
bool ReloadIPFilter(CTunnelArray& manager, const std::string& home) {
    const std::string file = home + "vkipfilt.cfg";
    if (!PlatFileExists(file)) {
        manager.InitIPFilter(file.c_str());
        return true;
    }
    CIPFilter fresh;
    if (fresh.Init(file.c_str(), 0, 0) != 0) {
        manager.m_log.Write(1, "reload: %s not taken (unreadable or above %zu bytes), the old filter stays",
                            file.c_str(), CIPFilter::kMaxFileBytes);
        return false;
    }
    int friendsOnly = 0, enemyRefuse = 0;
    std::vector<std::string> friends, enemies;
    fresh.GetFilter(friendsOnly, enemyRefuse, friends, enemies);
    manager.m_ipFilter.SetFilter(friendsOnly, enemyRefuse, friends, enemies);
    return true;
}

}  // namespace

bool LoadTlsCertificate(CTunnelArray& manager, const CServerSettings& settings, const std::string& home,
                        std::string& error) {
    if (settings.m_tlsPort == 0)
        return true;
    return manager.m_tlsContext.Load(InstanceFile(home, settings.m_tlsCertFile),
                                     InstanceFile(home, settings.m_tlsKeyFile), error);
}

bool ReloadInstance(CTunnelArray& manager, const std::string& home, int portOverride) {
    manager.m_log.Write(2, "reload requested");
    bool ok = ReloadSettings(manager, home, portOverride);
    ok = ReloadIPFilter(manager, home) && ok;
    std::string error;
    if (!LoadTlsCertificate(manager, *manager.m_settings.Snapshot(), home, error)) {
        manager.m_log.Write(1, "reload: %s; the old certificate stays", error.c_str());
        ok = false;
    }
    if (manager.m_databases.InitAllDatabase(error) != 0) {
        manager.m_log.Write(1, "reload: catalogue not reloaded: %s", error.c_str());
        ok = false;
    }
    manager.m_log.Write(2, "reload %s: %zu database(s)", ok ? "done" : "done with errors",
                        manager.m_databases.GetEntries().size());
    return ok;
}
