// libFuzzer target: every primitive value decoder, and the string builders, on arbitrary content.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "berkit/bernode.h"
#include "berkit/bernode_values.h"
#include "berkit/codepage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (1u << 16))
        return 0;
    const CByteArray content(data, data + size);
    long number = 0;
    bool flag = false;
    std::string text;
    if (DecodeInteger(content, number) && (content.empty() || content.size() > 4))
        std::abort();
    DecodeBoolean(content, flag);
    DecodeBitString(content, text);
    if (content.size() >= 2 && text.size() > (content.size() - 1) * 8)
        std::abort();
    DecodeOID(content, text);
    DecodeGeneralString(content, text, false);
    DecodeGeneralString(content, text, true);
    DecodeOctetString(content, text);
    CByteArray bytes(content);
    ChangeIntegerOrder(bytes);

    CByteArray wide, back, input(content);
    ToWChar(wide, input, 0);
    ToMByte(back, wide, 65001);
    ToWChar(wide, input, 65001);
    ToMByte(back, wide, 0);

    // The OID and bit-string builders read zero-terminated text.
    std::string zeroTerminated(content.begin(), content.end());
    CBERNode root;
    CBERNode* oid = root.NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, zeroTerminated.c_str());
    if (oid != nullptr && oid->m_baContent.size() > 95)
        std::abort();
    root.NewChildBitStringNode(BER_CONTEXT, BER_PRIMITIVE, 3, zeroTerminated.c_str());
    root.NewChildGeneralStringNode(BER_CONTEXT, BER_PRIMITIVE, 45, zeroTerminated, true);
    if (oid != nullptr) {
        std::string dotted;
        DecodeOID(oid->m_baContent, dotted);
    }
    return 0;
}
