#pragma once
// Test helper: configures a session manager to serve the embedded test store "inst" (anonymous
// access as public, idPass and open accepted, bad logins refused) and loads its catalogue.

#include <string>

#include "server/tunnelarray.h"

namespace vktest {

// `home` ends with "/"; the store's folder must already be set (CInterface::SetStoreFolder).
// Returns the catalogue load's result: 0, or -1 with the reason in `error`.
inline int ServeTestStore(CTunnelArray& owner, const std::string& home, int maxSearchHits,
                          std::string& error) {
    owner.m_homeDir = home;
    owner.m_log.SetFolder(home);
    owner.m_settings.Update([&](CServerSettings& s) {
        s.m_interfaceLibrary = "localcore32.dll";
        s.m_instanceName = "inst";
        s.m_dbUser = "public";
        s.m_dbPassword = "";
        s.m_allowAnonymous = true;
        s.m_anonymousUser = "public";
        s.m_anonymousPassword = "";
        s.m_acceptIdPass = true;
        s.m_acceptOpen = true;
        s.m_badLoginAction = 1;
        s.m_maxSearchHits = maxSearchHits;
    });
    return owner.m_databases.Init(error);
}

}  // namespace vktest
