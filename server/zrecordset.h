#pragma once
// CZRecordSet / CZResultSet: the hits of a search as a sorted, duplicate-free set of
// (database name, 64-bit back-end record number) rows in a file-backed row store (CMemSort), with
// the intersection, union and difference merges of RPN evaluation and read access by position.
// Row format in the data file (little-endian): L (int32, = N + 16) | N (int32, name length with
// its terminating zero) | name, zero-terminated | the value 8 (int32) | record number (int64).
// Order: names byte by byte (case matters), then record numbers, smaller first.
// Compact form: while every row came from AddHits for one database, in strictly ascending order
// and with numbers of 0 to 2^32-1 (a hit list), the set holds only that name and the numbers,
// four octets a row, in memory charged to the row store's memory budget and within its per-store
// memory data limit. Every operation answers as for the row file; one that needs rows (Add,
// AddRow, a merge with a set of other rows) writes them out first. Merges of two compact sets of
// one database stay compact.
// Ownership: a set owns its data file, which is deleted with the set or when it is re-Created.
// Thread safety: none; a set belongs to the session thread that made it.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "backend/rowstore/memsort.h"
#include "berkit/bytearray.h"

class CZRecordSet : public CMemSort {
public:
    CZRecordSet();
    ~CZRecordSet() override;

    // Appends one row to the write buffer; flushes every m_flushThreshold rows. 0, or -1 for a
    // name longer than kMaxNameLength (nothing added).
    int Add(const std::string& dbName, int64_t recordNumber);
    // Add for numbers[0..count), all of database `dbName`: the rows are built from one template.
    // 0, or -1 as Add (nothing added).
    int AddHits(const std::string& dbName, const int64_t* numbers, size_t count);
    // Appends a copy of a complete row (`row` at its L field, L + 4 bytes). 0, or -1 for an
    // implausible L (nothing added).
    int AddRow(const unsigned char* row);
    // Writes the buffered rows at the end of the data file. The byte count written, 0 for an empty
    // buffer, or -1 (rows stay in the buffer) when the file cannot be written.
    int Flush();
    // Flushes, maps and indexes unless already done. 0, or -1 when any step fails.
    int EnsureIndexed();
    // Sorts the set, drops duplicates and rewrites the data file in order, indexed. `param` is
    // kept as the store's sort parameter. 0; 1 when the sort was stopped; -1 on a failure.
    int Sort(int param);
    // Indexes the set, sorting it (Sort(0)) only when Add did not append its rows in strictly
    // ascending order (a hit list of one database arrives that way). Returns as Sort.
    int SortAppended();
    // Whether Add / AddHits appended every row above the one before (so the set is in order).
    bool IsAppendedAscending() const { return m_ascending; }
    // True when there is no data file or no row.
    bool IsEmpty() const;

    // Merges of two sorted sets into `output`, which is re-Created first (this = left operand).
    // `stop`, when given, is checked between rows. 0; 1 when stopped (output indexed as far as
    // it got); -1 when `output` is one of the inputs or a step fails.
    int And(CZRecordSet& other, CZRecordSet& output, const std::atomic<bool>* stop = nullptr);
    int Or(CZRecordSet& other, CZRecordSet& output, const std::atomic<bool>* stop = nullptr);
    int AndNot(CZRecordSet& other, CZRecordSet& output, const std::atomic<bool>* stop = nullptr);

    // Row `row` (zero-based) of an indexed set. 0, or -1 when the number is out of range or the
    // set is not indexed (outputs untouched).
    int GetRow(int64_t row, std::string& dbName, int64_t& recordNumber) const;

    int CompareRow(int64_t a, int64_t b) override;
    int CompareRowWith(int64_t a, int64_t i) override;
    int CompareRowData(const unsigned char* a, const unsigned char* b) override;
    bool IsValidRow(const unsigned char* body, uint32_t length) const override;
    // Releases the store's file and index and empties the write buffer.
    void ClearResource() override;

    // Longest database name a row may carry (octets, without the terminating zero).
    static constexpr size_t kMaxNameLength = 4096;

    // Whether the rows are held in the compact form.
    bool IsCompact() const { return m_compact; }

    CByteArray m_writeBuffer;    // rows appended since the last flush
    int m_pendingRows = 0;       // rows in m_writeBuffer
    int m_flushThreshold = 100;  // m_pendingRows value that triggers a flush
    int m_indexed = 0;           // 1: mapped and indexed, nothing appended since

private:
    enum class MergeKind { And, Or, AndNot };
    int Merge(CZRecordSet& other, CZRecordSet& output, const std::atomic<bool>* stop,
              MergeKind kind);
    // Readies both inputs of a merge of rows (written out, indexed) and re-Creates `output`. 0, or -1.
    int PrepareMerge(CZRecordSet& other, CZRecordSet& output);
    // Grows the write buffer's room to at least `needed` octets, in steps of 4096.
    void ReserveBuffer(size_t needed);
    void BufferRow(const unsigned char* row, size_t length);
    // Appends rows of one database from numbers[0..count), tracking the ascending order.
    template <typename Number>
    void AppendRows(const char* name, size_t nameLength, const Number* numbers, size_t count);
    // Takes numbers[0..count) into the compact form when the set is (or may become) compact and
    // the memory is granted; false (nothing added) otherwise.
    bool AddCompact(const char* name, size_t nameLength, const int64_t* numbers, size_t count);
    // Grows the compact numbers' room to at least `rows`, charged to the memory budget; false
    // when the per-store limit or the budget refuses it.
    bool ReserveCompact(size_t rows);
    // Writes a compact set's rows out as rows (the set then works from its row file). 0, or -1.
    int Materialise();
    // Merge of two sets that are compact or empty, of one database, into a compact `output`.
    // 0, or -1 when this does not apply or the memory is refused (output left empty).
    int MergeCompact(CZRecordSet& other, CZRecordSet& output, MergeKind kind);
    void ReleaseCompact();
    // Gives back the compact numbers' spare room (and its charge).
    void FitCompact();

    bool m_compact = false;           // rows are (m_compactName, m_numbers[i])
    std::string m_compactName;
    std::vector<uint32_t> m_numbers;  // strictly ascending
    int64_t m_compactCharged = 0;     // octets of m_numbers' room counted in the memory budget

    // Whether every row so far was appended by Add above the one before (empty: true).
    bool m_ascending = true;
    std::string m_lastName;
    int64_t m_lastNumber = 0;
};

// A result set stored in a session under a name.
class CZResultSet : public CZRecordSet {
public:
    std::string m_name;      // compared without regard to case by the session
    int m_nextPosition = 0;  // where the next Present without a start point begins
};
