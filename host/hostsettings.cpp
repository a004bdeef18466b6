// Reading vk9000.ini into CHostSettings and applying them to the session manager.
#include "host/hostsettings.h"

#include <cstdlib>

#include "platform/inifile.h"
#include "server/tunnelarray.h"

namespace {

bool ReadBool(const char* section, const char* key, bool def, const std::string& file) {
    return PlatGetProfileInt(section, key, def ? 1 : 0, file) != 0;
}

int64_t ReadInt64(const char* section, const char* key, int64_t def, const std::string& file) {
    const std::string text = PlatGetProfileString(section, key, "", file);
    if (text.empty())
        return def;
    return std::strtoll(text.c_str(), nullptr, 10);
}

}  // namespace

bool ReadHostSettings(const std::string& file, CHostSettings& s, std::string& error) {
    const int port = PlatGetProfileInt("common", "ListenerPort", static_cast<int>(s.port), file);
    s.serverAddress = PlatGetProfileString("common", "DBIPAddress", s.serverAddress, file);
    s.interfaceLibrary = PlatGetProfileString("Strata", "interface", s.interfaceLibrary, file);
    s.instanceName = PlatGetProfileString("Strata", "DB Instance", s.instanceName, file);
    s.backendVersion = PlatGetProfileInt("Strata", "Version", s.backendVersion, file);

    s.timeoutEnabled = ReadBool("Server", "TimeoutEnabled", s.timeoutEnabled, file);
    s.timeoutSeconds = PlatGetProfileInt("Server", "TimeoutSeconds", s.timeoutSeconds, file);
    s.maxSearchHits = PlatGetProfileInt("Server", "MaxSearchHits", s.maxSearchHits, file);
    s.maxResultSetSize = PlatGetProfileInt("Server", "MaxResultSetSize", s.maxResultSetSize, file);
    s.maxRequestBytes = ReadInt64("Server", "MaxRequestBytes", s.maxRequestBytes, file);
    s.logPackets = ReadBool("Server", "LogPackets", s.logPackets, file);
    s.logEnabled = ReadBool("Server", "Log", s.logEnabled, file);
    s.ansiCodePage = PlatGetProfileString("Server", "AnsiCodePage", s.ansiCodePage, file);
    s.forbidDatabase = ReadBool("Server", "ForbidDatabase", s.forbidDatabase, file);
    s.showUnconfigured = ReadBool("Server", "ShowUnconfigured", s.showUnconfigured, file);

    s.allowAnonymous = ReadBool("Access", "AllowAnonymous", s.allowAnonymous, file);
    s.anonymousUser = PlatGetProfileString("Access", "AnonymousUser", s.anonymousUser, file);
    s.anonymousPassword = PlatGetProfileString("Access", "AnonymousPassword", s.anonymousPassword, file);
    s.acceptOpen = ReadBool("Access", "AcceptOpen", s.acceptOpen, file);
    s.acceptIdPass = ReadBool("Access", "AcceptIdPass", s.acceptIdPass, file);
    s.badLoginAction = PlatGetProfileInt("Access", "BadLoginAction", s.badLoginAction, file);

    s.dbUser = PlatGetProfileString("Backend", "DBUser", s.dbUser, file);
    s.dbPassword = PlatGetProfileString("Backend", "DBPassword", s.dbPassword, file);
    s.backendFolder = PlatGetProfileString("Backend", "BackendFolder", s.backendFolder, file);

    if (port < 1 || port > 65534) {
        error = "[common] ListenerPort must be 1 to 65534, not " + std::to_string(port);
        return false;
    }
    s.port = static_cast<unsigned>(port);
    if (s.timeoutSeconds < 0) {
        error = "[Server] TimeoutSeconds must not be negative";
        return false;
    }
    if (s.maxRequestBytes < 1024 || s.maxRequestBytes > (int64_t(1) << 30)) {
        error = "[Server] MaxRequestBytes must be 1024 to 1073741824";
        return false;
    }
    if (s.badLoginAction != 0 && s.badLoginAction != 1) {
        error = "[Access] BadLoginAction must be 0 (continue as anonymous) or 1 (refuse)";
        return false;
    }
    if (s.backendVersion != 0 && s.backendVersion != 1) {
        error = "[Strata] Version must be 0 (Kaltro) or 1 (Lumo)";
        return false;
    }
    return true;
}

void ApplyHostSettings(const CHostSettings& s, const std::string& homeDir, CTunnelArray& m) {
    m.m_homeDir = homeDir;
    m.m_logPackets = s.logPackets;
    m.m_log.SetFolder(homeDir);
    m.m_log.m_enabled = s.logEnabled;
    m.m_interfaceLibrary = s.interfaceLibrary;
    m.m_instanceName = s.instanceName;
    m.m_serverAddress = s.serverAddress;
    m.m_dbUser = s.dbUser;
    m.m_dbPassword = s.dbPassword;
    m.m_showUnconfigured = s.showUnconfigured;
    m.m_backendVersion = s.backendVersion;
    m.m_port = s.port;
    m.m_timeoutEnabled = s.timeoutEnabled;
    m.m_timeoutSeconds = s.timeoutSeconds;
    m.m_maxSearchHits = s.maxSearchHits;
    m.m_maxResultSetSize = s.maxResultSetSize;
    m.m_hideWindow = true;  // a daemon has no window
    m.m_allowAnonymous = s.allowAnonymous;
    m.m_anonymousUser = s.anonymousUser;
    m.m_anonymousPassword = s.anonymousPassword;
    m.m_acceptIdPass = s.acceptIdPass;
    m.m_acceptOpen = s.acceptOpen;
    m.m_badLoginAction = s.badLoginAction;
    m.m_forbidDatabase = s.forbidDatabase;
    m.m_forbidService = false;
    m.m_maxRequestBytes = s.maxRequestBytes;
}
