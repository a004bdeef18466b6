// BER encoding of a CBERNode tree: identifier, definite length and content octets (X.690 8.1).
#include "bernode.h"

int CBERNode::EncodeBER(CByteArray& out)
{
    out.clear();
    Encode();
    out.insert(out.end(), m_baContent.begin(), m_baContent.end());
    return 0;
}

bool CBERNode::Encode()
{
    if (!m_bConstructed)
        return false;
    m_baContent.clear();
    for (CBERNode* child : m_arrChildren) {
        if (child->m_bConstructed)
            child->Encode();
        child->EncodeSelf(m_baContent);
    }
    return true;
}

bool CBERNode::EncodeSelf(CByteArray& out)
{
    CByteArray header;
    MakeTagClassFormPart(header);
    out.insert(out.end(), header.begin(), header.end());
    header.clear();
    MakeLengthPart(header, static_cast<int>(m_baContent.size()));
    out.insert(out.end(), header.begin(), header.end());
    out.insert(out.end(), m_baContent.begin(), m_baContent.end());
    return true;
}

int CBERNode::MakeTagClassFormPart(CByteArray& out)
{
    out.clear();
    unsigned char first = static_cast<unsigned char>(((m_byClass & 3) << 6) | (m_bConstructed ? 0x20 : 0));
    if (m_uTag < 31) {
        out.push_back(static_cast<unsigned char>(first | m_uTag));
        return 0;
    }
    out.push_back(static_cast<unsigned char>(first | 0x1F));
    // Base-128 groups, most significant first; every group but the last has bit 8 set. Tags up to
    // 16383 take one or two octets; larger ones simply take more groups.
    unsigned char groups[5];
    int count = 0;
    unsigned int tag = m_uTag;
    do {
        groups[count++] = static_cast<unsigned char>(tag & 0x7F);
        tag >>= 7;
    } while (tag != 0);
    for (int i = count - 1; i >= 0; --i)
        out.push_back(static_cast<unsigned char>(groups[i] | (i > 0 ? 0x80 : 0)));
    return 0;
}

int CBERNode::MakeLengthPart(CByteArray& out, int length)
{
    if (length < 0) {
        out.push_back(0x80);
        return 0;
    }
    if (length < 128) {
        out.push_back(static_cast<unsigned char>(length));
        return 0;
    }
    int count = 0;
    for (unsigned int rest = static_cast<unsigned int>(length); rest != 0; rest >>= 8)
        ++count;
    out.push_back(static_cast<unsigned char>(0x80 | count));
    for (int i = count - 1; i >= 0; --i)
        out.push_back(static_cast<unsigned char>((static_cast<unsigned int>(length) >> (8 * i)) & 0xFF));
    return 0;
}
