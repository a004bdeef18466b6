// BER decoding: DecodeBER builds a CBERNode tree from octets, IsCompleteBER frames one element.
// Both check every element against its enclosing element and the input, and bound the nesting.
#include <cstdint>
#include <cstring>

#include "bernode.h"
#include "bernode_header.h"
#include "bertrace.h"

int BerGetTag(const unsigned char* data, long available, unsigned int& tag)
{
    tag = 0xFFFFFFFFu;
    if (available < 1)
        return 0;
    if ((data[0] & 0x1F) != 0x1F) {
        tag = data[0] & 0x1F;
        return 1;
    }
    unsigned int value = 0;
    for (long i = 1; i < available; ++i) {
        if (value > (0xFFFFFFFFu >> 7))
            return 0;  // one more group would not fit in 32 bits
        value = (value << 7) | (data[i] & 0x7F);
        if ((data[i] & 0x80) == 0) {
            tag = value;
            return static_cast<int>(i + 1);
        }
    }
    return 0;
}

namespace {

// The length field at `data`: 1 (short or indefinite form) or 1 + n octets (n <= 8). Returns the
// octets used; 0 when truncated; -1 when malformed (more than 8 octets, or the reserved 0xFF).
int ReadLengthField(const unsigned char* data, long available, uint64_t& value, bool& indefinite)
{
    value = 0;
    indefinite = false;
    if (available < 1)
        return 0;
    if (data[0] < 0x80) {
        value = data[0];
        return 1;
    }
    const int count = data[0] & 0x7F;
    if (count > 8 || data[0] == 0xFF)
        return -1;
    if (count == 0) {
        indefinite = true;
        return 1;
    }
    if (available < 1 + count)
        return 0;
    for (int i = 1; i <= count; ++i)
        value = (value << 8) | data[i];
    return 1 + count;
}

}  // namespace

int BerGetLength(const unsigned char* data, long available, long& length)
{
    length = -1;
    uint64_t value = 0;
    bool indefinite = false;
    const int used = ReadLengthField(data, available, value, indefinite);
    if (used <= 0)
        return 0;
    if (indefinite)
        return 1;
    if (value > 0x7FFFFFFFull)
        return 0;
    length = static_cast<long>(value);
    BerTrace("in get_len: ASN.1 length field is %d bytes long, *len=%ld\n", used, length);
    return used;
}

BerFrame BerFrameLength(const unsigned char* data, long available, int64_t& total, int* headerOctets)
{
    total = 0;
    unsigned int tag = 0;
    const int tagUsed = BerGetTag(data, available, tag);
    if (tagUsed == 0)  // truncated, or a number of more than 32 bits (5 octets after the first)
        return available > 5 ? BerFrame::kMalformed : BerFrame::kIncomplete;
    uint64_t value = 0;
    bool indefinite = false;
    const int lengthUsed = ReadLengthField(data + tagUsed, available - tagUsed, value, indefinite);
    if (lengthUsed == 0)
        return BerFrame::kIncomplete;
    if (lengthUsed < 0 || value > static_cast<uint64_t>(INT64_MAX / 2))
        return BerFrame::kMalformed;
    if (headerOctets)
        *headerOctets = tagUsed + lengthUsed;
    if (indefinite)
        return BerFrame::kIndefinite;
    total = tagUsed + lengthUsed + static_cast<int64_t>(value);
    return BerFrame::kDefinite;
}

