#pragma once
// CResultSorter: the Sort facility's engine: orders the rows of one result set by the sort values
// the store keeps for the search key a use attribute maps to (backend/strata/strata_sortkeys.h),
// into a new set whose rows are in that order. No record is read: per database the rows' record
// numbers are taken in ascending order, in chunks, and each key's values of a chunk come in one
// paged read (style 8) of the chunk's number range, or, for sparse chunks, of lists of its
// numbers. Keys go into a row store of their own (CSortKeyStore), which sorts in memory or, above
// the row store's sort memory limit, externally in runs, so memory stays bounded for large sets.
// The order is stable: rows with equal keys keep their input order. The stop flag is read
// between reads and during the sort.
// Ownership: the channel access, catalogue view and stop flag must outlive the sorter.
// Thread safety: none; one thread (the caller's) at a time.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "backend/rowstore/memsort.h"
#include "berkit/bernode_sort.h"
#include "server/diagnostic.h"
#include "server/searchcontext.h"
#include "server/zrecordset.h"

class CCatalogueView;
class CDatabaseNode;

// One key of a sort, as the engine applies it.
struct CSortKey {
    long m_use = 0;  // bib-1 use attribute: the search key of each database that it maps to
    bool m_descending = false;
    bool m_caseSensitive = false;
    CZMissingAction m_missing = CZMissingAction::kNull;
    std::string m_missingData;  // UTF-8 missingValueData (kValue), made a value per key kind
};

// Rows of (input position, keys): each key a flag octet (0 present, 1 missing) and a 32-bit
// length with its octets. Rows compare key by key (descending keys reversed; a missing value
// after every present one in either direction), then by position.
class CSortKeyStore : public CMemSort {
public:
    CSortKeyStore(std::vector<bool> descending, const std::atomic<bool>* stop)
        : m_descending(std::move(descending)), m_stop(stop) {}
    // Buffers one row; keys[i] empty for a missing value. 0, or -1 when it cannot be written.
    int Add(uint32_t position, const std::vector<std::optional<std::string_view>>& keys);
    // Writes the buffered rows, maps and indexes, sorts. 0; 1 stopped; -1 failed.
    int SortRows();
    // The input position of sorted row i.
    uint32_t PositionAt(int64_t i) const { return RowGetU32(GetData() + GetRowPtr(i)); }

    int CompareRow(int64_t a, int64_t b) override { return CompareRowData(GetData() + a, GetData() + b); }
    int CompareRowWith(int64_t a, int64_t i) override { return CompareRow(a, GetRowPtr(i)); }
    int CompareRowData(const unsigned char* a, const unsigned char* b) override;
    bool IsValidRow(const unsigned char* body, uint32_t length) const override;
    int DoProgress(int64_t, int64_t) override { return m_stop != nullptr && m_stop->load() ? 1 : 0; }
    // In memory: the rows ordered by a 16-octet prefix (flag and fifteen octets) of their first
    // key, the full comparison only for equal prefixes of longer keys or of several keys; above
    // the sort memory limit, the row store's external sort.
    int QuickSort() override;

private:
    int FlushRows();
    std::vector<bool> m_descending;
    const std::atomic<bool>* m_stop;
    std::vector<unsigned char> m_buffer;
};

class CResultSorter {
public:
    CResultSorter(const CChannelAccess& channel, CCatalogueView& catalogue, const std::atomic<bool>* stop)
        : m_channel(channel), m_catalogue(catalogue), m_stop(stop) {}

    // Orders the rows of `input` (indexed) by `keys` into `output` (re-Created; its rows in the
    // new order, indexed). Rows of a database no longer offered have missing values; `unread`
    // counts them. The error otherwise: kDiagSortUnsupported (addinfo the use) when no database
    // of the set has a key for a key's use, 207 for a missing value under missingValueAction
    // abort (addinfo the record), 2 for a read, write or stop failure.
    CDiagnostic Sort(CZRecordSet& input, const std::vector<CSortKey>& keys, CZRecordSet& output, int64_t& unread);

private:
    // (record number, input position) of one database's rows, ascending by number.
    using Rows = std::vector<std::pair<uint32_t, uint32_t>>;
    // One key's values of a chunk's rows: each row's (offset, length) in one buffer; length 0
    // when the row has none.
    struct ChunkValues {
        std::string m_text;
        std::vector<std::pair<uint32_t, uint32_t>> m_spans;
        void Add(size_t row, std::string_view value) {
            m_spans[row] = {uint32_t(m_text.size()), uint32_t(value.size())};
            m_text.append(value);
        }
        std::string_view At(size_t row) const {
            return std::string_view(m_text).substr(m_spans[row].first, m_spans[row].second);
        }
    };
    // Adds the key rows of rows[first, last) of `db` (null: not offered).
    CDiagnostic AddChunk(const CDatabaseNode* db, const std::string& name, const Rows& rows, size_t first, size_t last,
                         const std::vector<CSortKey>& keys, CSortKeyStore& store);
    // The values of `key` (a store key name of `db`) for rows[first, last) into values, row
    // i - first (empty: none); `numeric` the key's kind.
    CDiagnostic ReadValues(const CDatabaseNode* db, const std::string& key, const Rows& rows, size_t first, size_t last,
                           ChunkValues& values, bool& numeric);

    const CChannelAccess& m_channel;
    CCatalogueView& m_catalogue;
    const std::atomic<bool>* m_stop;
};
