// CTunnelArray: service start and stop, session creation and removal, the idle sweep, the
// session list's columns and menu, session identities (see tunnelarray.h).
#include "server/tunnelarray.h"

#include <cerrno>
#include <ctime>
#include <exception>
#include <system_error>
#include <vector>

#include "berkit/bertrace.h"
#include "berkit/codepage.h"
#include "berkit/extended_exception.h"
#include "platform/clock.h"
#include "platform/ipaddress.h"
#include "server/tunnel.h"

namespace {

struct ColumnProp {
    const char* title;  // UTF-8; shown in the ANSI code page
    int width;
};

const ColumnProp kColumns[] = {
    {"通道 ID", 120}, {"IP 地址", 120}, {"用户名", 120}, {"状态", 100},
    {"请求数", 80},   {"调试信息", 180}, {"通道创建时间", 200},
};

// Wait before the first sweep; the loop then sweeps every kSweepIntervalMs + this.
constexpr uint32_t kFirstWaitMs = 100;

}  // namespace

CTunnelArray::CTunnelArray() {
    m_databases.m_owner = this;
    SOCKET_T read = INVALID_SOCKET_T;
    SOCKET_T write = INVALID_SOCKET_T;
    if (PlatSocketPair(read, write) && PlatSetNonBlocking(read, true) && PlatSetNonBlocking(write, true)) {
        m_wakeRead = read;
        m_wakeWrite = write;
    } else {
        PlatCloseSocket(read);
        PlatCloseSocket(write);
    }
}

CTunnelArray::~CTunnelArray() {
    Stop();
    // The catalogue's channel uses m_interface, which is destroyed after m_databases would be.
    m_databases.ForbidDBAccess();
    m_databases.m_connect.EndChannel();
    // No session is left to call SessionEnded.
    PlatCloseSocket(m_wakeRead);
    PlatCloseSocket(m_wakeWrite);
}

std::unique_ptr<CListener> CTunnelArray::StartListener(int port, const std::string& address,
                                                       const PlatTlsContext* tls) {
    auto listener = std::make_unique<CListener>();
    listener->m_tls = tls;
    m_listenerFailedPort = port;
    if (!listener->Init(this, 100, port, address)) {
        m_listenerError = listener->GetLastError();
        return nullptr;
    }
    try {
        listener->Create(false, nullptr);
    } catch (extended_exception& e) {
        BerTrace("%s", e.GetErrorMessage());
        m_log.Write(0, "%s", e.LogText().c_str());
        m_listenerError = e.m_nCode;
        return nullptr;
    }
    return listener;
}

bool CTunnelArray::ListenerStart() {
    ListenerStop();
    const auto settings = m_settings.Snapshot();
    m_listenerError = 0;
    if (settings->m_plainPort) {
        m_listener = StartListener(static_cast<int>(settings->m_port), settings->m_listenAddress, nullptr);
        if (!m_listener)
            return false;
    }
    if (settings->m_tlsPort > 0) {
        if (!m_tlsContext.IsLoaded()) {
            m_listenerError = ENOENT;
            ListenerStop();
            return false;
        }
        m_tlsListener = StartListener(settings->m_tlsPort, settings->m_listenAddress, &m_tlsContext);
        if (!m_tlsListener) {
            const int error = m_listenerError;
            ListenerStop();
            m_listenerError = error;
            return false;
        }
    }
    if (settings->m_sruEnabled && !settings->m_sruListen.empty() && !StartSruListener(settings->m_sruListen)) {
        const int error = m_listenerError;
        ListenerStop();
        m_listenerError = error;
        return false;
    }
    m_listening = true;
    return true;
}

bool CTunnelArray::StartSruListener(const std::string& listen) {
    // [ADDR:]PORT; without an address, where the Z39.50 port listens.
    std::string address = m_settings.Snapshot()->m_listenAddress;
    long number = 0;
    if (!PlatSplitListenSpec(listen, 65534, address, number)) {
        m_listenerError = EINVAL;
        return false;
    }
    m_sruListener = StartListener(static_cast<int>(number), address, nullptr);
    return m_sruListener != nullptr;
}

