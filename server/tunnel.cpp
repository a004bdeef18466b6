// CTunnel: the session thread, framing of BER requests, dispatch, socket hand-over, list columns.

#include "server/tunnel.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>

#include "berkit/bernode_pktfile.h"
#include "berkit/bertrace.h"
#include "platform/event.h"
#include "platform/localtime.h"
#include "server/tunnelarray.h"

namespace {

constexpr int kRecvStep = 4096;
constexpr int kWaitMs = 100;

// Result of reading the identifier and length octets at the start of a request.
enum class HeaderState { Incomplete, Definite, Indefinite, Malformed };

// Reads a BER element header from the first `available` octets. For a definite length,
// `total` receives header + content octets (64-bit, so a 4-octet length cannot overflow).
HeaderState ReadHeader(const unsigned char* data, int available, int64_t& total) {
    int pos = 0;
    if (available < 1)
        return HeaderState::Incomplete;
    if ((data[pos++] & 0x1F) == 0x1F) {  // high tag number form: at most 5 subsequent octets
        int octets = 0;
        for (;;) {
            if (pos >= available)
                return HeaderState::Incomplete;
            if (++octets > 5)
                return HeaderState::Malformed;
            if ((data[pos++] & 0x80) == 0)
                break;
        }
    }
    if (pos >= available)
        return HeaderState::Incomplete;
    const unsigned char first = data[pos++];
    if (first == 0x80)
        return HeaderState::Indefinite;
    if ((first & 0x80) == 0) {
        total = pos + first;
        return HeaderState::Definite;
    }
    const int count = first & 0x7F;
    if (count > 8 || first == 0xFF)
        return HeaderState::Malformed;
    if (available - pos < count)
        return HeaderState::Incomplete;
    uint64_t length = 0;
    for (int i = 0; i < count; ++i) {
        if (length >> 55)
            return HeaderState::Malformed;
        length = (length << 8) | data[pos++];
    }
    if (length > static_cast<uint64_t>(INT64_MAX / 2))
        return HeaderState::Malformed;
    total = pos + static_cast<int64_t>(length);
    return HeaderState::Definite;
}

// The metrics' service of a response tag.
CMetricService MetricService(int responseTag) {
    switch (responseTag) {
    case Z_INIT_RESPONSE: return CMetricService::kInit;
    case Z_SEARCH_RESPONSE: return CMetricService::kSearch;
    case Z_PRESENT_RESPONSE: return CMetricService::kPresent;
    case Z_EXTSERVICES_RESPONSE: return CMetricService::kEs;
    default: return CMetricService::kClose;
    }
}

}  // namespace

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

