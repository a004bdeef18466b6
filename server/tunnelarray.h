#pragma once
// CTunnelArray: the session manager and the holder of every run-time setting. It owns the list of
// live sessions (shown in a virtual list view through its CVLArray base), the manager thread that
// closes idle sessions and deletes ended ones, the listener, the IP filter, the back-end interface
// loader and the daily log. Sessions, the listener and the catalogue read the settings as
// snapshots of m_settings (server/settings.h).
// Ownership: the host creates one and destroys it at exit; destruction stops the listener, the
// manager thread and every session.
// Threads: construction, ListenerStart/ListenerStop/Stop and destruction on the host thread;
// NewTunnel on the listener thread; Run on the manager thread; the rest from any thread.
// Settings: m_settings hands out immutable snapshots, so the configuration sheet may replace
// them while other threads read them.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>

#include "backend/strata/strata_channel.h"
#include "platform/critsec.h"
#include "platform/mutex.h"
#include "platform/socket.h"
#include "server/_threadbase.h"
#include "server/accesslog.h"
#include "server/addresslimits.h"
#include "server/backendoutage.h"
#include "server/dbarray.h"
#include "server/ipfilter.h"
#include "server/listener.h"
#include "server/logger.h"
#include "server/metrics.h"
#include "server/metricshistory.h"
#include "server/settings.h"
#include "server/sru/sruresultsets.h"
#include "server/syncstring.h"
#include "ui/vlarraytempl.h"

class CTunnel;

// Command id of the session list's context menu item "删除本通道".
constexpr unsigned kCmdRemoveTunnel = 1001;

class CTunnelArray : public CVLArray<CTunnel>, public CThreadBase {
public:
    // Interval of the manager's sweep.
    static constexpr uint32_t kSweepIntervalMs = 1000;

    // Starts no thread. Settings start as the documented defaults (CServerSettings).
    CTunnelArray();
    // Stop(), then the members go.
    ~CTunnelArray() override;

    // Starts accepting connections with new listeners (old ones are stopped first): the plain
    // one on the settings' m_port unless m_plainPort is off, the TLS one on m_tlsPort when it is
    // set (with m_tlsContext, which must be loaded). False when a port cannot be opened; the
    // reason is in GetListenerError. Host thread.
    bool ListenerStart();
    // Stops and deletes the listeners, if any. Host thread.
    void ListenerStop();
    // Ends the service: listener, manager thread, then every session; the list ends empty.
    // Host thread.
    void Stop();
    // Loads the IP filter file with both switches starting off. Host thread, before the listener.
    void InitIPFilter(const char* fileName);

    // Takes over an accepted socket: creates, lists and starts a session for it. Returns 0.
    // Throws extended_exception when the session thread cannot be started (the socket is closed).
    // Listener thread (any thread).
    // With `tls` (not owned; must outlive the session's handshake start) the session speaks TLS.
    int NewTunnel(const char* address, SOCKET_T socket, const PlatTlsContext* tls = nullptr);
    // Closes the listed session `tunnel` (null, flag true or unlisted: nothing). The manager
    // deletes it on its next sweep. Any thread.
    void RemoveTunnel(CTunnel* tunnel, bool flag);

    // Manager thread body: sweeps the sessions about every 1.1 s, and at once when a session has
    // ended (SessionEnded). Returns 0.
    uint32_t Run() override;
    // Called by a session's thread as it leaves its loop: wakes the manager, so an ended session
    // is deleted (and its descriptors freed) promptly rather than on the next timed sweep. Several
    // calls before the manager wakes count as one. Any thread; never blocks.
    void SessionEnded();

    // Session list: seven columns, the context menu and its command.
    int GetColumnProp(int column, std::string& title, int& width) override;
    int FitMenuText(IMenu* menu, CTunnel* tunnel) override;
    int OnCommand(unsigned id, CTunnel* tunnel) override;

    // Identity of a session: a 32-bit number, never 0, unique among the live sessions. A released
    // number may be given again later. Any thread.
    uint32_t AllocTunnelId();
    void ReleaseTunnelId(uint32_t id);

