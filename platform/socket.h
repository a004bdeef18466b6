#pragma once
// TCP sockets for the listener and the sessions: listen, accept, non-blocking receive and send,
// shutdown and close, addresses. Results are values: a socket or INVALID_SOCKET_T with an error
// number out, and byte counts or a PlatIoStatus from PlatRecv/PlatSend.
// Thread safety: any thread; one socket is used by one thread at a time.

#include <cstddef>
#include <string>

using SOCKET_T = int;
constexpr SOCKET_T INVALID_SOCKET_T = -1;

// Start-up and clean-up of the socket layer, reference counted (nothing to do on POSIX; SIGPIPE
// is avoided per send). Startup returns 0.
int PlatSocketStartup();
void PlatSocketCleanup();

// A listening TCP socket on `port` (0: any free port) of `address`, SO_REUSEADDR set: "" or "::"
// listen on every interface for IPv6 and IPv4 (dual stack; IPv4 alone where the host has no
// IPv6), "0.0.0.0" on every IPv4 interface, an IPv4 or IPv6 address ("[...]" allowed) on that
// address only. INVALID_SOCKET_T on failure with the system error in errorCode (EINVAL: not an
// address).
SOCKET_T PlatListen(unsigned short port, const std::string& address, int backlog, int& errorCode);

// Accepts one connection; peerAddress receives "a.b.c.d" for an IPv4 peer (also one reaching a
// dual-stack socket), the IPv6 text ("::1") otherwise. INVALID_SOCKET_T with errorCode set on
// failure (EAGAIN/EWOULDBLOCK when a non-blocking listener has nothing pending).
SOCKET_T PlatAccept(SOCKET_T listener, std::string& peerAddress, int& errorCode);

// A blocking TCP connection to address:port (IPv4 dotted or IPv6 text). INVALID_SOCKET_T with errorCode.
SOCKET_T PlatConnect(const std::string& address, unsigned short port, int& errorCode);

// Test double: two connected stream sockets (a local socket pair). False on failure.
bool PlatSocketPair(SOCKET_T& first, SOCKET_T& second);

// Switches O_NONBLOCK on or off. False on failure.
bool PlatSetNonBlocking(SOCKET_T s, bool nonBlocking);

// Non-byte results of PlatRecv and PlatSend.
enum PlatIoStatus : long {
    PLAT_IO_WOULDBLOCK = -1,  // nothing can be transferred now; wait for readiness
    PLAT_IO_CLOSED = -2,      // the peer closed or reset the connection
    PLAT_IO_ERROR = -3,       // any other failure; PlatLastError() tells which
};

// Bytes received (> 0), or a PlatIoStatus. A zero-length buffer gives 0.
long PlatRecv(SOCKET_T s, void* buffer, size_t length);
// Bytes sent (> 0, possibly fewer than asked), or a PlatIoStatus. Never raises SIGPIPE.
long PlatSend(SOCKET_T s, const void* data, size_t length);

// Shuts down both directions (pending peers see end of stream).
void PlatShutdown(SOCKET_T s);
// Closes the socket; INVALID_SOCKET_T is ignored.
void PlatCloseSocket(SOCKET_T s);

// The connected peer's address as PlatAccept gives it, "" when unknown or not IP.
std::string PlatPeerAddress(SOCKET_T s);
// The local port the socket is bound to, or -1.
int PlatLocalPort(SOCKET_T s);
