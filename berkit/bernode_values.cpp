// Primitive value decoders (INTEGER, BOOLEAN, BIT STRING, OBJECT IDENTIFIER, strings) and the
// CBERNode accessors that apply them to a node's content.
#include "bernode_values.h"

#include <algorithm>
#include <cstdio>
#include <cstdint>

#include "bernode.h"
#include "codepage.h"

namespace {
constexpr int kMaxOidArcs = 30;
}

bool DecodeInteger(const CByteArray& content, long& value)
{
    value = 0;
    if (content.empty() || content.size() > 4)
        return false;
    uint32_t bits = (content[0] & 0x80) ? 0xFFFFFFFFu : 0;
    for (unsigned char octet : content)
        bits = (bits << 8) | octet;
    value = static_cast<int32_t>(bits);
    return true;
}

int DecodeBoolean(const CByteArray& content, bool& value)
{
    value = !content.empty() && content[0] != 0;
    return 0;
}

bool DecodeBitString(const CByteArray& content, std::string& text)
{
    text.clear();
    if (content.size() < 2)
        return true;
    int unused = std::min<int>(content[0], 7);
    const size_t last = content.size() - 1;
    text.reserve(last * 8);
    for (size_t i = 1; i <= last; ++i) {
        int bits = (i == last) ? 8 - unused : 8;
        for (int b = 0; b < bits; ++b)
            text.push_back((content[i] & (0x80 >> b)) ? 'y' : 'n');
    }
    return true;
}

bool DecodeOID(const CByteArray& content, std::string& text)
{
    text.clear();
    char number[16];
    int arcs = 0;
    uint64_t value = 0;
    for (size_t i = 0; i < content.size() && arcs < kMaxOidArcs; ++i) {
        value = (value << 7) | (content[i] & 0x7F);
        if (value > 0xFFFFFFFFull)
            break;  // arcs beyond 32 bits are out of range: keep the arcs before it
        if (content[i] & 0x80)
            continue;  // a truncated last sub-identifier never reaches the text
        if (arcs == 0) {
            // X.690 8.19.4: the first sub-identifier packs the first two arcs.
            if (value < 80)
                std::snprintf(number, sizeof(number), "%u.%u", unsigned(value / 40), unsigned(value % 40));
            else
                std::snprintf(number, sizeof(number), "2.%u", unsigned(value - 80));
        } else {
            std::snprintf(number, sizeof(number), ".%u", unsigned(value));
        }
        text += number;
        ++arcs;
        value = 0;
    }
    return true;
}

bool DecodeGeneralString(const CByteArray& content, std::string& text, bool utf8)
{
    text.clear();
    const CByteArray* source = &content;
    CByteArray converted;
    if (utf8) {
        CByteArray input(content);
        if (UTF8_ANSI(converted, input) < 1)
            return true;
        source = &converted;
    }
    auto end = std::find(source->begin(), source->end(), 0);
    text.assign(source->begin(), end);
    return true;
}

bool DecodeOctetString(const CByteArray& content, std::string& text)
{
    return DecodeGeneralString(content, text, false);
}

int ChangeIntegerOrder(CByteArray& bytes)
{
    if (bytes.size() != 2 && bytes.size() != 4 && bytes.size() != 8)
        return -1;
    std::reverse(bytes.begin(), bytes.end());
    return 0;
}

int CBERNode::GetInteger(long& value)
{
    DecodeInteger(m_baContent, value);
    return 0;
}

int CBERNode::GetString(std::string& text, bool utf8)
{
    DecodeGeneralString(m_baContent, text, utf8);
    return 0;
}

int CBERNode::GetChar(std::string& text)
{
    DecodeGeneralString(m_baContent, text, false);
    return 0;
}

int CBERNode::GetOID(std::string& text)
{
    DecodeOID(m_baContent, text);
    return 0;
}

int CBERNode::GetBitstring(std::string& text)
{
    DecodeBitString(m_baContent, text);
    return 0;
}
