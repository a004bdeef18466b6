// CZRecordSet: rows, write buffer, indexing and sorting of a result set (zrecordset.h).
#include "server/zrecordset.h"

#include <algorithm>
#include <cstring>

namespace {
// Bytes of a row around its name: L, N, the size field and the record number.
constexpr size_t kRowOverhead = 4 + 4 + 4 + 8;
// The write buffer grows in steps of this many bytes.
constexpr size_t kBufferStep = 4096;
// A buffer that cannot be written keeps its rows, but never grows past this.
constexpr size_t kMaxBufferBytes = 64u << 20;
}  // namespace

CZRecordSet::CZRecordSet() = default;
CZRecordSet::~CZRecordSet() { ReleaseCompact(); }

void CZRecordSet::ReserveBuffer(size_t needed) {
    if (needed > m_writeBuffer.capacity())
        m_writeBuffer.reserve((needed + kBufferStep - 1) / kBufferStep * kBufferStep);
}

void CZRecordSet::BufferRow(const unsigned char* row, size_t length) {
    ReserveBuffer(m_writeBuffer.size() + length);
    m_writeBuffer.insert(m_writeBuffer.end(), row, row + length);
    ++m_pendingRows;
    ++m_rowCount;
    m_indexed = 0;
    if (m_pendingRows >= m_flushThreshold)
        Flush();
}

template <typename Number>
void CZRecordSet::AppendRows(const char* name, size_t nameLength, const Number* numbers, size_t count) {
    const size_t rowLength = nameLength + 1 + kRowOverhead;
    if (m_ascending && m_rowCount > 0) {
        const int names = std::strcmp(name, m_lastName.c_str());
        m_ascending = names > 0 || (names == 0 && int64_t(numbers[0]) > m_lastNumber);
    }
    for (size_t i = 1; m_ascending && i < count; ++i)
        m_ascending = numbers[i] > numbers[i - 1];
    if (m_ascending) {
        m_lastName.assign(name, nameLength);
        m_lastNumber = int64_t(numbers[count - 1]);
    }
    const size_t at = m_writeBuffer.size();
    ReserveBuffer(at + rowLength * count);
    m_writeBuffer.resize(at + rowLength * count);
    unsigned char* row = m_writeBuffer.data() + at;
    const uint32_t n = static_cast<uint32_t>(nameLength + 1);
    RowPutU32(row, n + 16);
    RowPutU32(row + 4, n);
    std::memcpy(row + 8, name, n);
    RowPutU32(row + 8 + n, 8);
    RowPutU64(row + 12 + n, static_cast<uint64_t>(numbers[0]));
    for (size_t i = 1; i < count; ++i) {
        unsigned char* next = row + i * rowLength;
        std::memcpy(next, row, rowLength - 8);
        RowPutU64(next + 12 + n, static_cast<uint64_t>(numbers[i]));
    }
    m_pendingRows += static_cast<int>(count);
    m_rowCount += static_cast<int64_t>(count);
    m_indexed = 0;
}

int CZRecordSet::Add(const std::string& dbName, int64_t recordNumber) {
    const size_t nameLength = std::strlen(dbName.c_str());
    if (nameLength > kMaxNameLength || Materialise() != 0 || m_writeBuffer.size() >= kMaxBufferBytes)
        return -1;
    AppendRows(dbName.c_str(), nameLength, &recordNumber, 1);
    if (m_pendingRows >= m_flushThreshold)
        Flush();
    return 0;
}

int CZRecordSet::AddHits(const std::string& dbName, const int64_t* numbers, size_t count) {
    const size_t nameLength = std::strlen(dbName.c_str());
    if (count == 0)
        return 0;
    if (nameLength > kMaxNameLength)
        return -1;
    if (AddCompact(dbName.c_str(), nameLength, numbers, count))
        return 0;
    if (Materialise() != 0 || m_writeBuffer.size() >= kMaxBufferBytes)
        return -1;
    AppendRows(dbName.c_str(), nameLength, numbers, count);
    if (m_pendingRows >= m_flushThreshold)
        Flush();
    return 0;
}

int CZRecordSet::Materialise() {
    if (!m_compact)
        return 0;
    // Rows go out in slices, each flushed, so the write buffer stays small.
    constexpr size_t kSlice = 4096;
    std::vector<uint32_t> numbers;
    numbers.swap(m_numbers);
    const std::string name = m_compactName;
    ReleaseCompact();
    m_rowCount -= static_cast<int64_t>(numbers.size());
    for (size_t i = 0; i < numbers.size(); i += kSlice) {
        AppendRows(name.c_str(), name.size(), numbers.data() + i, std::min(kSlice, numbers.size() - i));
        if (Flush() < 0) {
            // The rows not yet written are lost to this set: it is emptied rather than left short.
            ClearResource();
            return -1;
        }
    }
    return 0;
}

