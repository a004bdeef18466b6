// CBERNode builders: each appends a new child owned by this node, generic and typed.
#include <bit>
#include <cstring>
#include <utility>

#include "bernode.h"
#include "bernode_values.h"
#include "codepage.h"

namespace {

CBERNode* NewChild(CBERNode* parent, unsigned char byClass, unsigned char form, unsigned int tag)
{
    CBERNode* node = new CBERNode;
    node->m_byClass = byClass;
    node->m_bConstructed = form ? 1 : 0;
    node->m_uTag = tag;
    parent->AddSubtree(node);
    return node;
}

// Minimal two's complement, most significant octet first.
CByteArray IntegerContent(int value)
{
    CByteArray bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    if constexpr (std::endian::native == std::endian::little)
        ChangeIntegerOrder(bytes);
    size_t skip = 0;
    if (bytes[0] == 0x00) {
        while (bytes.size() - skip >= 2 && bytes[skip] == 0x00 && (bytes[skip + 1] & 0x80) == 0)
            ++skip;
    } else if (bytes[0] == 0xFF) {
        while (bytes.size() - skip >= 2 && bytes[skip] == 0xFF && (bytes[skip + 1] & 0x80) != 0)
            ++skip;
    }
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(skip));
    return bytes;
}

// Flag characters "y" or "1" are set bits; anything else is clear.
CByteArray BitStringContent(const char* flags, size_t count)
{
    CByteArray bytes(1 + (count + 7) / 8, 0);
    bytes[0] = static_cast<unsigned char>((8 - count % 8) % 8);
    for (size_t i = 0; i < count; ++i) {
        if (flags[i] == 'y' || flags[i] == '1')
            bytes[1 + i / 8] |= static_cast<unsigned char>(0x80 >> (i % 8));
    }
    return bytes;
}

// Reads a decimal number at text[*at]; false when none starts there or it exceeds 32 bits.
bool ParseArc(const char* text, size_t& at, unsigned long long& value, bool& overflow)
{
    overflow = false;
    if (text[at] < '0' || text[at] > '9')
        return false;
    value = 0;
    while (text[at] >= '0' && text[at] <= '9') {
        value = value * 10 + static_cast<unsigned>(text[at] - '0');
        if (value > 0xFFFFFFFFull)
            overflow = true, value = 0xFFFFFFFFull + 1;
        ++at;
    }
    return true;
}

void AppendSubIdentifier(CByteArray& out, unsigned int value)
{
    unsigned char groups[5];
    int count = 0;
    do {
        groups[count++] = static_cast<unsigned char>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    for (int i = count - 1; i >= 0; --i)
        out.push_back(static_cast<unsigned char>(groups[i] | (i > 0 ? 0x80 : 0)));
}

// Object identifier content from dotted decimal text. False when the text has no second arc, an
// arc exceeds 32 bits, or the content would pass 90 octets before a sub-identifier.
bool OIDContent(const char* text, CByteArray& out)
{
    size_t at = 0;
    unsigned long long first = 0, second = 0;
    bool overflow = false;
    if (!ParseArc(text, at, first, overflow))
        return true;  // nothing to parse: empty content
    if (overflow || text[at] != '.')
        return false;
    ++at;
    if (!ParseArc(text, at, second, overflow))
        return false;
    unsigned long long combined = first * 40 + second;
    if (overflow || combined > 0xFFFFFFFFull)
        return false;
    AppendSubIdentifier(out, static_cast<unsigned int>(combined));
    while (text[at] == '.') {
        ++at;
        unsigned long long arc = 0;
        if (!ParseArc(text, at, arc, overflow))
            break;
        if (overflow || out.size() > 90)
            return false;
        AppendSubIdentifier(out, static_cast<unsigned int>(arc));
    }
    return true;
}

}  // namespace

CBERNode* CBERNode::NewChildNoContentNode(unsigned char byClass, unsigned char form, unsigned int tag)
{
    return NewChild(this, byClass, form, tag);
}

CBERNode* CBERNode::NewChildconstructedNode(unsigned int tag, unsigned char byClass)
{
    return NewChild(this, byClass, BER_CONSTRUCTED, tag);
}

CBERNode* CBERNode::NewChildCharNode(unsigned char byClass, unsigned char form, unsigned int tag, char* data,
                                     int length)
{
    CBERNode* node = NewChild(this, byClass, form, tag);
    if (data != nullptr && length > 0)
        node->m_baContent.assign(data, data + length);
    return node;
}

