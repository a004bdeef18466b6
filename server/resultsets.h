#pragma once
// CResultSetStore: the named result sets of one session: at most kMaxSets, the oldest deleted
// first when another is stored, names compared without regard to case. The store owns its sets
// (and so their data files) and deletes them. Also SortResultSet, the sort the engine applies to
// every set it builds.
// Thread safety: none; a store belongs to its session's thread.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "server/diagnostic.h"
#include "server/zrecordset.h"

class CResultSetStore {
public:
    // A session holds at most this many result sets.
    static constexpr size_t kMaxSets = 21;

    // The first set named `name`; null when none. Owned by the store.
    CZResultSet* Find(const std::string& name) const;
    // The oldest set; null when the store is empty.
    CZResultSet* Oldest() const { return m_sets.empty() ? nullptr : m_sets.front().get(); }
    // Deletes every set named `name`, keeping the order of the others.
    void Remove(const std::string& name);
    // Stores `set` as the newest, deleting the oldest first when the store is full.
    void Add(std::unique_ptr<CZResultSet> set);
    // Deletes every set.
    void Clear() { m_sets.clear(); }
    size_t Size() const { return m_sets.size(); }
    bool Empty() const { return m_sets.empty(); }

    // Writes every row of the set named `name` into `target` (re-Created). Error 2 ("referred
    // resultset not exist", "copy of resultset failed") otherwise.
    CDiagnostic CopyInto(const std::string& name, CZResultSet& target);

private:
    std::vector<std::unique_ptr<CZResultSet>> m_sets;  // oldest first
};

// Sorts `set` (Sort(0): order, no duplicates, data file rewritten) unless it already is in row
// order without duplicates, which hit lists of one database and merge outputs always are; then it
// is only indexed. Same results as Sort(0).
int SortResultSet(CZResultSet& set);
