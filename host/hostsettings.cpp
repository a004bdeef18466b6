// vk9000.ini <-> CServerSettings: one table of keys serves reading and saving; range checks.
#include "host/hostsettings.h"

#include "berkit/codepage.h"

#include <strings.h>
#include <unistd.h>

#include <cstdlib>
#include <type_traits>
#include <variant>

#include "backend/strata/strata_cache.h"
#include "platform/inifile.h"
#include "server/tunnelarray.h"
#include "setup/coralib/coralib.h"

namespace {

using Member = std::variant<unsigned CServerSettings::*, int CServerSettings::*, int64_t CServerSettings::*,
                            bool CServerSettings::*, std::string CServerSettings::*,
                            CDiagnosticsMode CServerSettings::*>;

struct IniKey {
    const char* m_section;
    const char* m_key;
    Member m_member;
};

// Every key of vk9000.ini, in the order of host/vk9000.ini.sample.
const IniKey kKeys[] = {
    {"common", "ListenerPort", &CServerSettings::m_port},
    {"common", "DBIPAddress", &CServerSettings::m_serverAddress},
    {"Strata", "interface", &CServerSettings::m_interfaceLibrary},
    {"Strata", "DB Instance", &CServerSettings::m_instanceName},
    {"Strata", "Version", &CServerSettings::m_backendVersion},
    {"Server", "ListenAddress", &CServerSettings::m_listenAddress},
    {"Server", "PlainPort", &CServerSettings::m_plainPort},
    {"Server", "TlsPort", &CServerSettings::m_tlsPort},
    {"Server", "TlsCertFile", &CServerSettings::m_tlsCertFile},
    {"Server", "TlsKeyFile", &CServerSettings::m_tlsKeyFile},
    {"Server", "TimeoutEnabled", &CServerSettings::m_timeoutEnabled},
    {"Server", "TimeoutSeconds", &CServerSettings::m_timeoutSeconds},
    {"Server", "MaxSearchHits", &CServerSettings::m_maxSearchHits},
    {"Server", "MaxResultSetSize", &CServerSettings::m_maxResultSetSize},
    {"Server", "MaxRequestBytes", &CServerSettings::m_maxRequestBytes},
    {"Server", "LogPackets", &CServerSettings::m_logPackets},
    {"Server", "Log", &CServerSettings::m_logEnabled},
    {"Server", "AnsiCodePage", &CServerSettings::m_ansiCodePage},
    {"Server", "QueryCharset", &CServerSettings::m_queryCharset},
    {"Server", "ForbidDatabase", &CServerSettings::m_forbidDatabase},
    {"Server", "ForbidService", &CServerSettings::m_forbidService},
    {"Server", "ShowUnconfigured", &CServerSettings::m_showUnconfigured},
    {"Server", "Diagnostics", &CServerSettings::m_diagnostics},
    {"Server", "DefaultUseAttribute", &CServerSettings::m_defaultUseAttribute},
    {"Server", "AccessLog", &CServerSettings::m_accessLog},
    {"Server", "MaxSessionsPerAddress", &CServerSettings::m_maxSessionsPerAddress},
    {"Server", "MaxConnectsPerMinute", &CServerSettings::m_maxConnectsPerMinute},
    {"SRU", "Enabled", &CServerSettings::m_sruEnabled},
    {"SRU", "Listen", &CServerSettings::m_sruListen},
    {"SRU", "AllowBasicOverPlain", &CServerSettings::m_sruAllowBasicOverPlain},
    {"SRU", "MaxResultSetTTL", &CServerSettings::m_sruMaxResultSetTtl},
    {"SRU", "MaxResultSets", &CServerSettings::m_sruMaxResultSets},
    {"Access", "AllowAnonymous", &CServerSettings::m_allowAnonymous},
    {"Access", "AnonymousUser", &CServerSettings::m_anonymousUser},
    {"Access", "AnonymousPassword", &CServerSettings::m_anonymousPassword},
    {"Access", "AcceptOpen", &CServerSettings::m_acceptOpen},
    {"Access", "AcceptIdPass", &CServerSettings::m_acceptIdPass},
    {"Access", "BadLoginAction", &CServerSettings::m_badLoginAction},
    {"Access", "RequireTlsForPasswords", &CServerSettings::m_requireTlsForPasswords},
    {"Backend", "DBUser", &CServerSettings::m_dbUser},
    {"Backend", "DBPassword", &CServerSettings::m_dbPassword},
    {"Backend", "BackendFolder", &CServerSettings::m_backendFolder},
    {"Backend", "ServerUser", &CServerSettings::m_serverUser},
    {"Backend", "ServerPassword", &CServerSettings::m_serverPassword},
    {"Backend", "MaxConnections", &CServerSettings::m_maxConnections},
    {"Backend", "ReadServers", &CServerSettings::m_readServers},
    {"Backend", "CacheMegabytes", &CServerSettings::m_cacheMegabytes},
};

constexpr const char* kDiagnosticsNames[] = {"none", "bib1"};

// Reads one key over its current value. A Diagnostics value other than the names gives -1 (kept
// as an out-of-range mode for the check).
void ReadKey(const IniKey& k, CServerSettings& s, const std::string& file, bool& badDiagnostics) {
    const std::string text = PlatGetProfileString(k.m_section, k.m_key, "", file);
    if (text.empty() && !std::holds_alternative<std::string CServerSettings::*>(k.m_member))
        return;
    std::visit(
        [&](auto member) {
            using T = std::remove_cvref_t<decltype(s.*member)>;
            if constexpr (std::is_same_v<T, std::string>) {
                s.*member = PlatGetProfileString(k.m_section, k.m_key, s.*member, file);
            } else if constexpr (std::is_same_v<T, CDiagnosticsMode>) {
                if (strcasecmp(text.c_str(), kDiagnosticsNames[1]) == 0)
                    s.*member = CDiagnosticsMode::kBib1;
                else if (strcasecmp(text.c_str(), kDiagnosticsNames[0]) == 0)
                    s.*member = CDiagnosticsMode::kNone;
                else
                    badDiagnostics = true;
            } else if constexpr (std::is_same_v<T, bool>) {
                s.*member = PlatGetProfileInt(k.m_section, k.m_key, 0, file) != 0;
            } else if constexpr (std::is_same_v<T, int64_t>) {
                s.*member = std::strtoll(text.c_str(), nullptr, 10);
            } else {
                s.*member = static_cast<T>(PlatGetProfileInt(k.m_section, k.m_key, 0, file));
            }
        },
        k.m_member);
}

std::string KeyText(const IniKey& k, const CServerSettings& s) {
    return std::visit(
        [&](auto member) -> std::string {
            using T = std::remove_cvref_t<decltype(s.*member)>;
            if constexpr (std::is_same_v<T, std::string>)
                return s.*member;
            else if constexpr (std::is_same_v<T, CDiagnosticsMode>)
                return kDiagnosticsNames[s.*member == CDiagnosticsMode::kBib1 ? 1 : 0];
            else if constexpr (std::is_same_v<T, bool>)
                return s.*member ? "1" : "0";
            else
                return std::to_string(s.*member);
        },
        k.m_member);
}

// The first out-of-range value's message, or "".
std::string CheckRanges(const CServerSettings& s, int port) {
    if (port < 1 || port > 65534)
        return "[common] ListenerPort must be 1 to 65534, not " + std::to_string(port);
    if (s.m_tlsPort < 0 || s.m_tlsPort > 65534 || (s.m_tlsPort != 0 && s.m_tlsPort == port && s.m_plainPort))
        return "[Server] TlsPort must be 0 (none) or 1 to 65534, and not the plain port";
    if (s.m_tlsPort != 0 && (s.m_tlsCertFile.empty() || s.m_tlsKeyFile.empty()))
        return "[Server] TlsPort needs TlsCertFile and TlsKeyFile";
    if (!s.m_plainPort && s.m_tlsPort == 0)
        return "[Server] PlainPort=0 needs a TlsPort";
    if (s.m_timeoutSeconds < 0)
        return "[Server] TimeoutSeconds must not be negative";
    if (s.m_maxRequestBytes < 1024 || s.m_maxRequestBytes > (int64_t(1) << 30))
        return "[Server] MaxRequestBytes must be 1024 to 1073741824";
    if (s.m_defaultUseAttribute < 1)
        return "[Server] DefaultUseAttribute must be a use attribute (1 or more)";
    if (s.m_maxSessionsPerAddress < 0 || s.m_maxConnectsPerMinute < 0)
        return "[Server] MaxSessionsPerAddress and MaxConnectsPerMinute must be 0 (no limit) or more";
    if (s.m_sruMaxResultSetTtl < 0 || s.m_sruMaxResultSetTtl > 86400 || s.m_sruMaxResultSets < 0 ||
        s.m_sruMaxResultSets > 100000)
        return "[SRU] MaxResultSetTTL must be 0 to 86400 and MaxResultSets 0 to 100000";
    if (s.m_badLoginAction != 0 && s.m_badLoginAction != 1)
        return "[Access] BadLoginAction must be 0 (continue as anonymous) or 1 (refuse)";
    if (s.m_backendVersion != 0 && s.m_backendVersion != 1)
        return "[Strata] Version must be 0 (Kaltro) or 1 (Lumo)";
    if (s.m_maxConnections < 1)
        return "[Backend] MaxConnections must be 1 or more";
    if (s.m_cacheMegabytes < 0 || s.m_cacheMegabytes > 65536)
        return "[Backend] CacheMegabytes must be 0 (no cache) to 65536";
    CQueryCharset charset;
    if (!ParseQueryCharset(s.m_queryCharset, charset))
        return "[Server] QueryCharset must be ansi, utf-8 or auto, not " + s.m_queryCharset;
    return std::string();
}

}  // namespace

