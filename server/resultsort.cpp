// CResultSorter and its key store (resultsort.h).
#include "server/resultsort.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>

#include "backend/strata/strata_admin.h"
#include "backend/strata/strata_sortkeys.h"

#include "berkit/bertrace.h"
#include "berkit/extended_exception.h"
#include "server/catalogueview.h"
#include "server/dbarray.h"
#include "server/pager.h"

namespace {

constexpr size_t kFlushBytes = 64 * 1024;
// Rows of one database whose values are read together, and the largest span of record numbers
// per row that is still read as one range (a sparser chunk lists its numbers).
constexpr size_t kChunkRows = 8192;
constexpr uint64_t kDenseSpan = 4;
constexpr int kStrataStyleSortValues = 8;

std::string SevenDigits(uint32_t n) {
    char text[16];
    snprintf(text, sizeof text, "%07u", n);
    return text;
}
constexpr uint8_t kPresent = 0;
constexpr uint8_t kMissing = 1;

void PutU32(std::vector<unsigned char>& out, uint32_t value) {
    unsigned char octets[4];
    RowPutU32(octets, value);
    out.insert(out.end(), octets, octets + 4);
}

}  // namespace

int CSortKeyStore::Add(uint32_t position, const std::vector<std::optional<std::string_view>>& keys) {
    const size_t start = m_buffer.size();
    PutU32(m_buffer, 0);  // the row's length, set below
    PutU32(m_buffer, position);
    for (const std::optional<std::string_view>& key : keys) {
        m_buffer.push_back(key ? kPresent : kMissing);
        PutU32(m_buffer, key ? static_cast<uint32_t>(key->size()) : 0);
        if (key)
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

int CSortKeyStore::QuickSort() {
    const int64_t rows = GetRowCount();
    if (rows < 2 || GetDataSize() > GetSortMemoryLimit() || m_descending.empty())
        return CMemSort::QuickSort();
    // Each row's 16-octet prefix orders as CompareRowData does: the missing flag, then fifteen
    // octets of the first key (ascending padded with 0, descending inverted and padded with 0xFF;
    // a padded octet equals a key's only where a key holds a zero octet, which the full
    // comparison then settles). Equal prefixes of two first keys of one length that fits mean
    // equal first keys: with one key the input position decides, otherwise the full comparison.
    struct Entry {
        uint64_t m_high;
        uint64_t m_low;
        int64_t m_row;
        uint32_t m_position;
        uint32_t m_length;  // of the first key
    };
    constexpr uint32_t kPrefixOctets = 15;
    std::vector<Entry> entries(static_cast<size_t>(rows));
    const bool descending = m_descending[0];
    const unsigned char* data = GetData();
    for (int64_t i = 0; i < rows; ++i) {
        const int64_t row = GetRowPtr(i);
        const unsigned char* key = data + row + 4;
        const uint32_t length = RowGetU32(key + 1);
        uint64_t words[2] = {uint64_t(key[0]) << 56, 0};
        for (uint32_t k = 0; k < kPrefixOctets; ++k) {
            const unsigned octet = k < length ? key[5 + k] : (descending ? 0xFF : 0x00);
            const uint32_t at = k + 1;  // octet 0 of the first word is the flag
            words[at / 8] |= uint64_t(descending && k < length ? 0xFF - octet : octet) << (56 - 8 * (at % 8));
        }
        entries[size_t(i)] = {words[0], words[1], row, RowGetU32(data + row), length};
    }
    if (DoProgress(0, rows) != 0)
        return 1;
    const bool oneKey = m_descending.size() == 1;
    std::sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
        if (a.m_high != b.m_high)
            return a.m_high < b.m_high;
        if (a.m_low != b.m_low)
            return a.m_low < b.m_low;
        if (oneKey && a.m_length == b.m_length && a.m_length <= kPrefixOctets)
            return a.m_position < b.m_position;
        return CompareRowData(data + a.m_row, data + b.m_row) < 0;
    });
    if (DoProgress(rows, rows) != 0)
        return 1;
    for (int64_t i = 0; i < rows; ++i)
        SetRowPtr(i, entries[size_t(i)].m_row);
    return 0;
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
    const int64_t count = input.GetRowCount();
    if (count > int64_t(std::numeric_limits<uint32_t>::max()))
        return CDiagnostic::System("sort: set too large");
    // The rows of each database, by record number (stable: equal numbers keep their order).
    std::map<std::string, Rows> byDatabase;
    std::string name;
    int64_t number = 0;
    for (int64_t i = 0; i < count; ++i) {
        if (input.GetRow(i, name, number) != 0 || number < 0 || number > int64_t(kStrataMaxRecordNumber))
            return CDiagnostic::System("sort: cannot read the result set");
        byDatabase[name].emplace_back(uint32_t(number), uint32_t(i));
    }
    std::map<std::string, const CDatabaseNode*> databases;
    for (auto& [db, rows] : byDatabase) {
        std::sort(rows.begin(), rows.end());
        databases[db] = m_catalogue.Find(db);
    }
    for (const CSortKey& key : keys) {
        const std::string use = std::to_string(key.m_use);
        bool known = false;
        for (const auto& entry : databases)
            known = known || (entry.second != nullptr && entry.second->m_keys.count(use) != 0);
        if (!known && count > 0)
            return {kDiagSortUnsupported, use, "sort: no key for use " + use};
    }
    try {
        for (const auto& [db, rows] : byDatabase) {
            for (size_t first = 0; first < rows.size(); first += kChunkRows) {
                if (m_stop != nullptr && m_stop->load())
                    return CDiagnostic::System("sort stopped");
                const size_t last = std::min(rows.size(), first + kChunkRows);
                if (CDiagnostic error = AddChunk(databases[db], db, rows, first, last, keys, store))
                    return error;
            }
            if (databases[db] == nullptr)
                unread += int64_t(rows.size());
        }
    } catch (extended_exception& e) {
        BerTrace("%s", e.GetErrorMessage());  // the source file and line: debug trace only
        return CDiagnostic::System(e.LogText());
    }
    byDatabase.clear();
    const int sorted = store.SortRows();
    if (sorted != 0)
        return CDiagnostic::System(sorted == 1 ? "sort stopped" : "sort: " + store.GetLastError());
    if (output.Create(nullptr) != 0)
        return CDiagnostic::System("sort: cannot create the sorted set");
    for (int64_t i = 0; i < count; ++i)
        if (input.GetRow(store.PositionAt(i), name, number) != 0 || output.Add(name, number) != 0)
            return CDiagnostic::System("sort: cannot write the sorted set");
    if (output.EnsureIndexed() != 0)
        return CDiagnostic::System("sort: cannot write the sorted set");
    return CDiagnostic::Ok();
}

