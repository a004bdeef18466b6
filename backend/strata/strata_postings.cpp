// Posting blocks: the varint codec of one block's record numbers, and the bitmap of unions.
#include "backend/strata/strata_postings.h"

#include "backend/strata/strata_admin.h"

void EncodePostingBlock(const uint32_t* numbers, size_t count, std::string& out) {
    out.clear();
    uint32_t previous = 0;
    for (size_t i = 0; i < count; ++i) {
        uint32_t v = numbers[i] - previous;
        previous = numbers[i];
        while (v >= 0x80) {
            out.push_back(char(0x80 | (v & 0x7F)));
            v >>= 7;
        }
        out.push_back(char(v));
    }
}

namespace {

// Calls emit(number) for each number of the block; false when the block is not valid.
template <typename Emit>
bool WalkBlock(const unsigned char* p, size_t size, Emit emit) {
    const unsigned char* end = p + size;
    uint64_t previous = 0;
    bool first = true;
    while (p < end) {
        uint64_t v = 0;
        int shift = 0;
        for (;;) {
            if (p == end || shift > 28) return false;
            const unsigned char c = *p++;
            v |= uint64_t(c & 0x7F) << shift;
            if ((c & 0x80) == 0) break;
            shift += 7;
        }
        if (v == 0 && !first) return false;
        first = false;
        previous += v;
        if (previous > 0xFFFFFFFFu) return false;
        emit(uint32_t(previous));
    }
    return true;
}

}  // namespace

bool DecodePostingBlock(const unsigned char* data, size_t size, std::vector<uint32_t>& out) {
    return WalkBlock(data, size, [&out](uint32_t n) { out.push_back(n); });
}

bool CRecordBitmap::SetBlock(const unsigned char* data, size_t size) {
    return WalkBlock(data, size, [this](uint32_t n) {
        if (n <= uint32_t(kStrataMaxRecordNumber)) Set(n);
    });
}

void CRecordBitmap::AppendTo(std::vector<uint32_t>& out) const {
    for (size_t w = 0; w < m_words.size(); ++w) {
        uint64_t bits = m_words[w];
        while (bits != 0) {
            out.push_back(uint32_t(w * 64 + size_t(__builtin_ctzll(bits))));
            bits &= bits - 1;
        }
    }
}