int CTunnel::WaitSocket(bool forWrite, int timeoutMs) {
    const SOCKET_T s = m_socket.load();
    if (s == INVALID_SOCKET_T)
        return PLAT_WAIT_EVENT;
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

uint32_t CTunnel::Run() {
    TakeSettingsSnapshot();
    LogInfo("connecting from %s", m_address.c_str());
    try {
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
        LogInfo("%s", e.GetErrorMessage());
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

int CTunnel::tcpRecv(unsigned char* buffer, int length) {
    if (length <= 0)
        return 0;
    const SOCKET_T s = m_socket.load();
    if (s == INVALID_SOCKET_T)
        return -1;
    const long n = PlatRecv(s, buffer, static_cast<size_t>(length));
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
    const long n = PlatSend(s, buffer, static_cast<size_t>(length));
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
        if (n == 0) {
            // Part of a request is in: wait for the rest (bounded, still watching for a stop)
            // rather than spinning on the socket.
            if (!AwaitTransfer(false))
                return -1;
            continue;
        }
        if (declared == 0) {
            int64_t total = 0;
            switch (ReadHeader(m_recvBuffer.data(), m_received, total)) {
            case HeaderState::Definite:
                declared = total;
                break;
            case HeaderState::Indefinite:
                declared = -1;
                break;
            case HeaderState::Malformed:
                m_recvBuffer.resize(m_received);
                return m_received;  // decoding reports it
            case HeaderState::Incomplete:
                break;
            }
            if (declared > limit) {
                LogInfo("request of %lld bytes from %s is above the limit of %lld bytes, association closed",
                        static_cast<long long>(declared), m_address.c_str(), static_cast<long long>(limit));
                Close();
                return -1;
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
        if (m_received == static_cast<int>(m_recvBuffer.size())) {
            // Grow with the bytes that actually arrived (doubling), never ahead of them to the
            // declared length: a client that declares a large request and stalls costs little.
            int64_t next = std::max<int64_t>(static_cast<int64_t>(m_recvBuffer.size()) * 2, kRecvStep);
            if (declared > 0 && declared < next)
                next = declared;
            m_recvBuffer.resize(static_cast<size_t>(std::min(next, limit)));
        }
    }
    if (m_received == 0)
        return 0;
    m_recvBuffer.resize(m_received);
    return m_received;
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

void CTunnel::ServiceHandler() {
    TakeSettingsSnapshot();
    if (DataRecv() < 1)
        return;
    const auto begun = std::chrono::steady_clock::now();
    ++m_requestCount;
    if (m_owner)
        m_owner->UpdateDisp(this, -1);
    m_request.ClearArray();
    m_heldDatabases.clear();

    const bool dumps = LogPackets();
    if (m_apduTag > Z_PRESENT_REQUEST && dumps)
        DumpBytes((HomeDir() + "_exRequest.bin").c_str(), reinterpret_cast<char*>(m_recvBuffer.data()),
                  m_received, false);

    const int used = DecodeBER(&m_request, m_recvBuffer.data(), m_received);
    if (used < 0)
        THROW_EXTENDED(0, "decode error");
    if (used < m_received)
        BerTrace("in init, have surplus info afer init request\r\n");

    if (m_request.m_arrChildren.empty() || m_request.m_arrChildren[0] == nullptr)
        THROW_EXTENDED(0, "error decode");
    CBERNode* apdu = m_request.m_arrChildren[0];
    m_apduTag = static_cast<int>(apdu->m_uTag);
    if (!m_initialized && m_apduTag != Z_INIT_REQUEST)
        THROW_EXTENDED(0, "not initailized!");
    if (m_apduTag == Z_EXTSERVICES_REQUEST && dumps)
        DumpBytes((HomeDir() + "exRequest.bin").c_str(), reinterpret_cast<char*>(m_recvBuffer.data()),
                  m_received, false);

    LogBerRequest();
    m_response.ClearArray();

    bool built = false;
    switch (m_apduTag) {
    case Z_INIT_REQUEST:
        built = ProcessInit(apdu);
        m_apduTag = Z_INIT_RESPONSE;
        break;
    case Z_SEARCH_REQUEST:
        built = ProcessSearch(apdu);
        m_apduTag = Z_SEARCH_RESPONSE;
        break;
    case Z_PRESENT_REQUEST:
        built = ProcessPresent(apdu);
        m_apduTag = Z_PRESENT_RESPONSE;
        break;
    case Z_EXTSERVICES_REQUEST:
        built = ProcessExtServices(apdu);
        m_apduTag = Z_EXTSERVICES_RESPONSE;
        break;
    case Z_CLOSE:
        built = ProcessClose(apdu);
        m_apduTag = Z_CLOSE;
        break;
    default:
        THROW_EXTENDED(0, "not supported request");
    }
    if (!built)
        THROW_EXTENDED(0, "process request error");

    m_response.EncodeBER(m_sendBuffer);
    LogBerResponse();
    if (DataSend() < 1)
        return;
    if (m_owner)
        m_owner->m_metrics.CountRequest(MetricService(m_apduTag),
                                        std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count());
    if (!m_initialized || m_apduTag == Z_CLOSE)
        Close();
    m_lastActive = time(nullptr);
}

int64_t CTunnel::MaxRequestBytes() const {
    int64_t limit = m_owner ? Settings().m_maxRequestBytes : 0;
    if (limit <= 0)
        limit = kTunnelDefaultMaxRequestBytes;
    return std::min<int64_t>(limit, INT_MAX / 2);
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
