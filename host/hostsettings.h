#pragma once
// Settings of the vk9000 daemon: read from the instance file vk9000.ini (the keys the setup program
// writes plus the daemon's own sections, each with a default; see host/vk9000.ini.sample) and
// applied to the session manager before any of its threads start.
// Thread safety: none needed; the daemon reads and applies them once, on its main thread.

#include <cstdint>
#include <string>

class CTunnelArray;

struct CHostSettings {
    // [common], as the setup program writes them
    unsigned port = 210;                        // ListenerPort, 1..65534
    std::string serverAddress = "localhost";    // DBIPAddress
    // [Strata]
    std::string interfaceLibrary = "localcore32.dll";  // interface
    std::string instanceName = "Lumo";          // DB Instance
    int backendVersion = 1;                     // Version: 0 Kaltro, 1 Lumo
    // [Server]
    bool timeoutEnabled = true;                 // TimeoutEnabled
    int timeoutSeconds = 600;                   // TimeoutSeconds
    int maxSearchHits = 10000;                  // MaxSearchHits
    int maxResultSetSize = 0;                   // MaxResultSetSize, below 1: no limit
    int64_t maxRequestBytes = 16 * 1024 * 1024; // MaxRequestBytes
    bool logPackets = false;                    // LogPackets
    bool logEnabled = true;                     // Log
    std::string ansiCodePage = "GBK";           // AnsiCodePage (an iconv name)
    bool forbidDatabase = false;                // ForbidDatabase
    bool showUnconfigured = false;              // ShowUnconfigured
    // [Access]
    bool allowAnonymous = false;                // AllowAnonymous
    std::string anonymousUser = "public";       // AnonymousUser
    std::string anonymousPassword;              // AnonymousPassword
    bool acceptOpen = true;                     // AcceptOpen
    bool acceptIdPass = true;                   // AcceptIdPass
    int badLoginAction = 1;                     // BadLoginAction: 0 continue as anonymous, 1 refuse
    // [Backend]
    std::string dbUser;                         // DBUser
    std::string dbPassword;                     // DBPassword
    std::string backendFolder = "backend";      // BackendFolder, relative to the home folder
};

// Reads `iniFile` over the defaults. False with `error` set when a value is out of range
// (port outside 1..65534, a negative time-out, a request limit below 1 KiB or above 1 GiB,
// BadLoginAction other than 0 or 1, Version other than 0 or 1). A missing file gives the defaults.
bool ReadHostSettings(const std::string& iniFile, CHostSettings& settings, std::string& error);

// Fills the manager's settings and log writer. `homeDir` ends with "/". Before the manager starts.
void ApplyHostSettings(const CHostSettings& settings, const std::string& homeDir,
                       CTunnelArray& manager);
