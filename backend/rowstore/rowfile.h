#pragma once
// CRowFile: one temporary data file of the row store, created with a unique name in a given
// folder, appended to, memory-mapped read-only, and deleted with the object.
// Thread safety: none; a file belongs to the store that created it.

#include <cstddef>
#include <cstdint>
#include <string>

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
    // Appends all `length` bytes at the end, or nothing: a short or failed write is cut back
    // off the file. 0, or -1 (file unchanged).
    int Append(const void* data, size_t length);
    // Maps the file's current size read-only (an empty file maps to no data). 0, or -1.
    int Map();
    void Unmap();
    // Unmaps, closes and deletes the file; the object is then empty. Safe on an empty object.
    void Remove();

    bool IsOpen() const { return m_fd >= 0; }
    const std::string& GetPath() const { return m_path; }
    // Bytes written so far (the file's size).
    int64_t GetSize() const { return m_size; }
    // The mapped bytes and their count (null and 0 when nothing is mapped).
    const unsigned char* GetData() const { return m_data; }
    int64_t GetMappedSize() const { return m_mappedSize; }

private:
    int m_fd = -1;
    std::string m_path;
    int64_t m_size = 0;
    const unsigned char* m_data = nullptr;
    int64_t m_mappedSize = 0;
};
