// CShellSort: index operations of the row store (memsort.h).
#include <algorithm>

#include "backend/rowstore/memsort.h"

int64_t CShellSort::GetRowPtr(int64_t i) const {
    if (i < 0 || static_cast<uint64_t>(i) >= m_index.size())
        return -1;
    return m_index[static_cast<size_t>(i)];
}

void CShellSort::SetRowPtr(int64_t i, int64_t offset) {
    if (i >= 0 && static_cast<uint64_t>(i) < m_index.size())
        m_index[static_cast<size_t>(i)] = offset;
}

int CShellSort::DeleteRow(int64_t i) {
    if (i < 0 || static_cast<uint64_t>(i) >= m_index.size())
        return -1;
    m_index.erase(m_index.begin() + static_cast<ptrdiff_t>(i));
    m_rowCount = static_cast<int64_t>(m_index.size());
    return 0;
}

int64_t CShellSort::RemoveDupRow() {
    if (m_index.size() < 2)
        return 0;
    size_t kept = 1;
    for (size_t i = 1; i < m_index.size(); ++i)
        if (CompareRow(m_index[kept - 1], m_index[i]) != 0)
            m_index[kept++] = m_index[i];
    const int64_t dropped = static_cast<int64_t>(m_index.size() - kept);
    m_index.resize(kept);
    m_rowCount = static_cast<int64_t>(kept);
    return dropped;
}

int CShellSort::QuickSort() {
    const int64_t total = static_cast<int64_t>(m_index.size());
    if (DoProgress(0, total) != 0)
        return 1;
    std::sort(m_index.begin(), m_index.end(),
              [this](int64_t a, int64_t b) { return CompareRow(a, b) < 0; });
    return DoProgress(total, total) != 0 ? 1 : 0;
}

void CShellSort::ClearResource() {
    std::vector<int64_t>().swap(m_index);
    m_rowCount = 0;
}
