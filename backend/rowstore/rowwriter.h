#pragma once
// CRowWriter: buffered sequential appends of whole rows to a CRowFile (resequencing and merges).
// Thread safety: none.

#include <cstring>
#include <vector>

#include "backend/rowstore/rowfile.h"

class CRowWriter {
public:
    static constexpr size_t kDefaultBufferSize = 1 << 20;
    // `file` must outlive the writer.
    explicit CRowWriter(CRowFile& file, size_t bufferSize = kDefaultBufferSize) : m_file(file) {
        m_buffer.reserve(bufferSize);
    }
    // Queues `length` bytes. 0, or -1 once a write has failed (the error is sticky).
    int Put(const unsigned char* p, size_t length) {
        if (m_failed)
            return -1;
        if (m_buffer.size() + length > m_buffer.capacity() && Drain() != 0)
            return -1;
        if (length > m_buffer.capacity())
            return Write(p, length);
        m_buffer.insert(m_buffer.end(), p, p + length);
        return 0;
    }
    // Writes what is buffered. 0, or -1 when any write failed.
    int Finish() { return m_failed ? -1 : Drain(); }

private:
    int Drain() {
        int rc = Write(m_buffer.data(), m_buffer.size());
        m_buffer.clear();
        return rc;
    }
    int Write(const unsigned char* p, size_t length) {
        if (length && m_file.Append(p, length) != 0)
            m_failed = true;
        return m_failed ? -1 : 0;
    }

    CRowFile& m_file;
    std::vector<unsigned char> m_buffer;
    bool m_failed = false;
};