bool ReadHostSettings(const std::string& file, CServerSettings& settings, std::string& error) {
    CServerSettings s = settings;
    bool badDiagnostics = false;
    for (const IniKey& k : kKeys)
        ReadKey(k, s, file, badDiagnostics);
    // The port is read as a signed value so that 0 and negative values are reported as written.
    const int port = PlatGetProfileInt("common", "ListenerPort", static_cast<int>(settings.m_port), file);
    error = badDiagnostics ? "[Server] Diagnostics must be none or bib1" : CheckRanges(s, port);
    if (!error.empty())
        return false;
    settings = std::move(s);
    return true;
}

bool SaveHostSettings(const std::string& file, const CServerSettings& settings, std::string& error) {
    for (const IniKey& k : kKeys) {
        const std::string text = KeyText(k, settings);
        if (!PlatWriteProfileString(k.m_section, k.m_key, text.c_str(), file)) {
            error = "cannot write [" + std::string(k.m_section) + "] " + k.m_key + " to " + file;
            return false;
        }
    }
    return true;
}

void ApplyHostSettings(const CServerSettings& settings, const std::string& homeDir, CTunnelArray& m) {
    m.m_homeDir = homeDir;
    m.m_log.SetFolder(homeDir);
    m.m_log.m_enabled = settings.m_logEnabled;
    m.m_accessLog.SetFolder(homeDir);
    CServerSettings copy = settings;
    copy.m_hideWindow = true;  // a daemon has no window
    m.m_settings.Replace(std::move(copy));
}

