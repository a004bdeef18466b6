#include "backend/strata/strata_package.h"

#include <cstring>

namespace {

uint32_t ReadU32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the digit and zero-octet words assume a little-endian host");

// Seven digits of n (< 10^7) at out[0..7): the eight digits of n worked out in the lanes of one
// 64-bit word (halves of four digits, then pairs, then single digits), the leading zero dropped.
void PutSevenDigits(char* out, uint32_t n) {
    uint64_t x = (n / 10000) | (uint64_t(n % 10000) << 32);
    uint64_t q = ((x * 10486) >> 20) & 0x0000007F0000007FULL;  // each half / 100
    x = ((x - q * 100) << 16) | q;
    q = ((x * 103) >> 10) & 0x000F000F000F000FULL;  // each pair / 10
    x = ((x - q * 10) << 8) | q;
    x = (x | 0x3030303030303030ULL) >> 8;  // ASCII, first digit in the low byte; drop the leading '0'
    std::memcpy(out, &x, 7);
}

// Whether a zero octet occurs in data[0..length); short entries (hit lines) without a call.
bool HasZero(const char* data, size_t length) {
    if (length > 8) return std::memchr(data, 0, length) != nullptr;
    if (length >= 4) {  // two overlapping four-octet words cover the entry
        uint32_t a = 0, b = 0;
        std::memcpy(&a, data, 4);
        std::memcpy(&b, data + length - 4, 4);
        return (((a - 0x01010101u) & ~a) | ((b - 0x01010101u) & ~b)) & 0x80808080u;
    }
    for (size_t i = 0; i < length; ++i)
        if (data[i] == 0) return true;
    return false;
}

void PutU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(char((v >> (8 * i)) & 0xFF));
}

}  // namespace

// Empties the package but keeps the storage of its vectors for the next load.
void CPackage::Clear() {
    m_kind = 0;
    m_data.clear();
    m_base = nullptr;
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

int CPackage::LoadPackage(const char* buffer, size_t size) { return Load(buffer, size, true); }

int CPackage::LoadPackageInPlace(const char* buffer, size_t size) { return Load(buffer, size, false); }

int CPackage::Load(const char* buffer, size_t size, bool copy) {
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
    // One pass checks every length and notes where each entry lies (storage reused).
    m_entries.resize(count);
    size_t pos = first;
    for (size_t i = 0; i < count; ++i) {
        if (total - pos < kPackageEntryOverhead) return Clear(), -1;
        const size_t len = ReadU32(p + pos);
        pos += kPackageEntryOverhead;
        if (len > total - pos) return Clear(), -1;
        if (kind == kPackageLines && HasZero(buffer + pos, len)) return Clear(), -1;
        m_entries[i] = {uint32_t(pos), uint32_t(len)};
        pos += len;
    }
    if (pos != total) return Clear(), -1;
    if (copy) {
        m_data.assign(buffer, total);
        m_base = m_data.data();
    } else {
        m_base = buffer;
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
        for (size_t i = 0; i < m_entries.size(); ++i) m_lines[i].assign(m_base + m_entries[i].first, m_entries[i].second);
        m_linesMade = true;
    }
    return m_lines;
}

int CPackage::CvtPackageToBinFormat(int mode) {
    if (mode != 1 || m_kind == 0) return -1;
    m_records.clear();
    m_records.reserve(m_entries.size());
    for (const auto& e : m_entries) {
        const auto* p = reinterpret_cast<const unsigned char*>(m_base) + e.first;
        m_records.emplace_back(p, p + e.second);
    }
    return 0;
}

bool CPackageWriter::Fits(size_t length, size_t reserve) const {
    const size_t need = kPackageHeaderSize + reserve + m_body->size() + kPackageEntryOverhead + length;
    return need <= m_capacity && need <= 0xFFFFFFFFu;
}

bool CPackageWriter::Add(const char* data, size_t length, size_t reserve) {
    if (!Fits(length, reserve)) return false;
    if (m_kind == kPackageLines && std::memchr(data, 0, length) != nullptr) return false;
    PutU32(*m_body, uint32_t(length));
    m_body->append(data, length);
    ++m_count;
    return true;
}

size_t CPackageWriter::AddSevenDigitLines(const int64_t* numbers, size_t count, size_t reserve) {
    constexpr size_t kEntry = kPackageEntryOverhead + 7;
    const size_t used = kPackageHeaderSize + reserve + m_body->size();
    size_t room = used < m_capacity ? (m_capacity - used) / kEntry : 0;
    if (room > count) room = count;
    size_t n = 0;
    while (n < room && numbers[n] >= 0 && numbers[n] <= 9999999) ++n;
    const size_t at = m_body->size();
    m_body->resize(at + n * kEntry);
    char* p = m_body->data() + at;
    for (size_t i = 0; i < n; ++i, p += kEntry) {
        p[0] = 7;
        p[1] = p[2] = p[3] = 0;
        PutSevenDigits(p + kPackageEntryOverhead, uint32_t(numbers[i]));
    }
    m_count += n;
    return n;
}

int CPackageWriter::Finish(const std::string& continuation, char* out) const {
    if (continuation.size() > kPackageMaxContinuation) return -1;
    const size_t total = kPackageHeaderSize + continuation.size() + m_body->size();
    if (total > m_capacity || total > 0x7FFFFFFF) return -1;
    std::string head = "VKPK";
    PutU32(head, uint32_t(total));
    head.push_back(char(m_kind));
    head.push_back(char(continuation.size() & 0xFF));
    head.push_back(char(continuation.size() >> 8));
    head += continuation;
    PutU32(head, uint32_t(m_count));
    std::memcpy(out, head.data(), head.size());
    std::memcpy(out + head.size(), m_body->data(), m_body->size());
    return int(total);
}
