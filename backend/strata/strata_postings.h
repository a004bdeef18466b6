#pragma once
// Posting blocks of the store (see the layout in strata_engine.h): encoding and decoding of one
// block's record numbers, and a bitmap of record numbers for unions. Stateless; any thread.

#include <cstdint>
#include <string>
#include <vector>

// Encodes ascending, distinct, positive numbers as LEB128 varints: the first number, then the
// differences. Replaces `out`.
void EncodePostingBlock(const uint32_t* numbers, size_t count, std::string& out);

// Appends the numbers of one block to `out`. False (nothing or part appended) when the octets
// are not a valid block: a truncated varint, a number above 2^32 - 1, or a zero difference.
bool DecodePostingBlock(const unsigned char* data, size_t size, std::vector<uint32_t>& out);

// A set of record numbers as one bit per number, grown on demand up to kStrataMaxRecordNumber.
class CRecordBitmap {
public:
    void Set(uint32_t n) {
        const size_t word = n >> 6;
        if (word >= m_words.size()) m_words.resize(word + 1 + (word >> 3), 0);
        m_words[word] |= uint64_t(1) << (n & 63);
    }
    bool Test(uint32_t n) const {
        const size_t word = n >> 6;
        return word < m_words.size() && (m_words[word] >> (n & 63)) & 1;
    }
    // Sets the numbers of one encoded block; false when the block is not valid.
    bool SetBlock(const unsigned char* data, size_t size);
    // The numbers in ascending order, appended to `out`.
    void AppendTo(std::vector<uint32_t>& out) const;

private:
    std::vector<uint64_t> m_words;
};
