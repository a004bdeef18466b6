// The interface table: which engine each interface file name selects.
#include <strings.h>

#include "backend/strata/pg_notify.h"
#include "backend/strata/pg_store.h"
#include "backend/strata/strata_store.h"

namespace {

std::unique_ptr<IStrataStore> OpenLocalCore(const StrataLocation& where, bool create, StrataStatus& st) {
    return OpenSqliteStore(where.m_path, create, st);
}

std::unique_ptr<IStrataStore> OpenNetChannel(const StrataLocation& where, bool create, StrataStatus& st) {
    PgTarget target{where.m_path, where.m_address, where.m_maxConnections, {}};
    for (size_t i = 0; i < where.m_readPaths.size() && i < where.m_readAddresses.size(); ++i) {
        target.m_standbys.push_back(PgTarget{where.m_readPaths[i], where.m_readAddresses[i], where.m_maxConnections, {}});
    }
    return OpenCachedPgStore(target, create, st);
}

const StrataInterfaceRow kInterfaces[] = {
    {"localcore32.dll", false, OpenLocalCore},
    {"netchan32.dll", true, OpenNetChannel},
    {"netchan32u.dll", true, OpenNetChannel},
};

}  // namespace

const StrataInterfaceRow* StrataFindInterface(const std::string& fileName) {
    for (const StrataInterfaceRow& row : kInterfaces) {
        if (strcasecmp(row.m_fileName, fileName.c_str()) == 0) return &row;
    }
    return nullptr;
}
