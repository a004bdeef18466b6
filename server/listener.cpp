// CListener: the listening socket and the accept loop (see listener.h).
#include "server/listener.h"

#include <cerrno>
#include <string>

#include "berkit/bertrace.h"
#include "berkit/extended_exception.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/syserror.h"
#include "server/tunnelarray.h"

namespace {
// Longest single wait of the loop; bounds how late a stop request is noticed.
constexpr int kWaitMs = 100;
}  // namespace

CListener::~CListener() {
    Stop();
    PlatCloseSocket(m_socket);
    m_socket = INVALID_SOCKET_T;
}

bool CListener::Init(CTunnelArray* owner, int backlog, int port, const std::string& address) {
    m_owner = owner;
    m_port = port;
    if (!owner || port < 0 || port > 65535) {
        m_lastError = EINVAL;
        return false;
    }
    int error = 0;
    m_socket = PlatListen(static_cast<unsigned short>(port), address, backlog, error);
    if (m_socket == INVALID_SOCKET_T) {
        m_lastError = error;
        BerTrace("bind() error %ld\n", static_cast<long>(error));
        return false;
    }
    // Non-blocking, so one wake-up can take every pending connection and stop at EAGAIN.
    if (!PlatSetNonBlocking(m_socket, true)) {
        m_lastError = PlatLastError();
        BerTrace("WSAAsyncSelect() error %ld\n", static_cast<long>(m_lastError));
        PlatCloseSocket(m_socket);
        m_socket = INVALID_SOCKET_T;
        return false;
    }
    m_lastError = 0;
    return true;
}

void CListener::Stop() { StopThread(INFINITE); }

int CListener::GetPort() const {
    return m_socket == INVALID_SOCKET_T ? -1 : PlatLocalPort(m_socket);
}

void CListener::NoteServiceSwitch() {
    const bool off = m_owner->m_settings.Snapshot()->m_forbidService;
    if (off == m_serviceOff)
        return;
    m_serviceOff = off;
    if (off)
        m_owner->m_log.Write(1, "Z39.50 service forbidden: port %d refuses every connection", m_port);
    else
        m_owner->m_log.Write(2, "Z39.50 service allowed again on port %d", m_port);
}

bool CListener::IsWithinAddressLimits(const std::string& address, const CServerSettings& settings) {
    bool log = false;
    const CAddressVerdict verdict =
        m_owner->m_addressLimits.Check(address, settings.m_maxSessionsPerAddress, settings.m_maxConnectsPerMinute,
                                       static_cast<int64_t>(PlatTickCount() / 1000), log);
    if (log && verdict == CAddressVerdict::kTooManySessions)
        m_owner->m_log.Write(1, "connections of %s refused: %d sessions open (MaxSessionsPerAddress)",
                             address.c_str(), settings.m_maxSessionsPerAddress);
    else if (log)
        m_owner->m_log.Write(1, "connections of %s refused: over %d a minute (MaxConnectsPerMinute)",
                             address.c_str(), settings.m_maxConnectsPerMinute);
    return verdict == CAddressVerdict::kAdmit;
}

uint32_t CListener::Run() {
    while (!m_bStop.load()) {
        NoteServiceSwitch();
        const int r = PlatWaitEventOrSocket(m_evStop, m_socket, false, kWaitMs);
        if (r == PLAT_WAIT_EVENT)
            break;
        if (r == PLAT_WAIT_TIMEOUT)
            continue;
        bool failed = false;
        try {
            if (r == PLAT_WAIT_ERROR) {
                const int code = PlatLastError();
                BerTrace("WSAEnumNetworkEvents error %ld\n", static_cast<long>(code));
                THROW_EXTENDED(code, "Listen failed");
            }
            failed = !OnAccept();
        } catch (extended_exception& e) {
            BerTrace("%s", e.GetErrorMessage());
            m_owner->m_log.Write(0, "Accept on port %d failed. %s", m_port, e.LogText().c_str());
            failed = true;
        } catch (...) {
            m_owner->m_log.Write(0, "Unkown error, Accept on port %d failed.", m_port);
            failed = true;
        }
        // A listening socket that stays readable while accept keeps failing (no descriptors
        // left, for instance) would otherwise spin: pause one wait period before trying again.
        if (failed && m_evStop.Wait(kWaitMs))
            break;
    }
    m_owner->m_log.Write(2, "listener destroyed: %d", m_port);
    return 0;
}

bool CListener::OnAccept() {
    for (int n = 0; n < kMaxAcceptsPerWake && !m_bStop.load(); ++n) {
        std::string address;
        int error = 0;
        SOCKET_T s = PlatAccept(m_socket, address, error);
        if (s == INVALID_SOCKET_T) {
            if (error == EAGAIN || error == EWOULDBLOCK)
                return true;
            if (error == EINTR || error == ECONNABORTED)
                continue;
            BerTrace("accept() error\n");
            return false;
        }
        const auto settings = m_owner->m_settings.Snapshot();
        if (settings->m_forbidService) {
            m_owner->m_metrics.CountRefused(CMetricRefusal::kServiceOff);
            PlatCloseSocket(s);
            continue;
        }
        if (settings->m_forbidDatabase) {
            m_owner->m_metrics.CountRefused(CMetricRefusal::kForbidden);
            PlatCloseSocket(s);
            continue;
        }
        if (!m_owner->m_ipFilter.IsAllowed(address)) {
            m_owner->m_metrics.CountRefused(CMetricRefusal::kIpFilter);
            PlatCloseSocket(s);
            continue;
        }
        if (!IsWithinAddressLimits(address, *settings)) {
            m_owner->m_metrics.CountRefused(CMetricRefusal::kAddressLimit);
            PlatCloseSocket(s);
            continue;
        }
        m_owner->NewTunnel(address.c_str(), s, m_tls);
    }
    return true;
}
