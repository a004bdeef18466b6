#pragma once
// CListener: owns the server's listening TCP socket. Its thread waits for connections, accepts
// them, drops them while the service or database access is forbidden or the IP filter says no, and hands the
// rest to CTunnelArray::NewTunnel. One wait (poll) covers both the listening socket and the stop
// event, at most 100 ms, so a connection is taken as it arrives and a stop is prompt.
// Ownership: created and deleted by CTunnelArray (ListenerStart/ListenerStop).
// Threads: Init, Stop and destruction on the controlling (host) thread; Run and OnAccept on the
// listener thread.

#include <cstdint>
#include <string>

#include "platform/socket.h"
#include "platform/tls.h"
#include "server/_threadbase.h"
#include "server/settings.h"

class CTunnelArray;

class CListener : public CThreadBase {
public:
    // Most connections taken in one wake-up before the stop flag is looked at again.
    static constexpr int kMaxAcceptsPerWake = 64;

    CListener() = default;
    // Stops the thread, then closes the listening socket.
    ~CListener() override;

    // Listens at `port` (0: any free port, see GetPort) of `address` (PlatListen: "" every
    // interface, IPv6 and IPv4) with `backlog`. False when `owner` is null or the socket cannot be
    // created, bound or put to listen (the reason goes to the debug trace and to GetLastError).
    // `owner` must outlive this object.
    bool Init(CTunnelArray* owner, int backlog, int port, const std::string& address = "");

    // Ends the thread (StopThread(INFINITE)).
    virtual void Stop();

    // Listener thread body; returns 0.
    uint32_t Run() override;

    // Accepts pending connections (at most kMaxAcceptsPerWake). Listener thread.
    // False when accept failed with something other than "nothing pending".
    bool OnAccept();

    // The bound port (the real one when Init was given 0), or -1 without a socket.
    int GetPort() const;
    // System error number of the last failed Init step, 0 after success.
    int GetLastError() const { return m_lastError; }

    CTunnelArray* m_owner = nullptr;
    const PlatTlsContext* m_tls = nullptr;  // set before Create for the TLS port (not owned)
    int m_port = 0;
    SOCKET_T m_socket = INVALID_SOCKET_T;  // set by Init, closed by the destructor

private:
    // Logs one line when [Server] ForbidService has turned on or off since the last look.
    // Listener thread.
    void NoteServiceSwitch();
    // Counts the connection in the address limits; false (and a log line at most once a minute
    // per address) when it is over one. Listener thread.
    bool IsWithinAddressLimits(const std::string& address, const CServerSettings& settings);

    int m_lastError = 0;
    bool m_serviceOff = false;  // listener thread only
};
