// CTunnel: the session's view of the catalogue (which databases a request may name) and the
// ownership of its result sets.

#include <algorithm>

#include "server/dbarray.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"
#include "server/zrecordset.h"

void CTunnel::ClearArray() {
    for (CZResultSet* set : m_resultSets)
        delete set;  // its data files go with it
    m_resultSets.clear();
}

bool CTunnel::IsLegalDatabase() {
    if (m_databaseNames.empty() || m_owner == nullptr || Settings().m_forbidDatabase)
        return false;
    for (const std::string& name : m_databaseNames) {
        if (name.empty() || GetDatabasePtr(name.c_str()) == nullptr)
            return false;
    }
    return true;
}

std::string CTunnel::FirstUnknownDatabase() {
    for (const std::string& name : m_databaseNames)
        if (name.empty() || GetDatabasePtr(name.c_str()) == nullptr)
            return name;
    return std::string();
}

CDatabaseNode* CTunnel::GetDatabasePtr(const char* name) {
    if (name == nullptr || m_owner == nullptr || Settings().m_forbidDatabase)
        return nullptr;
    std::shared_ptr<const CDatabaseNode> node;
    if (!m_owner->m_databases.IsLegalDBName(name, node))
        return nullptr;
    if (std::find(m_heldDatabases.begin(), m_heldDatabases.end(), node) == m_heldDatabases.end())
        m_heldDatabases.push_back(node);
    // Entries are read-only once published; the non-const pointer only serves older callers.
    return const_cast<CDatabaseNode*>(node.get());
}
