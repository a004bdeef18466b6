#pragma once
// CResultSorter: the Sort facility's engine: orders the rows of one result set by keys read from
// their records (server/sortkeys.h) into a new set whose rows are in that order. Records are read
// through the back-end channel in record-list reads of up to kStrataMaxBatchRecords; keys go into
// a row store of their own (CSortKeyStore), which sorts in memory or, above the row store's sort
// memory limit, externally in runs, so memory stays bounded for large sets. The order is stable:
// rows with equal keys keep their input order. The stop flag is read between reads and during
// the sort.
// Ownership: the channel access, catalogue view and stop flag must outlive the sorter.
// Thread safety: none; one thread (the caller's) at a time.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "backend/rowstore/memsort.h"
#include "berkit/bernode_sort.h"
#include "server/diagnostic.h"
#include "server/searchcontext.h"
#include "server/sortkeys.h"
#include "server/zrecordset.h"

class CCatalogueView;
class CDatabaseNode;

// One key of a sort, as the engine applies it.
struct CSortKey {
    CSortKeyKind m_kind = CSortKeyKind::kTitle;
    bool m_descending = false;
    bool m_caseSensitive = false;
    CZMissingAction m_missing = CZMissingAction::kNull;
    std::string m_missingKey;  // folded missingValueData (kValue)
};

// Rows of (input position, keys): each key a flag octet (0 present, 1 missing) and a 32-bit
// length with its octets. Rows compare key by key (descending keys reversed; a missing value
// after every present one in either direction), then by position.
class CSortKeyStore : public CMemSort {
public:
    CSortKeyStore(std::vector<bool> descending, const std::atomic<bool>* stop)
        : m_descending(std::move(descending)), m_stop(stop) {}
    // Buffers one row; keys[i] null for a missing value. 0, or -1 when it cannot be written.
    int Add(uint32_t position, const std::vector<const std::string*>& keys);
    // Writes the buffered rows, maps and indexes, sorts. 0; 1 stopped; -1 failed.
    int SortRows();
    // The input position of sorted row i.
    uint32_t PositionAt(int64_t i) const { return RowGetU32(GetData() + GetRowPtr(i)); }

    int CompareRow(int64_t a, int64_t b) override { return CompareRowData(GetData() + a, GetData() + b); }
    int CompareRowWith(int64_t a, int64_t i) override { return CompareRow(a, GetRowPtr(i)); }
    int CompareRowData(const unsigned char* a, const unsigned char* b) override;
    bool IsValidRow(const unsigned char* body, uint32_t length) const override;
    int DoProgress(int64_t, int64_t) override { return m_stop != nullptr && m_stop->load() ? 1 : 0; }

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
    // new order, indexed). A row whose record cannot be read has missing values; `unread` counts
    // them. The error otherwise: 207 for a missing value under missingValueAction abort (addinfo
    // the record), 2 for a read, write or stop failure.
    CDiagnostic Sort(CZRecordSet& input, const std::vector<CSortKey>& keys, CZRecordSet& output, int64_t& unread);

private:
    // Reads the records of input rows [first, first + count) and adds their key rows.
    CDiagnostic AddBatch(CZRecordSet& input, int64_t first, int64_t count, const std::vector<CSortKey>& keys,
                         CSortKeyStore& store, int64_t& unread);
    // The Diriv texts of `numbers` of `db`: one record-list read, then single reads for the rest.
    void ReadTexts(const CDatabaseNode* db, const std::vector<int64_t>& numbers, std::vector<std::string>& texts);

    const CChannelAccess& m_channel;
    CCatalogueView& m_catalogue;
    const std::atomic<bool>* m_stop;
};