namespace {

bool IsEndOfContents(const unsigned char* data, int position, int length)
{
    return position + 1 < length && data[position] == 0 && data[position + 1] == 0;
}

// Decodes the elements in data[0, length) as children of `parent`, whose nodes sit at nesting level
// `depth`. Stops after an end-of-contents pair (counted in the result, `ended` set). Returns the
// octets consumed, or -1 when none.
int DecodeLevel(CBERNode* parent, const unsigned char* data, int length, int depth, bool& ended)
{
    ended = false;
    int position = 0;
    while (position < length) {
        if (IsEndOfContents(data, position, length)) {
            ended = true;
            return position + 2;
        }
        if (depth > kBerMaxDepth)
            THROW_EXTENDED(0, "DecodeBER error");
        CBERNode* node = new CBERNode;
        parent->AddSubtree(node);
        unsigned char first = data[position];
        node->m_byClass = static_cast<unsigned char>(first >> 6);
        node->m_bConstructed = (first & 0x20) ? 1 : 0;

        int used = BerGetTag(data + position, length - position, node->m_uTag);
        if (used == 0)
            THROW_EXTENDED(0, "not get tag number");
        position += used;

        long elementLength = 0;
        used = BerGetLength(data + position, length - position, elementLength);
        if (used == 0)
            THROW_EXTENDED(0, "not get length");
        position += used;
        node->m_nLength = static_cast<int>(elementLength);
        const int remaining = length - position;
        // A definite length must stay inside the enclosing element (and so inside the input).
        if (elementLength > remaining)
            THROW_EXTENDED(0, "not get length");

        if (node->m_bConstructed && elementLength == 0) {
            // An empty SEQUENCE or SET (`30 00`, `bf 2c 00`) is valid BER and real clients send
            // it (yaz-client's attribute list of a term without attributes): no children.
        } else if (node->m_bConstructed) {
            bool innerEnded = false;
            int inner = elementLength >= 0
                            ? DecodeLevel(node, data + position, static_cast<int>(elementLength), depth + 1,
                                          innerEnded)
                            : DecodeLevel(node, data + position, remaining, depth + 1, innerEnded);
            if (inner < 0)
                THROW_EXTENDED(0, "DecodeBER error");
            if (elementLength >= 0 && (innerEnded || inner != elementLength))
                THROW_EXTENDED(0, "DecodeBER error");  // end-of-contents inside a definite element
            if (elementLength < 0 && !innerEnded)
                THROW_EXTENDED(0, "not find 00 end");
            position += inner;
        } else if (elementLength > 0) {
            node->m_baContent.assign(data + position, data + position + elementLength);
            position += static_cast<int>(elementLength);
        } else if (elementLength < 0) {
            int end = position;
            while (end + 1 < length && !(data[end] == 0 && data[end + 1] == 0))
                ++end;
            if (end + 1 >= length)
                THROW_EXTENDED(0, "not find 00 end");
            node->m_baContent.assign(data + position, data + end);
            position = end + 2;
        }
    }
    return position == 0 ? -1 : position;
}

bool IsComplete(const unsigned char* data, long length, long* total, int depth)
{
    *total = -1;
    if (length <= 0 || depth > kBerMaxDepth)
        return false;
    int64_t size = 0;
    int headerOctets = 0;
    const BerFrame frame = BerFrameLength(data, length, size, &headerOctets);
    if (frame == BerFrame::kIncomplete || frame == BerFrame::kMalformed)
        return false;
    if (frame == BerFrame::kDefinite && size - headerOctets > 0x7FFFFFFF)
        return false;  // no element the decoder takes is this long
    const long header = headerOctets;
    if (frame == BerFrame::kDefinite) {
        if (size <= length) {
            *total = static_cast<long>(size);
            return true;
        }
        *total = static_cast<long>(size - length);
        return false;
    }
    long position = header;
    if ((data[0] & 0x20) == 0) {
        // Indefinite primitive: as the decoder reads it, up to the first pair of zero octets.
        for (; position + 1 < length; ++position) {
            if (data[position] == 0 && data[position + 1] == 0) {
                *total = position + 2;
                return true;
            }
        }
        return false;
    }
    while (length - position > 1 && !(data[position] == 0 && data[position + 1] == 0)) {
        long inner = -1;
        if (!IsComplete(data + position, length - position, &inner, depth + 1)) {
            *total = -1;
            return false;
        }
        position += inner;
    }
    if (length - position > 1) {
        *total = position + 2;
        return true;
    }
    *total = -1;
    return false;
}

}  // namespace

int DecodeBER(CBERNode* parent, unsigned char* data, int length)
{
    if (parent == nullptr || data == nullptr || length <= 0)
        return -1;
    bool ended = false;
    return DecodeLevel(parent, data, length, 1, ended);
}

bool IsCompleteBER(unsigned char* data, long length, long* total)
{
    long ignored = -1;
    if (total == nullptr)
        total = &ignored;
    *total = -1;
    if (data == nullptr)
        return false;
    return IsComplete(data, length, total, 1);
}
