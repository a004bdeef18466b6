#pragma once
// CServerSettings and CSettings: every run-time setting of one server in one value, and the holder
// that the session manager owns. The host loads it from vk9000.ini and saves it back; the
// configuration sheet edits it; a session takes one consistent snapshot at the start of each
// request and reads nothing else for that request.
// Ownership: CTunnelArray owns the one CSettings (m_settings). Snapshots are shared, immutable
// copies: holding one never blocks a writer, and a writer never changes a snapshot in use.
// Threads: any thread may read or replace; replacements are serialised, readers never block them.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/mutex.h"

// How a session answers what it cannot serve: as described (end the association) or with bib-1
// diagnostics in the responses ([Server] Diagnostics=bib1).
enum class CDiagnosticsMode { kNone = 0, kBib1 = 1 };

// The values. Defaults are the host's documented defaults (host/vk9000.ini.sample).
struct CServerSettings {
    // [common]
    unsigned m_port = 210;                           // ListenerPort, 1..65534
    std::string m_serverAddress = "localhost";       // DBIPAddress
    // [Strata]
    std::string m_interfaceLibrary = "localcore32.dll";  // interface
    std::string m_instanceName = "Lumo";             // DB Instance
    int m_backendVersion = 1;                        // Version: 0 Kaltro, 1 Lumo
    // [Server]
    std::string m_listenAddress;                     // ListenAddress: "" every interface, IPv6 and IPv4
    bool m_plainPort = true;                         // PlainPort: 0 serves no plain port (TLS only)
    int m_tlsPort = 0;                               // TlsPort: Z39.50 over TLS, 0: none
    std::string m_tlsCertFile;                       // TlsCertFile (PEM chain), relative to home
    std::string m_tlsKeyFile;                        // TlsKeyFile (PEM key), relative to home
    bool m_timeoutEnabled = true;                    // TimeoutEnabled
    int m_timeoutSeconds = 600;                      // TimeoutSeconds
    int m_maxSearchHits = 10000;                     // MaxSearchHits
    int m_maxResultSetSize = 0;                      // MaxResultSetSize, below 1: no limit
    int64_t m_maxRequestBytes = 16 * 1024 * 1024;    // MaxRequestBytes
    bool m_logPackets = false;                       // LogPackets
    bool m_logEnabled = true;                        // Log
    std::string m_ansiCodePage = "GB18030";          // AnsiCodePage (an iconv name)
    std::string m_queryCharset = "ansi";             // QueryCharset=ansi|utf-8|auto: terms of
                                                     // clients that did not negotiate UTF-8
    bool m_forbidDatabase = false;                   // ForbidDatabase
    bool m_forbidService = false;                    // ForbidService: the listener refuses all
    bool m_showUnconfigured = false;                 // ShowUnconfigured
    bool m_hideWindow = true;                        // a daemon has no window (host only)
    CDiagnosticsMode m_diagnostics = CDiagnosticsMode::kNone;  // Diagnostics=none|bib1
    int m_defaultUseAttribute = 1016;                // DefaultUseAttribute (bib1 mode only)
    bool m_accessLog = false;                        // AccessLog: DIR/YYYYMMDD.access.log
    int m_maxSessionsPerAddress = 0;                 // MaxSessionsPerAddress, 0: no limit
    int m_maxConnectsPerMinute = 0;                  // MaxConnectsPerMinute (per address), 0: no limit
    bool m_sruEnabled = false;                       // [SRU] Enabled: SRU over HTTP on the Z39.50 port
    std::string m_sruListen;                         // [SRU] Listen=[ADDR:]PORT: a port of its own too
    bool m_sruAllowBasicOverPlain = false;           // [SRU] AllowBasicOverPlain: Basic without TLS
    int m_sruMaxResultSetTtl = 300;                  // [SRU] MaxResultSetTTL: longest resultSetTTL kept (s), 0: none
    int m_sruMaxResultSets = 100;                    // [SRU] MaxResultSets: kept sets server-wide, 0: none
    // [Access]
    bool m_allowAnonymous = false;                   // AllowAnonymous
    std::string m_anonymousUser = "public";          // AnonymousUser
    std::string m_anonymousPassword;                 // AnonymousPassword
    bool m_acceptOpen = true;                        // AcceptOpen
    bool m_acceptIdPass = true;                      // AcceptIdPass
    int m_badLoginAction = 1;                        // BadLoginAction: 0 anonymous, 1 refuse
    bool m_requireTlsForPasswords = false;           // RequireTlsForPasswords: open/idPass on TLS only
    // [Backend]
    std::string m_dbUser;                            // DBUser
    std::string m_dbPassword;                        // DBPassword
    std::string m_backendFolder = "backend";         // BackendFolder, relative to the home folder
    std::string m_serverUser;                        // ServerUser: network back-end's own role
    std::string m_serverPassword;                    // ServerPassword
    int m_maxConnections = 16;                       // MaxConnections: network back-end pool cap
    std::string m_readServers;                       // ReadServers: hot standbys, "host[:port],..."
    int m_cacheMegabytes = 64;                       // CacheMegabytes: network back-end cache, 0 off
};

class CSettings {
public:
    CSettings() : m_current(std::make_shared<const CServerSettings>()) {}

    // The current values; the copy stays valid and unchanged as long as it is held.
    std::shared_ptr<const CServerSettings> Snapshot() const {
        CMutexLock lock(m_lock);
        return m_current;
    }

    // Replaces every value at once.
    void Replace(CServerSettings values) {
        auto next = std::make_shared<const CServerSettings>(std::move(values));
        CMutexLock lock(m_lock);
        m_current = std::move(next);
    }

    // Changes some values: `edit` gets a copy of the current ones; the result replaces them.
    // Concurrent Update calls never lose each other's changes.
    template <class Edit>
    void Update(Edit&& edit) {
        CMutexLock writers(m_writeLock);
        CServerSettings copy = *Snapshot();
        edit(copy);
        Replace(std::move(copy));
    }

private:
    mutable CMutex m_lock;
    CMutex m_writeLock;          // serialises Update
    std::shared_ptr<const CServerSettings> m_current GUARDED_BY(m_lock);  // the pointer only
};