CBERNode* CBERNode::NewChildCharNode(unsigned int tag, unsigned char byClass, char* data, int length)
{
    return NewChildCharNode(byClass, BER_PRIMITIVE, tag, data, length);
}

CBERNode* CBERNode::NewChildCharNode(unsigned int tag, unsigned char byClass, const CByteArray& data)
{
    CBERNode* node = NewChild(this, byClass, BER_PRIMITIVE, tag);
    node->m_baContent = data;
    return node;
}

CBERNode* CBERNode::NewChildIntegerNode(unsigned char byClass, unsigned char form, unsigned int tag, int value)
{
    CBERNode* node = NewChild(this, byClass, form, tag);
    node->m_baContent = IntegerContent(value);
    return node;
}

CBERNode* CBERNode::NewChildIntegerNode(unsigned int tag, unsigned char byClass, char* data, int length)
{
    if (data == nullptr || length < 4)
        return nullptr;
    const unsigned char* octets = reinterpret_cast<const unsigned char*>(data);
    // Little-endian 32-bit integer, whatever the machine order.
    unsigned int raw = octets[0] | (octets[1] << 8) | (octets[2] << 16) | (static_cast<unsigned int>(octets[3]) << 24);
    return NewChildIntegerNode(byClass, BER_PRIMITIVE, tag, static_cast<int>(raw));
}

CBERNode* CBERNode::NewChildIntegerNode(unsigned int tag, unsigned char byClass, const CByteArray& data)
{
    if (data.size() < 4)
        return nullptr;
    return NewChildIntegerNode(tag, byClass, reinterpret_cast<char*>(const_cast<unsigned char*>(data.data())),
                               static_cast<int>(data.size()));
}

CBERNode* CBERNode::NewChildBooleanNode(unsigned char byClass, unsigned char form, unsigned int tag, bool value)
{
    CBERNode* node = NewChild(this, byClass, form, tag);
    node->m_baContent.assign(1, value ? 1 : 0);
    return node;
}

CBERNode* CBERNode::NewChildBitStringNode(unsigned char byClass, unsigned char form, unsigned int tag,
                                          CByteArray& flags)
{
    CBERNode* node = NewChild(this, byClass, form, tag);
    node->m_baContent = BitStringContent(reinterpret_cast<const char*>(flags.data()), flags.size());
    return node;
}

CBERNode* CBERNode::NewChildBitStringNode(unsigned char byClass, unsigned char form, unsigned int tag,
                                          const char* text)
{
    CBERNode* node = NewChild(this, byClass, form, tag);
    node->m_baContent = BitStringContent(text ? text : "", text ? std::strlen(text) : 0);
    return node;
}

CBERNode* CBERNode::NewChildBitStringNode(unsigned int tag, unsigned char byClass, const CByteArray& flags)
{
    CBERNode* node = NewChild(this, byClass, BER_PRIMITIVE, tag);
    node->m_baContent = BitStringContent(reinterpret_cast<const char*>(flags.data()), flags.size());
    return node;
}

CBERNode* CBERNode::NewChildBitStringNode(unsigned int tag, unsigned char byClass, char* text, int length)
{
    // The characters of the text are used; `length` bounds the scan for an unterminated text.
    CBERNode* node = NewChild(this, byClass, BER_PRIMITIVE, tag);
    size_t count = (text != nullptr && length > 0) ? strnlen(text, static_cast<size_t>(length)) : 0;
    node->m_baContent = BitStringContent(text ? text : "", count);
    return node;
}

CBERNode* CBERNode::NewChildOIDNode(unsigned char byClass, unsigned char form, unsigned int tag, const char* text)
{
    CBERNode* node = NewChild(this, byClass, form, tag);
    CByteArray content;
    if (text == nullptr || !OIDContent(text, content))
        return nullptr;  // the empty child stays in the tree
    node->m_baContent = std::move(content);
    return node;
}

CBERNode* CBERNode::NewChildOIDNode(unsigned char byClass, unsigned char form, unsigned int tag, char* text,
                                    int length)
{
    (void)length;  // parsing stops at the end of the digits
    return NewChildOIDNode(byClass, form, tag, static_cast<const char*>(text));
}

CBERNode* CBERNode::NewChildGeneralStringNode(unsigned char byClass, unsigned char form, unsigned int tag,
                                              std::string text, bool utf8)
{
    CBERNode* node = NewChild(this, byClass, form, tag);
    CByteArray octets(text.begin(), text.end());
    if (utf8) {
        CByteArray converted;
        ANSI_UTF8(converted, octets);
        node->m_baContent = std::move(converted);
    } else {
        node->m_baContent = std::move(octets);
    }
    return node;
}
