#pragma once
// CRowFile: one temporary data file of the row store, created with a unique name in a given
// folder, appended to, memory-mapped read-only, and deleted with the object. A file created with
// a memory limit keeps its bytes in memory (no file on disk, "mapping" = the buffer) until an
// append would take it past the limit, or all such files of the process past the memory budget;
// then it moves them to a new file and goes on as one.
// Thread safety: none; a file belongs to the store that created it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CRowFile {
public:
    CRowFile() = default;
    CRowFile(const CRowFile&) = delete;
    CRowFile& operator=(const CRowFile&) = delete;
    CRowFile(CRowFile&& other) noexcept;
    CRowFile& operator=(CRowFile&& other) noexcept;
    // Unmaps, closes and deletes the file.
    ~CRowFile();

    // Creates a new empty file "folder/PPPXXXX.tmp" (exclusive creation, so the name is unique)
    // and opens it for reading and appending. An open file is removed first. 0, or -1 with the
    // reason in `error`.
    int Create(const std::string& folder, const std::string& prefix, std::string& error);
    // The same, but the bytes stay in memory while they total at most `memoryLimit` (0: a file
    // from the start, as Create). The folder must exist and be writable (checked now, used when
    // the data outgrows the limit). 0, or -1 with the reason in `error`.
    int Create(const std::string& folder, const std::string& prefix, size_t memoryLimit, std::string& error);
    // Appends all `length` bytes at the end, or nothing: a short or failed write is cut back
    // off the file. 0, or -1 (file unchanged). A mapping stays valid over its mapped size.
    int Append(const void* data, size_t length);
    // Maps the file's current size read-only (an empty file maps to no data). 0, or -1.
    int Map();
    void Unmap();
    // Unmaps, closes and deletes the file; the object is then empty. Safe on an empty object.
    void Remove();

    // Bytes all files of the process may hold in memory together (default 64 MiB), and the bytes
    // they hold now. Any thread.
    static void SetMemoryBudget(int64_t bytes);
    static int64_t GetMemoryBudget();
    static int64_t GetMemoryInUse();
    // Counts `bytes` that another holder of row data keeps in memory against the same budget:
    // true, or false (nothing counted) when they would take the process past it. Any thread.
    static bool ChargeMemory(int64_t bytes);
    // Gives back bytes counted by ChargeMemory. Any thread.
    static void UnchargeMemory(int64_t bytes);

    bool IsOpen() const { return m_fd >= 0 || m_inMemory; }
    // Whether the bytes are still held in memory (no file on disk).
    bool IsInMemory() const { return m_inMemory; }
    // The file's path; "" while the bytes are in memory.
    const std::string& GetPath() const { return m_path; }
    // Bytes written so far (the file's size).
    int64_t GetSize() const { return m_size; }
    // The mapped bytes and their count (null and 0 when nothing is mapped).
    const unsigned char* GetData() const { return m_data; }
    int64_t GetMappedSize() const { return m_mappedSize; }

private:
    int CreateFile(const std::string& folder, const std::string& prefix, std::string& error);
    int Spill();
    int MapFile(int64_t size);
    void ReleaseMemory();

    int m_fd = -1;
    bool m_inMemory = false;
    std::vector<unsigned char> m_memory;  // the bytes while m_inMemory
    size_t m_memoryLimit = 0;
    int64_t m_charged = 0;  // bytes of m_memory counted in the process's memory budget
    std::string m_folder;  // where a memory file spills
    std::string m_prefix;
    std::string m_path;
    int64_t m_size = 0;
    const unsigned char* m_data = nullptr;
    int64_t m_mappedSize = 0;
};