    // The bound port of the running listener (useful with m_port 0), or -1. Host thread.
    int GetListenerPort() const;
    // The bound port of the running TLS listener, or -1. Host thread.
    int GetTlsListenerPort() const;
    // The bound port of the running SRU listener ([SRU] Listen), or -1. Host thread.
    int GetSruListenerPort() const;
    // System error number of the last failed ListenerStart, 0 otherwise. Host thread.
    int GetListenerError() const { return m_listenerError; }
    // True while the listeners started by the last ListenerStart run. Any thread.
    bool IsListening() const { return m_listening.load(); }
    // The port the last failed ListenerStart could not open. Host thread.
    int GetListenerFailedPort() const { return m_listenerFailedPort; }
    // One sweep of the session list (what Run does every 1.1 s), then the expired SRU result sets
    // dropped. Manager thread (or tests with no
    // manager thread running).
    void Sweep();

    // --- owned parts, in order ---
    std::unique_ptr<CListener> m_listener;     // host thread only; null when not listening
    std::unique_ptr<CListener> m_tlsListener;  // host thread only; null without a TLS port
    std::unique_ptr<CListener> m_sruListener;  // host thread only; null without [SRU] Listen
    PlatTlsContext m_tlsContext;  // the TLS port's certificate and key; loaded by the host
    CDBArray m_databases;  // the catalogue; loaded by the host (m_databases.Init)
    CIPFilter m_ipFilter;
    CInterface m_interface;
    CSettings m_settings;        // every run-time setting; sessions take a snapshot per request
    CServerMetrics m_metrics;    // request, hit and refusal counters for the console
    CMetricsHistory m_metricsHistory;  // the last ten minutes of m_metrics, for the charts
    CAccessLog m_accessLog;          // one line per request when [Server] AccessLog is on
    CAddressLimits m_addressLimits;  // live sessions and connection rate per client address
    CSruResultSets m_sruResultSets;  // SRU result sets kept for resultSetTTL; the sweep purges them

    // --- not settings: where the instance lives and its daily log ---
    CSyncString m_homeDir;                 // ends with "/"; file names are appended directly
    CLogger m_log;
    CBackendOutage m_outage{m_log};  // sessions report a lost back-end here: one log line per outage

private:
    // Takes the session at `index` out of the list (if it is still `tunnel`), then deletes it
    // outside the list lock and frees its identity. True when it was removed. Manager thread.
    bool DeleteTunnel(int index, CTunnel* tunnel);
    // A started listener on `port`, or null with m_listenerError set.
    std::unique_ptr<CListener> StartListener(int port, const std::string& address, const PlatTlsContext* tls);
    // The [SRU] Listen port ([ADDR:]PORT). False with m_listenerError set.
    bool StartSruListener(const std::string& listen);
    // Deletes an unlisted session and frees its identity and its place in the address limits.
    void DestroyTunnel(CTunnel* tunnel);
    // A new session object. An ended session keeps a descriptor until the manager deletes it, so
    // a burst of short associations can outrun a busy manager and leave none free: on EMFILE or
    // ENFILE this waits for the manager's next sweep and tries again, for up to a second, before
    // the error reaches the caller. Listener thread.
    CTunnel* CreateTunnel();
    // Wakes the manager and waits up to `ms` for it to finish a sweep.
    void WaitForSweep(uint32_t ms);

    // Waits up to `ms` for the stop event or a SessionEnded wake-up (which it consumes), then
    // holds while suspended. True when a stop has been requested. Manager thread.
    bool WaitStopOrWake(uint32_t ms);

    int m_listenerError = 0;
    int m_listenerFailedPort = 0;
    std::atomic<bool> m_listening{false};
    // A local socket pair: SessionEnded writes one octet to m_wakeWrite, the manager polls
    // m_wakeRead together with its stop event. Both non-blocking; constant after construction
    // (invalid when the pair could not be made: the manager then sweeps on its timer only).
    SOCKET_T m_wakeRead = INVALID_SOCKET_T;
    SOCKET_T m_wakeWrite = INVALID_SOCKET_T;

    // Sweeps finished so far; WaitForSweep waits on m_swept for this to move.
    CMutex m_sweepLock;
    std::condition_variable m_swept;
    uint64_t m_sweeps GUARDED_BY(m_sweepLock) = 0;

    CMutex m_idLock;
    uint32_t m_lastId GUARDED_BY(m_idLock) = 0;
    std::unordered_set<uint32_t> m_liveIds GUARDED_BY(m_idLock);
};
