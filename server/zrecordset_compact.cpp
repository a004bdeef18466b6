// CZRecordSet compact form: a hit list of one database held as its record numbers alone, and the
// merges of two such lists (zrecordset.h).
#include <algorithm>
#include <cstring>
#include <iterator>

#include "server/zrecordset.h"

namespace {
// Numbers that fit the compact form.
constexpr int64_t kMaxCompactNumber = 0xFFFFFFFFLL;
}  // namespace

void CZRecordSet::ReleaseCompact() {
    if (m_compactCharged > 0)
        CRowFile::UnchargeMemory(m_compactCharged);
    m_compactCharged = 0;
    std::vector<uint32_t>().swap(m_numbers);
    m_compactName.clear();
    m_compact = false;
}

void CZRecordSet::FitCompact() {
    const size_t spare = m_numbers.capacity() - m_numbers.size();
    if (spare * sizeof(uint32_t) < 4096)
        return;
    std::vector<uint32_t>(m_numbers).swap(m_numbers);  // a copy of exactly the numbers
    const int64_t charge = int64_t(m_numbers.capacity() * sizeof(uint32_t));
    CRowFile::UnchargeMemory(m_compactCharged - charge);
    m_compactCharged = charge;
}

bool CZRecordSet::ReserveCompact(size_t rows) {
    if (rows <= m_numbers.capacity())
        return true;
    const int64_t limit = GetMemoryDataLimit() / int64_t(sizeof(uint32_t));
    if (int64_t(rows) > limit)
        return false;
    const size_t room = size_t(std::min<int64_t>(limit, std::max<int64_t>(int64_t(rows), int64_t(m_numbers.capacity()) * 2)));
    const int64_t add = int64_t((room - m_numbers.capacity()) * sizeof(uint32_t));
    if (!CRowFile::ChargeMemory(add))
        return false;
    m_compactCharged += add;
    m_numbers.reserve(room);
    return true;
}

bool CZRecordSet::AddCompact(const char* name, size_t nameLength, const int64_t* numbers, size_t count) {
    const bool fresh = !m_compact && m_rowCount == 0 && m_writeBuffer.empty() && HasDataFile() && GetFileSize() == 0;
    if (!fresh && !(m_compact && m_compactName.size() == nameLength &&
                    std::memcmp(m_compactName.data(), name, nameLength) == 0))
        return false;
    int64_t last = m_numbers.empty() ? -1 : int64_t(m_numbers.back());
    for (size_t i = 0; i < count; ++i) {
        if (numbers[i] <= last || numbers[i] > kMaxCompactNumber)
            return false;
        last = numbers[i];
    }
    if (!ReserveCompact(m_numbers.size() + count))
        return false;
    if (fresh) {
        m_compactName.assign(name, nameLength);
        m_compact = true;
    }
    m_numbers.insert(m_numbers.end(), numbers, numbers + count);
    m_rowCount += int64_t(count);
    m_indexed = 0;
    return true;
}

int CZRecordSet::MergeCompact(CZRecordSet& other, CZRecordSet& output, MergeKind kind) {
    const bool leftEmpty = m_rowCount == 0 && !m_compact, rightEmpty = other.m_rowCount == 0 && !other.m_compact;
    if ((!m_compact && !leftEmpty) || (!other.m_compact && !rightEmpty) || (leftEmpty && rightEmpty))
        return -1;
    if (m_compact && other.m_compact && m_compactName != other.m_compactName)
        return -1;
    if (output.Create(nullptr) != 0)
        return -1;
    const std::vector<uint32_t>& a = m_numbers;
    const std::vector<uint32_t>& b = other.m_numbers;
    const size_t most = kind == MergeKind::Or ? a.size() + b.size() : kind == MergeKind::And ? std::min(a.size(), b.size()) : a.size();
    if (most == 0)
        return 0;
    if (!output.ReserveCompact(most)) {
        output.ReleaseCompact();
        return -1;
    }
    std::vector<uint32_t>& out = output.m_numbers;
    switch (kind) {
    case MergeKind::And: std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out)); break;
    case MergeKind::Or: std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out)); break;
    case MergeKind::AndNot: std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out)); break;
    }
    if (out.empty()) {
        output.ReleaseCompact();
        return 0;
    }
    output.m_compact = true;
    output.m_compactName = m_compact ? m_compactName : other.m_compactName;
    output.m_rowCount = int64_t(out.size());
    return output.EnsureIndexed();
}
