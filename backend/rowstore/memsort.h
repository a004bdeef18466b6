#pragma once
// CShellSort / CMemSort: the file-backed sortable row store under result sets. Rows live back to
// back in a data file as a 32-bit little-endian length L followed by L bytes; the row index holds,
// for each row, the offset of the byte after its L field. Sorting is driven by the subclass's
// compare operations: an index sort over the memory-mapped file when the data fits the sort
// memory limit, an external merge sort (sorted runs in temporary files, one k-way merge) beyond.
// Data files are created with unique names in the process's temporary folder and removed by
// ClearResource, Create and the destructor. A store's data stays in memory (no file) while it
// totals at most the memory data limit (and the process's stores stay within their memory
// budget), and moves to its file when it grows past it; every operation behaves the same either way.
// Thread safety: a store belongs to one thread at a time. The static settings: any thread.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "backend/rowstore/rowfile.h"

// Name prefixes of the store's temporary files: data files and the runs of an external sort.
constexpr const char* kRowFilePrefix = "vrs";
constexpr const char* kRowRunPrefix = "vrr";

// Index sort, duplicate removal and row pointers; no storage of its own.
class CShellSort {
public:
    CShellSort() = default;
    CShellSort(const CShellSort&) = delete;
    CShellSort& operator=(const CShellSort&) = delete;
    virtual ~CShellSort() = default;

    // Drops every row equal (CompareRow) to the row before it in index order. Returns the number
    // of rows dropped.
    virtual int64_t RemoveDupRow();
    virtual int64_t GetRowCount() const { return m_rowCount; }
    // Index entry i (offset of row i after its L field), or -1 out of range.
    virtual int64_t GetRowPtr(int64_t i) const;
    // Sets index entry i; ignored out of range.
    virtual void SetRowPtr(int64_t i, int64_t offset);
    // <0, 0, >0 as the row at offset a sorts before, equal to or after the row at offset b.
    virtual int CompareRow(int64_t a, int64_t b) = 0;
    // The same against row number i of the index.
    virtual int CompareRowWith(int64_t a, int64_t i) = 0;
    // Removes index entry i (the data stays until the file is resequenced). 0, or -1 out of range.
    virtual int DeleteRow(int64_t i);
    // Called during long sorts with the work done and the total; nonzero stops the sort.
    virtual int DoProgress(int64_t /*done*/, int64_t /*total*/) { return 0; }
    // Releases the index.
    virtual void ClearResource();

    // Sorts the index with CompareRow. 0, or 1 when DoProgress asked to stop.
    virtual int QuickSort();

    int m_sortParam = 0;  // stored by the record set's Sort; not interpreted here

protected:
    std::vector<int64_t> m_index;
    int64_t m_rowCount = 0;  // rows appended; incremented directly by the subclass
};

class CMemSort : public CShellSort {
public:
    CMemSort() = default;
    ~CMemSort() override;

    // Folder for the data files of every store created afterwards ("" = the system's temporary
    // folder, $TMPDIR or /tmp). Any thread.
    static void SetTempFolder(const std::string& folder);
    static std::string GetTempFolder();
    // Deletes the data and run files ("vrs*.tmp", "vrr*.tmp") that a previous process left in the
    // folder set by SetTempFolder (after a crash or kill). Call at start-up, before any store
    // exists, and only for a folder this process owns alone. The number deleted, or -1 when no
    // folder was set (the shared system folder is never swept).
    static int RemoveStaleFiles();
    // Data bytes a store keeps in memory before it writes them to its file; 0: a file from the
    // start. Default: the environment variable VELKAN_ROWSTORE_MEMORY (decimal bytes) when set,
    // else kDefaultMemoryDataLimit. Affects stores created (and resequenced) afterwards. Any thread.
    static void SetMemoryDataLimit(int64_t bytes);
    static int64_t GetMemoryDataLimit();
    static constexpr int64_t kDefaultMemoryDataLimit = 4 * 1024 * 1024;
    // What all stores of the process hold in memory together is bounded by
    // CRowFile::SetMemoryBudget (default 64 MiB); past it new data goes to files.
    // Data size above which QuickSort sorts externally. Default 256 MiB. Any thread.
    static void SetSortMemoryLimit(int64_t bytes);
    static int64_t GetSortMemoryLimit();

    // Empties the store and gives it a fresh data file. `fileName` must be null (named data files
    // are not supported). 0, or -1 (no data file; reason in GetLastError()).
    int Create(const char* fileName);
    // Appends raw row bytes (whole rows) to the data file: all or nothing. 0, or -1.
    int AppendData(const void* data, size_t length);
    // Maps the data file as it is now. 0, or -1.
    int CreateDataFileMap();
    // Rebuilds the index from the mapped data, validating every row (L within the data, and
    // IsValidRow). 0, or -1 with the index emptied when a row is malformed.
    int BuildIndexFile();
    // Rewrites the data file in index order (a new file replaces the old one), maps it and
    // rebuilds the index. 0, or -1 (the old file stays in use).
    int ReSequenceFile();
    // Index sort in memory, or an external merge sort when the data is above the limit.
    int QuickSort() override;
    // Removes the data file, the mapping and the index; row count 0.
    void ClearResource() override;

    // <0, 0, >0 for two row bodies (pointers just after their L fields).
    virtual int CompareRowData(const unsigned char* a, const unsigned char* b) = 0;
    // Whether a row body of `length` bytes is well formed; checked by BuildIndexFile.
    virtual bool IsValidRow(const unsigned char* /*body*/, uint32_t /*length*/) const { return true; }

    // True once Create succeeded (the data may still be in memory) until ClearResource.
    bool HasDataFile() const { return m_file.IsOpen(); }
    // Whether the data is held in memory, with no file on disk yet.
    bool IsInMemory() const { return m_file.IsInMemory(); }
    // The data file's path; "" while the data is in memory.
    const std::string& GetFileName() const { return m_file.GetPath(); }
    // Bytes in the data file (appended so far).
    int64_t GetFileSize() const { return m_file.GetSize(); }
    // The mapped data and its size (null and 0 before CreateDataFileMap or for an empty file).
    const unsigned char* GetData() const { return m_file.GetData(); }
    int64_t GetDataSize() const { return m_file.GetMappedSize(); }
    const std::string& GetLastError() const { return m_lastError; }

private:
    int ExternalSort();
    int WriteRun(size_t first, size_t last, std::vector<CRowFile>& runs);
    int MergeRuns(std::vector<CRowFile>& runs, CRowFile& out);
    CRowFile m_file;
    std::string m_lastError;
};

// Reads / writes a 32-bit or 64-bit little-endian integer (one move on a little-endian host).
inline uint32_t RowGetU32(const unsigned char* p) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
#else
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
#endif
}
inline void RowPutU32(unsigned char* p, uint32_t v) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(p, &v, sizeof v);
#else
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
#endif
}
inline uint64_t RowGetU64(const unsigned char* p) {
    return uint64_t(RowGetU32(p)) | uint64_t(RowGetU32(p + 4)) << 32;
}
inline void RowPutU64(unsigned char* p, uint64_t v) {
    RowPutU32(p, static_cast<uint32_t>(v));
    RowPutU32(p + 4, static_cast<uint32_t>(v >> 32));
}
