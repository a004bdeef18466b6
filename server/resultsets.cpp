// CResultSetStore: a session's named result sets; SortResultSet.
#include "server/resultsets.h"

#include "server/dbarray.h"

CZResultSet* CResultSetStore::Find(const std::string& name) const {
    for (const auto& set : m_sets)
        if (DBNameEquals(set->m_name, name))
            return set.get();
    return nullptr;
}

void CResultSetStore::Remove(const std::string& name) {
    std::erase_if(m_sets, [&](const std::unique_ptr<CZResultSet>& set) { return DBNameEquals(set->m_name, name); });
}

void CResultSetStore::Add(std::unique_ptr<CZResultSet> set) {
    if (set == nullptr)
        return;
    if (m_sets.size() >= kMaxSets)
        m_sets.erase(m_sets.begin());
    m_sets.push_back(std::move(set));
}

CDiagnostic CResultSetStore::CopyInto(const std::string& name, CZResultSet& target) {
    CZResultSet* set = Find(name);
    if (set == nullptr)
        return CDiagnostic::System("referred resultset not exist");
    // A union with an empty set writes every row of the stored set into the target.
    CZResultSet empty;
    if (empty.Create(nullptr) != 0 || empty.Or(*set, target) != 0)
        return CDiagnostic::System("copy of resultset failed");
    return CDiagnostic::Ok();
}

int SortResultSet(CZResultSet& set) {
    if (set.GetRowCount() == 0)
        return 0;
    if (set.IsAppendedAscending())
        return set.SortAppended();
    if (set.EnsureIndexed() != 0)
        return set.Sort(0);
    // Strictly ascending index order over the data file's own order means sorted and unique.
    const int64_t rows = set.GetRowCount();
    int64_t previous = set.GetRowPtr(0);
    for (int64_t i = 1; i < rows; ++i) {
        const int64_t current = set.GetRowPtr(i);
        if (current <= previous || set.CompareRow(previous, current) >= 0)
            return set.Sort(0);
        previous = current;
    }
    return 0;
}
