#pragma once
// CAutoResetEvent: a Win32-style auto-reset event that can also be waited on together with a
// socket in one call (PlatWaitEventOrSocket), so a worker wakes for "stop, or data" at once.
// Thread safety: any thread may Set, Reset or Wait. Several Sets before a Wait count as one
// signal; a successful wait consumes it, so only one waiter is released per signal.

#include <cstdint>

#include "platform/socket.h"

constexpr uint32_t PLAT_WAIT_FOREVER = 0xFFFFFFFF;

class CAutoResetEvent {
public:
    // Creates the event not signalled. Throws std::system_error when no descriptor is left.
    CAutoResetEvent();
    ~CAutoResetEvent();
    CAutoResetEvent(const CAutoResetEvent&) = delete;
    CAutoResetEvent& operator=(const CAutoResetEvent&) = delete;

    void Set();
    void Reset();
    // Waits at most `timeoutMs` (PLAT_WAIT_FOREVER: no limit). True when the event was signalled;
    // the signal is consumed. False on time-out.
    bool Wait(uint32_t timeoutMs);

private:
    friend int PlatWaitEventOrSocket(CAutoResetEvent& ev, SOCKET_T sock, bool forWrite, int timeoutMs);
    // Takes the signal if present; true when it was taken.
    bool TryConsume();

    int m_fd;  // the waitable descriptor; constant after construction
};

// Results of PlatWaitEventOrSocket.
enum PlatWaitResult : int {
    PLAT_WAIT_ERROR = -1,   // bad socket or poll failure; PlatLastError() tells why
    PLAT_WAIT_EVENT = 0,    // the event was signalled (the signal is consumed)
    PLAT_WAIT_SOCKET = 1,   // the socket is readable (or writable with forWrite), closed or in error
    PLAT_WAIT_TIMEOUT = 2,  // neither within timeoutMs
};

// Waits until `ev` is signalled or `sock` is ready, at most `timeoutMs` (negative: no limit).
// When both are ready the event wins, so a stop request is never starved by a chatty peer.
// `sock` may be INVALID_SOCKET_T to wait on the event alone. Any thread.
int PlatWaitEventOrSocket(CAutoResetEvent& ev, SOCKET_T sock, bool forWrite, int timeoutMs);
