// CTunnel framing: bounded socket waits, partial receives and sends, and the reading of one whole
// request (its declared length checked against the limit before the bytes are buffered).

#include <algorithm>
#include <climits>

#include "berkit/bertrace.h"
#include "platform/event.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"
#include "server/sru/httprequest.h"

namespace {

constexpr int kRecvStep = 4096;

}  // namespace

int CTunnel::WaitSocket(bool forWrite, int timeoutMs) {
    const SOCKET_T s = m_socket.load();
    if (s == INVALID_SOCKET_T)
        return PLAT_WAIT_EVENT;
    if (!forWrite && m_tls && m_tls->Pending())
        return PLAT_WAIT_SOCKET;
    // Close() from another thread shuts `s` down, which makes it ready at once; it is not
    // closed before this thread has ended, so polling it here is safe.
    return PlatWaitEventOrSocket(m_evStop, s, forWrite, timeoutMs);
}

bool CTunnel::AwaitTransfer(bool forWrite) {
    const int ready = WaitSocket(forWrite, kWaitMs);
    if (ready == PLAT_WAIT_EVENT)
        return false;
    if (ready == PLAT_WAIT_ERROR) {
        Close();
        return false;
    }
    return true;
}

const CServerSettings& CTunnel::Settings() const {
    static const CServerSettings kDefaults;
    if (!m_settingsSnapshot && m_owner)  // a call outside a request (tests): the current values
        m_settingsSnapshot = m_owner->m_settings.Snapshot();
    return m_settingsSnapshot ? *m_settingsSnapshot : kDefaults;
}

void CTunnel::TakeSettingsSnapshot() {
    if (m_owner)
        m_settingsSnapshot = m_owner->m_settings.Snapshot();
}

int CTunnel::tcpRecv(unsigned char* buffer, int length) {
    if (length <= 0)
        return 0;
    const SOCKET_T s = m_socket.load();
    if (s == INVALID_SOCKET_T)
        return -1;
    const long n = m_tls ? m_tls->Recv(buffer, static_cast<size_t>(length))
                         : PlatRecv(s, buffer, static_cast<size_t>(length));
    if (n == PLAT_IO_WOULDBLOCK)
        return 0;
    if (n <= 0) {  // peer closed, or an error
        Close();
        return -1;
    }
    return static_cast<int>(n);
}

int CTunnel::tcpSend(const unsigned char* buffer, int length) {
    if (length <= 0)
        return 0;
    const SOCKET_T s = m_socket.load();
    if (s == INVALID_SOCKET_T)
        return -1;
    const long n = m_tls ? m_tls->Send(buffer, static_cast<size_t>(length))
                         : PlatSend(s, buffer, static_cast<size_t>(length));
    if (n == PLAT_IO_WOULDBLOCK)
        return 0;
    if (n <= 0) {
        Close();
        return -1;
    }
    return static_cast<int>(n);
}

int CTunnel::DataRecv() {
    const int64_t limit = MaxRequestBytes();
    m_received = 0;
    m_recvBuffer.clear();
    m_recvBuffer.resize(kRecvStep);
    int64_t declared = 0;  // 0 unknown yet, -1 indefinite length, else header + content octets
    while (IsActive()) {
        if (m_bStop.load())
            return -1;
        const int n = tcpRecv(m_recvBuffer.data() + m_received,
                              static_cast<int>(m_recvBuffer.size()) - m_received);
        if (n < 0)
            return -1;
        m_received += n;
        if (m_received == 0)
            return 0;  // nothing yet; the loop waits for the socket
        if (m_received == n && m_requestCount.load() == 0 && !m_initialized && SruEnabled() &&
            LooksLikeHttp(m_recvBuffer.data(), static_cast<size_t>(m_received))) {
            m_http = true;  // an HTTP request line, not a BER frame: ServiceHandler serves it
            m_recvBuffer.resize(m_received);
            return m_received;
        }
        if (n == 0) {
            // Part of a request is in: wait for the rest (bounded, still watching for a stop)
            // rather than spinning on the socket.
            if (!AwaitTransfer(false))
                return -1;
            continue;
        }
        if (declared == 0) {
            const int header = ReadDeclaredLength(declared, limit);
            if (header < 0)
                return -1;
            if (header > 0) {  // malformed: decoding reports it
                m_recvBuffer.resize(m_received);
                return m_received;
            }
        }
        long total = 0;
        if (IsCompleteBER(m_recvBuffer.data(), m_received, &total)) {
            BerTrace("completed received!\r\n");
            break;
        }
        if (m_received >= limit) {  // an indefinite length that has outgrown the limit
            LogInfo("request from %s is above the limit of %lld bytes, association closed",
                    m_address.c_str(), static_cast<long long>(limit));
            Close();
            return -1;
        }
        if (m_received == static_cast<int>(m_recvBuffer.size()))
            GrowReceiveBuffer(declared, limit);
    }
    if (m_received == 0)
        return 0;
    m_recvBuffer.resize(m_received);
    return m_received;
}

int CTunnel::ReadDeclaredLength(int64_t& declared, int64_t limit) {
    int64_t total = 0;
    switch (BerFrameLength(m_recvBuffer.data(), m_received, total)) {
    case BerFrame::kDefinite:
        declared = total;
        break;
    case BerFrame::kIndefinite:
        declared = -1;
        break;
    case BerFrame::kMalformed:
        return 1;
    case BerFrame::kIncomplete:
        break;
    }
    if (declared > limit) {
        LogInfo("request of %lld bytes from %s is above the limit of %lld bytes, association closed",
                static_cast<long long>(declared), m_address.c_str(), static_cast<long long>(limit));
        Close();
        return -1;
    }
    return 0;
}

void CTunnel::GrowReceiveBuffer(int64_t declared, int64_t limit) {
    // Grow with the bytes that actually arrived (doubling), never ahead of them to the declared
    // length: a client that declares a large request and stalls costs little.
    int64_t next = std::max<int64_t>(static_cast<int64_t>(m_recvBuffer.size()) * 2, kRecvStep);
    if (declared > 0 && declared < next)
        next = declared;
    m_recvBuffer.resize(static_cast<size_t>(std::min(next, limit)));
}

int CTunnel::DataSend() {
    m_sent = 0;
    int remaining = static_cast<int>(m_sendBuffer.size());
    while (remaining > 0) {
        if (m_bStop.load())
            return -1;
        const int n = tcpSend(m_sendBuffer.data() + m_sent, remaining);
        if (n < 0) {
            Close();
            return -1;
        }
        if (n == 0) {
            // The peer's window is full: wait until it can take more, still watching for a stop.
            if (!AwaitTransfer(true))
                return -1;
            continue;
        }
        m_sent += n;
        remaining -= n;
    }
    return m_sent;
}

int64_t CTunnel::MaxRequestBytes() const {
    int64_t limit = m_owner ? Settings().m_maxRequestBytes : 0;
    if (limit <= 0)
        limit = kTunnelDefaultMaxRequestBytes;
    return std::min<int64_t>(limit, INT_MAX / 2);
}

