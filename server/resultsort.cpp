// CResultSorter and its key store (resultsort.h).
#include "server/resultsort.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "berkit/bertrace.h"
#include "berkit/extended_exception.h"
#include "server/catalogueview.h"
#include "server/dbarray.h"
#include "server/recordservice.h"

namespace {

constexpr size_t kFlushBytes = 64 * 1024;
constexpr uint8_t kPresent = 0;
constexpr uint8_t kMissing = 1;

void PutU32(std::vector<unsigned char>& out, uint32_t value) {
    unsigned char octets[4];
    RowPutU32(octets, value);
    out.insert(out.end(), octets, octets + 4);
}

}  // namespace

int CSortKeyStore::Add(uint32_t position, const std::vector<const std::string*>& keys) {
    const size_t start = m_buffer.size();
    PutU32(m_buffer, 0);  // the row's length, set below
    PutU32(m_buffer, position);
    for (const std::string* key : keys) {
        m_buffer.push_back(key == nullptr ? kMissing : kPresent);
        PutU32(m_buffer, key == nullptr ? 0 : static_cast<uint32_t>(key->size()));
        if (key != nullptr)
            m_buffer.insert(m_buffer.end(), key->begin(), key->end());
    }
    RowPutU32(m_buffer.data() + start, static_cast<uint32_t>(m_buffer.size() - start - 4));
    ++m_rowCount;
    return m_buffer.size() >= kFlushBytes ? FlushRows() : 0;
}

int CSortKeyStore::FlushRows() {
    if (m_buffer.empty())
        return 0;
    const int written = AppendData(m_buffer.data(), m_buffer.size());
    m_buffer.clear();
    return written;
}

int CSortKeyStore::SortRows() {
    if (FlushRows() != 0 || CreateDataFileMap() != 0 || BuildIndexFile() != 0)
        return -1;
    return QuickSort();
}

int CSortKeyStore::CompareRowData(const unsigned char* a, const unsigned char* b) {
    const unsigned char* p = a + 4;
    const unsigned char* q = b + 4;
    for (const bool descending : m_descending) {
        const uint32_t lengthP = RowGetU32(p + 1);
        const uint32_t lengthQ = RowGetU32(q + 1);
        if (p[0] != q[0])
            return p[0] < q[0] ? -1 : 1;  // a missing value last, whatever the direction
        int c = std::memcmp(p + 5, q + 5, std::min(lengthP, lengthQ));
        if (c == 0 && lengthP != lengthQ)
            c = lengthP < lengthQ ? -1 : 1;
        if (c != 0)
            return descending ? -c : c;
        p += 5 + lengthP;
        q += 5 + lengthQ;
    }
    const uint32_t positionA = RowGetU32(a);
    const uint32_t positionB = RowGetU32(b);
    return positionA < positionB ? -1 : (positionA > positionB ? 1 : 0);
}

bool CSortKeyStore::IsValidRow(const unsigned char* body, uint32_t length) const {
    uint64_t offset = 4;
    for (size_t k = 0; k < m_descending.size(); ++k) {
        if (offset + 5 > length || body[offset] > kMissing)
            return false;
        offset += 5 + uint64_t(RowGetU32(body + offset + 1));
    }
    return offset == length;
}

