#include "backend/strata/strata_package.h"

#include <cstring>

namespace {

uint32_t ReadU32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(char((v >> (8 * i)) & 0xFF));
}

}  // namespace

// Empties the package but keeps the storage of its vectors for the next load.
void CPackage::Clear() {
    m_kind = 0;
    m_data.clear();
    m_entries.clear();
    m_linesReady = false;
    m_linesMade = false;
    m_lines.clear();
    m_records.clear();
    m_continuation.clear();
}

int CPackage::LoadPackage(const CByteArray& buffer) {
    return LoadPackage(reinterpret_cast<const char*>(buffer.data()), buffer.size());
}

int CPackage::LoadPackage(const char* buffer, size_t size) {
    Clear();
    if (buffer == nullptr || size < kPackageHeaderSize) return -1;
    const auto* p = reinterpret_cast<const unsigned char*>(buffer);
    if (std::memcmp(p, "VKPK", 4) != 0) return -1;
    const size_t total = ReadU32(p + 4);
    if (total < kPackageHeaderSize || total > size) return -1;
    const uint8_t kind = p[8];
    if (kind != kPackageLines && kind != kPackageBlocks) return -1;
    const size_t contLen = size_t(p[9]) | size_t(p[10]) << 8;
    if (contLen > kPackageMaxContinuation || 11 + contLen + 4 > total) return -1;
    if (std::memchr(buffer + 11, 0, contLen) != nullptr) return -1;
    const size_t first = 11 + contLen + 4;
    const size_t count = ReadU32(p + first - 4);
    // Every entry needs at least its length field: a count beyond that is a lie.
    if (count > (total - first) / kPackageEntryOverhead) return -1;
    // Check every length first, then copy into the package's own (reused) storage.
    size_t pos = first;
    for (size_t i = 0; i < count; ++i) {
        if (total - pos < kPackageEntryOverhead) return -1;
        const size_t len = ReadU32(p + pos);
        pos += kPackageEntryOverhead;
        if (len > total - pos) return -1;
        if (kind == kPackageLines && std::memchr(buffer + pos, 0, len) != nullptr) return -1;
        pos += len;
    }
    if (pos != total) return -1;
    m_data.assign(buffer, total);
    m_entries.resize(count);
    pos = first;
    for (size_t i = 0; i < count; ++i) {
        const size_t len = ReadU32(p + pos);
        pos += kPackageEntryOverhead;
        m_entries[i] = {uint32_t(pos), uint32_t(len)};
        pos += len;
    }
    m_kind = kind;
    m_continuation.assign(buffer + 11, contLen);
    return 0;
}

int CPackage::CvtPackageToLineFormat(int mode) {
    if (mode != 1 || m_kind != kPackageLines) return -1;
    m_linesReady = true;
    return 0;
}

const std::vector<std::string>& CPackage::GetLines() const {
    if (m_linesReady && !m_linesMade) {
        m_lines.resize(m_entries.size());  // reuses the lines' storage
        for (size_t i = 0; i < m_entries.size(); ++i) m_lines[i].assign(m_data, m_entries[i].first, m_entries[i].second);
        m_linesMade = true;
    }
    return m_lines;
}

int CPackage::CvtPackageToBinFormat(int mode) {
    if (mode != 1 || m_kind == 0) return -1;
    m_records.clear();
    m_records.reserve(m_entries.size());
    for (const auto& e : m_entries) {
        const auto* p = reinterpret_cast<const unsigned char*>(m_data.data()) + e.first;
        m_records.emplace_back(p, p + e.second);
    }
    return 0;
}

bool CPackageWriter::Fits(size_t length, size_t reserve) const {
    const size_t need = kPackageHeaderSize + reserve + m_body.size() + kPackageEntryOverhead + length;
    return need <= m_capacity && need <= 0xFFFFFFFFu;
}

bool CPackageWriter::Add(const char* data, size_t length, size_t reserve) {
    if (!Fits(length, reserve)) return false;
    if (m_kind == kPackageLines && std::memchr(data, 0, length) != nullptr) return false;
    PutU32(m_body, uint32_t(length));
    m_body.append(data, length);
    ++m_count;
    return true;
}

bool CPackageWriter::AddSevenDigits(uint32_t n, size_t reserve) {
    if (n > 9999999 || !Fits(7, reserve)) return false;
    char entry[kPackageEntryOverhead + 7] = {7, 0, 0, 0};
    for (size_t i = sizeof entry; i-- > kPackageEntryOverhead; n /= 10) entry[i] = char('0' + n % 10);
    m_body.append(entry, sizeof entry);  // the body's storage is reserved up front
    ++m_count;
    return true;
}

int CPackageWriter::Finish(const std::string& continuation, char* out) const {
    if (continuation.size() > kPackageMaxContinuation) return -1;
    const size_t total = kPackageHeaderSize + continuation.size() + m_body.size();
    if (total > m_capacity || total > 0x7FFFFFFF) return -1;
    std::string head = "VKPK";
    PutU32(head, uint32_t(total));
    head.push_back(char(m_kind));
    head.push_back(char(continuation.size() & 0xFF));
    head.push_back(char(continuation.size() >> 8));
    head += continuation;
    PutU32(head, uint32_t(m_count));
    std::memcpy(out, head.data(), head.size());
    std::memcpy(out + head.size(), m_body.data(), m_body.size());
    return int(total);
}