CDiagnostic CResultSorter::AddChunk(const CDatabaseNode* db, const std::string& name, const Rows& rows, size_t first,
                                    size_t last, const std::vector<CSortKey>& keys, CSortKeyStore& store) {
    std::vector<ChunkValues> values(keys.size());
    std::vector<std::string> stand(keys.size());  // each key's missingValueData as a value
    for (size_t k = 0; k < keys.size(); ++k) {
        values[k].m_spans.assign(last - first, {0, 0});
        const auto key = db == nullptr ? std::map<std::string, std::string>::const_iterator()
                                       : db->m_keys.find(std::to_string(keys[k].m_use));
        if (db == nullptr || key == db->m_keys.end() || key->second.empty())
            continue;  // rows without a value for this key
        bool numeric = false;
        if (CDiagnostic error = ReadValues(db, key->second, rows, first, last, values[k], numeric))
            return error;
        if (keys[k].m_missing == CZMissingAction::kValue)
            stand[k] = StrataTextSortValue(keys[k].m_missingData, numeric);
    }
    std::vector<std::optional<std::string_view>> row(keys.size());
    for (size_t i = first; i < last; ++i) {
        for (size_t k = 0; k < keys.size(); ++k) {
            const CSortKey& key = keys[k];
            const std::string_view value = values[k].At(i - first);
            if (value.empty() && key.m_missing == CZMissingAction::kAbort)
                return {207, "missing value in record " + std::to_string(rows[i].first) + " of " + name,
                        "sort: missing value"};
            const std::string_view chosen = value.empty() ? std::string_view(stand[k]) : value;
            if (chosen.empty())
                row[k].reset();
            else
                row[k] = key.m_caseSensitive ? chosen : StrataSortValueFolded(chosen);
        }
        if (store.Add(rows[i].second, row) != 0)
            return CDiagnostic::System("sort: " + store.GetLastError());
    }
    return CDiagnostic::Ok();
}

