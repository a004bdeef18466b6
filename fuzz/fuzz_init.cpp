// libFuzzer target: an Init request through DecodeBER and the Init-path decoders.
#include <cstddef>
#include <cstdint>
#include <string>

#include "berkit/bernode.h"
#include "fuzz/fuzz_input.h"
#include "berkit/bernode_decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CBERNode root;  // malformed BER is an expected error; the partial tree is still walked below
    if (!FuzzDecodeBER(data, size, root)) return 0;
    for (CBERNode* apdu : root.m_arrChildren) {
        for (CBERNode* child : apdu->m_arrChildren) {
            std::string group, user, password;
            int form = 0;
            bool utf8 = false, records = false, wrapped = false;
            if (child->m_uTag == 7) DecodeAuthentication(child, group, user, password, form);
            if (child->m_uTag == 201) DecodeCharSetNegotiation(child, utf8, records, &wrapped);
        }
    }
    return 0;
}