CDiagnostic CResultSorter::Sort(CZRecordSet& input, const std::vector<CSortKey>& keys, CZRecordSet& output,
                                int64_t& unread) {
    unread = 0;
    std::vector<bool> descending;
    for (const CSortKey& key : keys)
        descending.push_back(key.m_descending);
    CSortKeyStore store(descending, m_stop);
    if (input.EnsureIndexed() != 0 || store.Create(nullptr) != 0)
        return CDiagnostic::System("sort: cannot prepare the sort");
    const int64_t rows = input.GetRowCount();
    if (rows > int64_t(std::numeric_limits<uint32_t>::max()))
        return CDiagnostic::System("sort: set too large");
    try {
        for (int64_t first = 0; first < rows; first += kStrataMaxBatchRecords) {
            if (m_stop != nullptr && m_stop->load())
                return CDiagnostic::System("sort stopped");
            const int64_t count = std::min<int64_t>(kStrataMaxBatchRecords, rows - first);
            if (CDiagnostic error = AddBatch(input, first, count, keys, store, unread))
                return error;
        }
    } catch (extended_exception& e) {
        BerTrace("%s", e.GetErrorMessage());  // the source file and line: debug trace only
        return CDiagnostic::System(e.LogText());
    }
    const int sorted = store.SortRows();
    if (sorted != 0)
        return CDiagnostic::System(sorted == 1 ? "sort stopped" : "sort: " + store.GetLastError());
    if (output.Create(nullptr) != 0)
        return CDiagnostic::System("sort: cannot create the sorted set");
    std::string name;
    int64_t number = 0;
    for (int64_t i = 0; i < rows; ++i)
        if (input.GetRow(store.PositionAt(i), name, number) != 0 || output.Add(name, number) != 0)
            return CDiagnostic::System("sort: cannot write the sorted set");
    if (output.EnsureIndexed() != 0)
        return CDiagnostic::System("sort: cannot write the sorted set");
    return CDiagnostic::Ok();
}

CDiagnostic CResultSorter::AddBatch(CZRecordSet& input, int64_t first, int64_t count,
                                    const std::vector<CSortKey>& keys, CSortKeyStore& store, int64_t& unread) {
    std::vector<std::string> names(static_cast<size_t>(count));
    std::vector<int64_t> numbers(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i)
        if (input.GetRow(first + i, names[i], numbers[i]) != 0)
            return CDiagnostic::System("sort: cannot read the result set");
    std::vector<std::string> texts(names.size());
    std::vector<CMarcFormat> formats(names.size(), CMarcFormat::kMarc21);
    std::vector<std::string> runTexts;
    for (size_t begin = 0, end = 0; begin < names.size(); begin = end) {
        for (end = begin + 1; end < names.size() && names[end] == names[begin];)
            ++end;
        const CDatabaseNode* db = m_catalogue.Find(names[begin]);
        if (db == nullptr)
            continue;  // a database no longer offered: its rows have missing values
        ReadTexts(db, std::vector<int64_t>(numbers.begin() + begin, numbers.begin() + end), runTexts);
        for (size_t k = begin; k < end; ++k) {
            texts[k].swap(runTexts[k - begin]);
            formats[k] = db->MarcFormat();
        }
    }
    std::vector<std::string> values(keys.size());
    std::vector<const std::string*> row(keys.size());
    for (size_t i = 0; i < names.size(); ++i) {
        if (texts[i].empty())
            ++unread;
        for (size_t k = 0; k < keys.size(); ++k) {
            const CSortKey& key = keys[k];
            const bool found = !texts[i].empty() &&
                               ExtractSortKey(texts[i], key.m_kind, formats[i], key.m_caseSensitive, values[k]);
            if (!found && key.m_missing == CZMissingAction::kAbort)
                return {207, "missing value in record " + std::to_string(numbers[i]) + " of " + names[i],
                        "sort: missing value"};
            row[k] = found ? &values[k] : (key.m_missing == CZMissingAction::kValue ? &key.m_missingKey : nullptr);
        }
        if (store.Add(static_cast<uint32_t>(first + i), row) != 0)
            return CDiagnostic::System("sort: " + store.GetLastError());
    }
    return CDiagnostic::Ok();
}

void CResultSorter::ReadTexts(const CDatabaseNode* db, const std::vector<int64_t>& numbers,
                              std::vector<std::string>& texts) {
    CRecordService service(m_channel, CRecordForm{true, false, kStrataStyleRecord});
    texts.assign(numbers.size(), std::string());
    if (numbers.size() > 1)
        service.GetMARCRecords(db, numbers, texts);
    std::string path;
    for (size_t i = 0; i < numbers.size(); ++i)
        if (texts[i].empty() && CRecordService::GetMARCRecordPath(db, numbers[i], path) > 0)
            service.GetMARCRecord(path, texts[i]);
}
