// CTunnel: the session's view of the catalogue (which databases a request may name) and the
// ownership of its result sets.

#include "server/dbarray.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"

void CTunnel::ClearArray() {
    m_resultSets.Clear();  // their data files go with them
}

bool CTunnel::IsLegalDatabase() {
    if (m_databaseNames.empty() || m_owner == nullptr || Settings().m_forbidDatabase)
        return false;
    for (const std::string& name : m_databaseNames)
        if (name.empty() || GetDatabasePtr(name.c_str()) == nullptr)
            return false;
    return true;
}

std::string CTunnel::FirstUnknownDatabase() {
    m_catalogue.Bind(m_owner ? &m_owner->m_databases : nullptr, Settings().m_forbidDatabase);
    return m_catalogue.FirstUnknown(m_databaseNames);
}

const CDatabaseNode* CTunnel::GetDatabasePtr(const char* name) {
    if (name == nullptr)
        return nullptr;
    m_catalogue.Bind(m_owner ? &m_owner->m_databases : nullptr, Settings().m_forbidDatabase);
    return m_catalogue.Find(name);
}