void CTunnelArray::ListenerStop() {
    m_listening = false;
    for (auto* listener : {&m_listener, &m_tlsListener, &m_sruListener}) {
        if (*listener)
            (*listener)->Stop();
        listener->reset();
    }
}

int CTunnelArray::GetListenerPort() const { return m_listener ? m_listener->GetPort() : -1; }
int CTunnelArray::GetTlsListenerPort() const { return m_tlsListener ? m_tlsListener->GetPort() : -1; }
int CTunnelArray::GetSruListenerPort() const { return m_sruListener ? m_sruListener->GetPort() : -1; }

void CTunnelArray::Stop() {
    ListenerStop();
    StopThread(INFINITE);
    // Neither the listener nor the manager runs now, so nothing else adds or deletes sessions.
    std::vector<CTunnel*> tunnels;
    {
        CSingleLock lock(m_lock);
        tunnels.swap(m_array);
    }
    for (CTunnel* t : tunnels)
        t->Stop();
    for (CTunnel* t : tunnels)
        DestroyTunnel(t);
    RemoveAll();  // the array is empty; this tells the control 0 rows
}

void CTunnelArray::InitIPFilter(const char* fileName) { m_ipFilter.Init(fileName, 0, 0); }

int CTunnelArray::NewTunnel(const char* address, SOCKET_T socket, const PlatTlsContext* tls) {
    CTunnel* tunnel = nullptr;
    try {
        tunnel = CreateTunnel();
    } catch (const std::exception& e) {
        PlatCloseSocket(socket);
        THROW_EXTENDED(ENOMEM, std::string("Failed to create tunnel: ") + e.what());
    }
    tunnel->m_owner = this;
    tunnel->m_socket = socket;
    tunnel->m_address = address ? address : "";
    tunnel->m_id = AllocTunnelId();
    m_addressLimits.Enter(tunnel->m_address);
    tunnel->SetBlocking(false);
    if (tls) {
        tunnel->m_tls = std::make_unique<PlatTlsStream>(*tls, socket);
        if (!tunnel->m_tls->IsValid()) {
            DestroyTunnel(tunnel);
            THROW_EXTENDED(ENOMEM, "Failed to start TLS on a connection");
        }
    }
    // The thread starts before the session is listed, so nobody can close and delete a session
    // whose start is still in progress; one that ends at once is swept like any other.
    try {
        tunnel->Create(false, nullptr);
    } catch (...) {
        DestroyTunnel(tunnel);  // closes the socket
        throw;
    }
    Append(tunnel);
    return 0;
}

CTunnel* CTunnelArray::CreateTunnel() {
    constexpr int kRetries = 5;
    constexpr uint32_t kSweepWaitMs = 200;
    for (int attempt = 0;; ++attempt) {
        try {
            return new CTunnel;
        } catch (const std::system_error& e) {
            const int code = e.code().value();
            if ((code != EMFILE && code != ENFILE) || attempt == kRetries)
                throw;
            WaitForSweep(kSweepWaitMs);
        }
    }
}

void CTunnelArray::WaitForSweep(uint32_t ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    CMutexLock lock(m_sweepLock);
    const uint64_t seen = m_sweeps;
    SessionEnded();
    while (m_sweeps == seen && lock.WaitUntil(m_swept, deadline)) {
    }
}

void CTunnelArray::RemoveTunnel(CTunnel* tunnel, bool flag) {
    if (!tunnel || flag)
        return;
    CSingleLock lock(m_lock);
    for (CTunnel* t : m_array)
        if (t == tunnel) {
            t->Close();
            break;
        }
}

uint32_t CTunnelArray::Run() {
    bool stop = WaitStopOrWake(kFirstWaitMs);
    while (!stop) {
        try {
            Sweep();
            m_metricsHistory.Take(m_metrics, static_cast<double>(PlatTickCount()) / 1000.0);
        } catch (extended_exception& e) {
            BerTrace("%s", e.GetErrorMessage());
            m_log.Write(0, "%s", e.LogText().c_str());
        } catch (...) {
            m_log.Write(0, "Unkown error, services stopped");
        }
        stop = WaitStopOrWake(kSweepIntervalMs + kFirstWaitMs);
    }
    BerTrace("iterator of manger stopped\r\n");
    return 0;
}

