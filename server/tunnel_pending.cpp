// CTunnel services of the search-and-update subsystem that are not built yet: Search, Present
// and the catalogue checks. Until the catalogue and result sets exist, each
// service throws so that the association ends cleanly without an answer. This file is replaced
// as a whole when those services are built.

#include "server/tunnel.h"

// No result set can exist before the Search service does; the real version deletes each set.
void CTunnel::ClearArray() {
    m_resultSets.clear();
}

// Without a catalogue no database name is known.
bool CTunnel::IsLegalDatabase() {
    return false;
}

CDatabaseNode* CTunnel::GetDatabasePtr(const char*) {
    return nullptr;
}
