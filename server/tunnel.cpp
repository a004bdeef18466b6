// CTunnel: the session thread, socket hand-over, list columns, the settings snapshot and the log.

#include "server/tunnel.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "berkit/bertrace.h"
#include "platform/event.h"
#include "platform/localtime.h"
#include "server/tunnelarray.h"

CTunnel::CTunnel() {
    const time_t now = time(nullptr);
    m_created = now;
    m_lastActive = now;
}

CTunnel::~CTunnel() {
    Stop();
    ClearArray();
    ReleaseSocket();
}

void CTunnel::Stop() {
    Close();
    m_connect.API_Cancel();
    StopThread(INFINITE);
}

bool CTunnel::IsActive() const {
    return !m_bStop.load() && !m_failed.load() && m_socket.load() != INVALID_SOCKET_T;
}

void CTunnel::Close() {
    CSingleLock lock(m_sockLock);
    const SOCKET_T s = m_socket.load();
    if (s == INVALID_SOCKET_T)
        return;
    // Wake and fail any socket call in progress; the descriptor itself stays allocated until
    // ReleaseSocket, so it cannot be reused under the session thread's feet.
    PlatShutdown(s);
    m_shutSocket = s;
    m_socket.store(INVALID_SOCKET_T);
}

void CTunnel::CloseForBrokenBackend() {
    if (m_owner)
        m_owner->m_outage.Lost(m_address, m_pager.GetError());
    Close();
}

void CTunnel::ReleaseSocket() {
    CSingleLock lock(m_sockLock);
    SOCKET_T s = m_socket.exchange(INVALID_SOCKET_T);
    if (s == INVALID_SOCKET_T)
        s = m_shutSocket;
    m_shutSocket = INVALID_SOCKET_T;
    if (s != INVALID_SOCKET_T)
        PlatCloseSocket(s);
}

bool CTunnel::SetBlocking(bool blocking) {
    const SOCKET_T s = m_socket.load();
    if (s == INVALID_SOCKET_T)
        return false;
    return PlatSetNonBlocking(s, !blocking);
}

std::string CTunnel::GetUserId() const {
    CSingleLock lock(m_textLock);
    return m_userId;
}

void CTunnel::SetUserId(const std::string& text) {
    CSingleLock lock(m_textLock);
    m_userId = text;
}

void CTunnel::SetDebugInfo(const std::string& text) {
    CSingleLock lock(m_textLock);
    m_debugInfo = text;
}

std::string CTunnel::GetColumnText(int column) const {
    char text[32];
    switch (column) {
    case 0:
        snprintf(text, sizeof text, "%08x", GetId());
        return text;
    case 1:
        return m_address;
    case 2:
        return GetUserId();
    case 4:
        snprintf(text, sizeof text, "%d", m_requestCount.load());
        return text;
    case 5: {
        CSingleLock lock(m_textLock);
        return m_debugInfo;
    }
    case 6:
        return PlatFormatLocalTime("%Y/%m/%d %H:%M:%S", m_created.load());
    default:
        return std::string();
    }
}

uint32_t CTunnel::Run() {
    TakeSettingsSnapshot();
    LogInfo("connecting from %s", m_address.c_str());
    try {
        if (m_tls && !TlsHandshake())
            Close();
        while (IsActive()) {
            const int ready = WaitSocket(false, kWaitMs);
            if (ready == PLAT_WAIT_EVENT)
                break;
            if (ready == PLAT_WAIT_TIMEOUT)
                continue;
            if (ready == PLAT_WAIT_ERROR) {
                Close();
                break;
            }
            ServiceHandler();
        }
    } catch (extended_exception& e) {
        BerTrace("%s", e.GetErrorMessage());
        LogInfo("%s", e.LogText().c_str());
        m_failed = true;
    } catch (...) {
        LogInfo("%s", "Unkown error, tunnel--run stopped");
        m_failed = true;
    }
    LogInfo("disconnect from %s", m_address.c_str());
    // The thread is done with the socket and the back-end channel: give their descriptors back
    // now rather than at deletion, then tell the manager, which deletes the session at once.
    m_connect.EndChannel();
    ReleaseSocket();
    if (m_owner)
        m_owner->SessionEnded();
    return 0;
}

void CTunnel::LogInfo(const char* fmt, ...) const {
    if (!m_owner)
        return;
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int length = vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        text.resize(std::min<size_t>(static_cast<size_t>(length), CLogger::kMaxMessageBytes) + 1);
        vsnprintf(text.data(), text.size(), fmt, again);
        text.pop_back();
    }
    va_end(again);
    m_owner->m_log.Write(2, "%s", text.c_str());
}
