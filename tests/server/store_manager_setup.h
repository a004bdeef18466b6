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
    owner.m_interfaceLibrary = "localcore32.dll";
    owner.m_instanceName = "inst";
    owner.m_dbUser = "public";
    owner.m_dbPassword = "";
    owner.m_allowAnonymous = true;
    owner.m_anonymousUser = "public";
    owner.m_anonymousPassword = "";
    owner.m_acceptIdPass = true;
    owner.m_acceptOpen = true;
    owner.m_badLoginAction = 1;
    owner.m_maxSearchHits = maxSearchHits;
    return owner.m_databases.Init(error);
}

}  // namespace vktest