CDiagnostic CResultSorter::ReadValues(const CDatabaseNode* db, const std::string& key, const Rows& rows, size_t first,
                                      size_t last, ChunkValues& values, bool& numeric) {
    CDiagnostic error;
    if (!m_channel.Prepare(error))
        return error;
    CBackendPager& pager = *m_channel.m_pager;
    const std::string base = db->m_dbPath + "/" + key + "/";
    size_t at = first;  // the next row to match a value with; values come in ascending numbers
    bool malformed = false;
    auto page = [&](const CPackage& answer) {
        int64_t record = 0;
        std::string_view value;
        for (size_t i = 0; i < answer.GetLineCount(); ++i) {
            const std::string_view line = answer.GetLineView(i);
            if (line == kStrataSortKindNumeric || line == kStrataSortKindText) {
                numeric = line == kStrataSortKindNumeric;
                continue;
            }
            if (!StrataParseSortLine(line, record, value)) {
                malformed = true;
                return false;
            }
            while (at < last && rows[at].first < record)
                ++at;
            if (at < last && rows[at].first == record) {
                // A record in the set more than once: its later rows share the first one's value.
                values.Add(at - first, value);
                const auto span = values.m_spans[at - first];
                for (++at; at < last && rows[at].first == record; ++at)
                    values.m_spans[at - first] = span;
            }
        }
        return !(m_stop != nullptr && m_stop->load());
    };
    // A dense chunk is one range read; a sparse one lists its numbers.
    std::vector<std::string> paths;
    const uint32_t low = rows[first].first, high = rows[last - 1].first;
    if (uint64_t(high - low) + 1 <= uint64_t(last - first) * kDenseSpan) {
        paths.push_back(base + SevenDigits(low) + "-" + SevenDigits(high));
    } else {
        std::string list;
        size_t listed = 0;
        for (size_t i = first; i < last; ++i) {
            if (i > first && rows[i].first == rows[i - 1].first)
                continue;
            list += (listed ? "," : "") + SevenDigits(rows[i].first);
            if (++listed == size_t(kStrataMaxBatchRecords) || i + 1 == last) {
                paths.push_back(base + list);
                list.clear();
                listed = 0;
            }
        }
        if (!list.empty())
            paths.push_back(base + list);
    }
    for (const std::string& path : paths) {
        at = first;
        const CPagerResult result = pager.Search(path, kStrataStyleSortValues, CPagerFormat::kLines, page);
        if (malformed)
            return CDiagnostic::System("sort: malformed sort value from the back-end");
        if (result == CPagerResult::kStopped || (m_stop != nullptr && m_stop->load()))
            return CDiagnostic::System("sort stopped");
        if (result == CPagerResult::kDone || result == CPagerResult::kNoData)
            continue;
        if (result == CPagerResult::kBroken)
            m_channel.Lost();
        return CDiagnostic::System("sort: back-end read failed: " + pager.GetError());
    }
    return CDiagnostic::Ok();
}