void CTunnelArray::SessionEnded() {
    if (m_wakeWrite == INVALID_SOCKET_T)
        return;
    const char one = 1;
    // A full pair means a wake-up is pending already; nothing is lost by dropping this one.
    PlatSend(m_wakeWrite, &one, 1);
}

bool CTunnelArray::WaitStopOrWake(uint32_t ms) {
    if (m_wakeRead == INVALID_SOCKET_T)
        return WaitStopOrTimeout(ms);
    if (m_bStop.load())
        return true;
    const int ready = PlatWaitEventOrSocket(m_evStop, m_wakeRead, false, static_cast<int>(ms));
    if (ready == PLAT_WAIT_EVENT)
        return true;
    if (ready == PLAT_WAIT_SOCKET) {
        char drain[64];
        while (PlatRecv(m_wakeRead, drain, sizeof drain) > 0) {
        }
    } else if (ready == PLAT_WAIT_ERROR && m_evStop.Wait(ms)) {
        return true;  // the pair failed: wait on the stop event alone rather than spin
    }
    WaitWhileSuspended();
    return m_bStop.load();
}

void CTunnelArray::Sweep() {
    const time_t now = time(nullptr);
    const std::shared_ptr<const CServerSettings> settings = m_settings.Snapshot();
    int n = GetSize();
    // Only this thread deletes sessions while the manager runs, so the pointers stay valid here;
    // NewTunnel only appends past n.
    for (int i = 0; i < n; ++i) {
        CTunnel* t = GetAt(i);
        if (!t)
            continue;
        if (settings->m_timeoutEnabled) {
            const long span = static_cast<long>(now - t->m_lastActive.load());
            if (span > settings->m_timeoutSeconds) {
                t->Close();
                BerTrace("tunnel close for timeout span=[%ld]\r\n", span);
            }
        }
        if (!t->IsActive() && DeleteTunnel(i, t)) {
            --i;
            --n;
            OnItemCountChanged(VKLVSICF_REPAINT);
            BerTrace("tunnel delete, count = %d\r\n", n);
        }
    }
    m_sruResultSets.Purge();
    {
        CMutexLock lock(m_sweepLock);
        ++m_sweeps;
    }
    m_swept.notify_all();
}

bool CTunnelArray::DeleteTunnel(int index, CTunnel* tunnel) {
    {
        CSingleLock lock(m_lock);
        if (index < 0 || static_cast<size_t>(index) >= m_array.size() ||
            m_array[static_cast<size_t>(index)] != tunnel)
            return false;
        m_array.erase(m_array.begin() + index);
    }
    // Outside the list lock: the destructor waits for the session thread, which may be asking
    // for the lock in UpdateDisp.
    DestroyTunnel(tunnel);
    return true;
}

void CTunnelArray::DestroyTunnel(CTunnel* tunnel) {
    const uint32_t id = tunnel->GetId();
    const std::string address = tunnel->m_address;
    delete tunnel;
    ReleaseTunnelId(id);
    m_addressLimits.Leave(address);
}

int CTunnelArray::GetColumnProp(int column, std::string& title, int& width) {
    if (column < 0 || column >= static_cast<int>(std::size(kColumns)))
        return -1;
    title = OperatorText(kColumns[column].title);
    width = kColumns[column].width;
    return 0;
}

int CTunnelArray::FitMenuText(IMenu* menu, CTunnel* tunnel) {
    const std::string text = OperatorText("删除本通道");
    if (tunnel)
        menu->AppendItem(kCmdRemoveTunnel, text, true);
    else
        menu->AppendItem(kCmdRemoveTunnel, " " + text, false);
    return 0;
}

int CTunnelArray::OnCommand(unsigned id, CTunnel* tunnel) {
    if (id == kCmdRemoveTunnel && tunnel)
        RemoveTunnel(tunnel, false);
    return 0;
}

uint32_t CTunnelArray::AllocTunnelId() {
    CMutexLock lock(m_idLock);
    for (;;) {
        const uint32_t id = ++m_lastId;
        if (id != 0 && m_liveIds.insert(id).second)
            return id;
    }
}

void CTunnelArray::ReleaseTunnelId(uint32_t id) {
    CMutexLock lock(m_idLock);
    m_liveIds.erase(id);
}