StrataNetOptions BackendNetOptions(const CServerSettings& s) {
    // The cache in front of the network back-end is process-wide: set with the rest of its options.
    StrataSetCacheBytes(static_cast<size_t>(s.m_cacheMegabytes) << 20);
    StrataNetOptions options{s.m_serverAddress, s.m_serverUser, s.m_serverPassword, s.m_maxConnections, {}};
    size_t start = 0;
    while (start <= s.m_readServers.size()) {
        size_t end = s.m_readServers.find(',', start);
        if (end == std::string::npos) end = s.m_readServers.size();
        std::string server = s.m_readServers.substr(start, end - start);
        server.erase(0, server.find_first_not_of(" \t"));
        server.erase(server.find_last_not_of(" \t") + 1);
        if (!server.empty()) options.m_readServers.push_back(server);
        start = end + 1;
    }
    return options;
}

std::string BackendStoreFolder(const CServerSettings& s, const std::string& homeDir, std::string& note) {
    note.clear();
    const std::string& own = s.m_backendFolder;
    const std::string folder = own.empty() || own[0] == '/' ? own : homeDir + own;
    const std::string file = s.m_instanceName + ".strata";
    if (strcasecmp(s.m_interfaceLibrary.c_str(), "localcore32.dll") != 0 ||
        access((folder + "/" + file).c_str(), F_OK) == 0) {
        return folder;
    }
    CRegistryInstance kernel;
    std::string program, data;
    if (kernel.Load(kKernelRegistryKey) != 0 || kernel.FindItem(s.m_instanceName, program, data) != 1)
        return folder;
    const size_t slash = data.rfind('/');
    if (slash == std::string::npos || data.compare(slash + 1, std::string::npos, file) != 0)
        return folder;
    note = "store of instance " + s.m_instanceName + " from the local kernel registry: " + data;
    return data.substr(0, slash);
}
