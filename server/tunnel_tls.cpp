// CTunnel: the TLS handshake of a connection on the TLS port (see TlsHandshake in tunnel.h).

#include <chrono>

#include "platform/event.h"
#include "server/tunnel.h"

namespace {
// Bound of a handshake when idle time-outs are off.
constexpr int kHandshakeSecondsWithoutTimeout = 60;
}  // namespace

bool CTunnel::TlsHandshake() {
    const CServerSettings& settings = Settings();
    const int seconds = settings.m_timeoutEnabled ? settings.m_timeoutSeconds : kHandshakeSecondsWithoutTimeout;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        const PlatTlsHandshake step = m_tls->Handshake();
        if (step == PLAT_TLS_DONE)
            return true;
        if (step == PLAT_TLS_FAILED) {
            LogInfo("TLS handshake with %s failed: %s", m_address.c_str(), m_tls->LastError().c_str());
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            LogInfo("TLS handshake with %s timed out after %d s", m_address.c_str(), seconds);
            return false;
        }
        const int ready = WaitSocket(step == PLAT_TLS_WANT_WRITE, kWaitMs);
        if (ready == PLAT_WAIT_EVENT || ready == PLAT_WAIT_ERROR || !IsActive())
            return false;
    }
}
