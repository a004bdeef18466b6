#pragma once
// CPackage: decoder of a back-end channel answer, and the writer the store uses to build one.
// Answer layout (all integers little-endian, the whole answer within the caller's buffer):
//   "VKPK" | u32 total length | u8 kind (1 lines, 2 blocks) | u16 continuation length |
//   continuation octets | u32 entry count | entries: u32 length + octets, exactly up to total.
// Lines hold no zero octet. LoadPackage checks every length; anything else is refused.
// Thread safety: none; a package belongs to the thread that loads it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "berkit/bytearray.h"

constexpr uint8_t kPackageLines = 1;
constexpr uint8_t kPackageBlocks = 2;
constexpr size_t kPackageHeaderSize = 4 + 4 + 1 + 2 + 4;  // without the continuation
constexpr size_t kPackageEntryOverhead = 4;
constexpr size_t kPackageMaxContinuation = 256;

class CPackage {
public:
    // Validates and loads an answer; `size` is the buffer size (the answer may be shorter).
    // 0 on success; -1 (package emptied) when the answer is malformed or truncated.
    int LoadPackage(const char* buffer, size_t size);
    int LoadPackage(const std::string& buffer) { return LoadPackage(buffer.data(), buffer.size()); }
    int LoadPackage(const CByteArray& buffer);
    // LoadPackage without a copy: the package reads `buffer`, which must stay unchanged until the
    // next load or Clear.
    int LoadPackageInPlace(const char* buffer, size_t size);

    // Makes the entries available as text lines (line packages only) or as byte blocks (either
    // kind). `mode` must be 1. 0 on success, -1 when nothing is loaded or the kind does not fit.
    int CvtPackageToLineFormat(int mode);
    int CvtPackageToBinFormat(int mode);

    size_t GetLineCount() const { return m_linesReady ? m_entries.size() : 0; }
    const char* GetLine(size_t i) const { return i < GetLines().size() ? m_lines[i].c_str() : nullptr; }
    // The lines as strings (made on first use after CvtPackageToLineFormat).
    const std::vector<std::string>& GetLines() const;
    // Line i without a copy: valid until the next load. Empty out of range or before
    // CvtPackageToLineFormat.
    std::string_view GetLineView(size_t i) const {
        if (!m_linesReady || i >= m_entries.size()) return std::string_view();
        return std::string_view(m_base + m_entries[i].first, m_entries[i].second);
    }
    size_t GetRecordCount() const { return m_records.size(); }
    const CByteArray* GetRecord(size_t i) const { return i < m_records.size() ? &m_records[i] : nullptr; }
    // Continuation text of the next page; empty on the last page.
    const std::string& GetContinuation() const { return m_continuation; }
    uint8_t GetKind() const { return m_kind; }

private:
    void Clear();
    int Load(const char* buffer, size_t size, bool copy);

    uint8_t m_kind = 0;
    std::string m_data;                                 // the loaded answer, when copied
    const char* m_base = nullptr;                       // the answer's bytes (m_data or the caller's)
    std::vector<std::pair<uint32_t, uint32_t>> m_entries;  // offset in m_data and length
    bool m_linesReady = false;                          // CvtPackageToLineFormat succeeded
    mutable bool m_linesMade = false;                   // m_lines holds the lines
    mutable std::vector<std::string> m_lines;
    std::vector<CByteArray> m_records;
    std::string m_continuation;
};

// Builds an answer into the caller's buffer, refusing to grow past its capacity.
class CPackageWriter {
public:
    // `storage`, when given, holds the entries instead of the writer's own string, so that a
    // caller writing many answers keeps one buffer; it must outlive the writer.
    CPackageWriter(uint8_t kind, size_t capacity, std::string* storage = nullptr)
        : m_kind(kind), m_capacity(capacity), m_body(storage ? storage : &m_own) {
        m_body->clear();
        m_body->reserve(capacity < kMaxReserve ? capacity : kMaxReserve);
    }
    CPackageWriter(const CPackageWriter&) = delete;
    CPackageWriter& operator=(const CPackageWriter&) = delete;
    // Whether an entry of `length` octets still fits (with a continuation of up to `reserve`).
    bool Fits(size_t length, size_t reserve) const;
    // Appends an entry; false (nothing appended) when it does not fit.
    bool Add(const char* data, size_t length, size_t reserve = 0);
    bool Add(const std::string& s, size_t reserve = 0) { return Add(s.data(), s.size(), reserve); }
    // Appends lines of exactly seven digits (zero-padded, as %07u), one per number, from the first
    // on, until a number is not 0 to 9999999 or a line no longer fits; how many were added.
    size_t AddSevenDigitLines(const int64_t* numbers, size_t count, size_t reserve = 0);
    size_t GetCount() const { return m_count; }
    // Writes the answer to `out` with `continuation`; returns its length, or -1 when it exceeds the
    // capacity (or the continuation is too long).
    int Finish(const std::string& continuation, char* out) const;

private:
    static constexpr size_t kMaxReserve = 1 << 16;  // reserved up front: no regrowth copies
    uint8_t m_kind;
    size_t m_capacity;
    size_t m_count = 0;
    std::string m_own;
    std::string* m_body;  // encoded entries (m_own or the caller's storage)
};
