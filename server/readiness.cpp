// CReadiness: listener, back-end and catalogue checks behind /readyz (see readiness.h).
#include "server/readiness.h"

#include <strings.h>

#include "backend/strata/strata_channel.h"
#include "server/tunnelarray.h"

namespace {
constexpr auto kProbeInterval = std::chrono::seconds(1);
// The channel library's codes for "cannot reach the store" and "channel broken / no interface".
constexpr int kUnreachable = 66;
constexpr int kBroken = 5;
}  // namespace

bool CReadiness::Check(std::string& why) {
    why.clear();
    if (!m_manager.IsListening())
        why = "the Z39.50 listener is not running";
    else if (m_manager.m_settings.Snapshot()->m_forbidService)
        why = "the Z39.50 service is forbidden";
    else if (m_manager.m_databases.GetEntries().empty())
        why = "no database in the catalogue";
    else
        BackendReachable(why);
    return why.empty();
}

bool CReadiness::BackendReachable(std::string& why) {
    CMutexLock lock(m_lock);
    const auto now = std::chrono::steady_clock::now();
    if (now - m_askedAt >= kProbeInterval) {
        const auto settings = m_manager.m_settings.Snapshot();
        CConnect channel;
        channel.SetInterface(&m_manager.m_interface);
        int code = 0;
        std::string text;
        if (channel.PrepareChannel(nullptr) != 0) {
            channel.GetLastError(code, text);
        } else {
            // Any answer but "unreachable" shows the store is there; a refused login is an answer.
            char answer[1024];
            const std::string path =
                strcasecmp(settings->m_interfaceLibrary.c_str(), "netchan32.dll") == 0 ? settings->m_serverAddress : "";
            if (channel.API_ChDir(settings->m_anonymousUser.c_str(), settings->m_anonymousPassword.c_str(),
                                  path.c_str(), static_cast<int>(path.size()) + 1, answer, sizeof answer) <= 0)
                channel.GetLastError(code, text);
        }
        channel.EndChannel();
        m_reachable = code != kUnreachable && code != kBroken;
        m_why = m_reachable ? "" : "the back-end is not reachable: " + text;
        m_askedAt = now;
    }
    why = m_why;
    return m_reachable;
}