int CZRecordSet::AddRow(const unsigned char* row) {
    const uint32_t length = RowGetU32(row);
    if (length < 17 || length > kMaxNameLength + 17 || Materialise() != 0 ||
        m_writeBuffer.size() >= kMaxBufferBytes)
        return -1;
    m_ascending = false;  // not tracked for copied rows
    BufferRow(row, length + 4);
    return 0;
}

int CZRecordSet::Flush() {
    if (m_writeBuffer.empty())
        return 0;
    if (AppendData(m_writeBuffer.data(), m_writeBuffer.size()) != 0)
        return -1;
    const int written = static_cast<int>(m_writeBuffer.size());
    m_writeBuffer.clear();
    m_pendingRows = 0;
    return written;
}

int CZRecordSet::EnsureIndexed() {
    if (m_compact && m_indexed != 1) {
        FitCompact();  // the set is complete: no room kept for more
        m_indexed = 1;
    }
    if (m_indexed == 1 || m_rowCount == 0)
        return 0;
    const int64_t rows = m_rowCount;
    if (Flush() < 0 || CreateDataFileMap() != 0 || BuildIndexFile() != 0) {
        m_rowCount = rows;  // the rows are still there (file or buffer), only not indexed
        return -1;
    }
    m_indexed = 1;
    return 0;
}

int CZRecordSet::Sort(int param) {
    if (m_rowCount == 0)
        return 0;
    if (m_compact) {  // in order and unique by construction
        m_sortParam = param;
        return EnsureIndexed();
    }
    if (EnsureIndexed() != 0)
        return -1;
    m_sortParam = param;
    const int sorted = QuickSort();
    if (sorted != 0)
        return sorted;
    RemoveDupRow();
    return ReSequenceFile() == 0 ? 0 : -1;
}

int CZRecordSet::SortAppended() {
    if (m_rowCount == 0)
        return 0;
    if (m_ascending && EnsureIndexed() == 0)
        return 0;
    return Sort(0);
}

bool CZRecordSet::IsEmpty() const { return !HasDataFile() || GetRowCount() == 0; }

int CZRecordSet::GetRow(int64_t row, std::string& dbName, int64_t& recordNumber) const {
    if (m_compact) {
        if (row < 0 || static_cast<uint64_t>(row) >= m_numbers.size())
            return -1;
        dbName = m_compactName;
        recordNumber = m_numbers[static_cast<size_t>(row)];
        return 0;
    }
    if (m_indexed != 1 || row < 0 || static_cast<uint64_t>(row) >= m_index.size())
        return -1;
    const unsigned char* body = GetData() + m_index[static_cast<size_t>(row)];
    const uint32_t n = RowGetU32(body);
    dbName.assign(reinterpret_cast<const char*>(body + 4), n - 1);
    recordNumber = static_cast<int64_t>(RowGetU64(body + 8 + n));
    return 0;
}

int CZRecordSet::CompareRowData(const unsigned char* a, const unsigned char* b) {
    const int names = std::strcmp(reinterpret_cast<const char*>(a + 4),
                                  reinterpret_cast<const char*>(b + 4));
    if (names != 0)
        return names < 0 ? -1 : 1;
    const int64_t x = static_cast<int64_t>(RowGetU64(a + 8 + RowGetU32(a)));
    const int64_t y = static_cast<int64_t>(RowGetU64(b + 8 + RowGetU32(b)));
    return x < y ? -1 : (x > y ? 1 : 0);
}

int CZRecordSet::CompareRow(int64_t a, int64_t b) {
    return CompareRowData(GetData() + a, GetData() + b);
}

int CZRecordSet::CompareRowWith(int64_t a, int64_t i) {
    const int64_t b = GetRowPtr(i);
    return b < 0 ? 1 : CompareRow(a, b);
}

bool CZRecordSet::IsValidRow(const unsigned char* body, uint32_t length) const {
    if (length < 17)
        return false;
    const uint32_t n = RowGetU32(body);
    return n >= 1 && n <= kMaxNameLength + 1 && length == n + 16 && body[4 + n - 1] == 0 &&
           RowGetU32(body + 4 + n) == 8;
}

void CZRecordSet::ClearResource() {
    CMemSort::ClearResource();
    ReleaseCompact();
    CByteArray().swap(m_writeBuffer);
    m_pendingRows = 0;
    m_indexed = 0;
    m_ascending = true;
    m_lastName.clear();
    m_lastNumber = 0;
}
