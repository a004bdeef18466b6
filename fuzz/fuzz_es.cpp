// libFuzzer target: an Extended Services update request through DecodeBER and the ES decoders.
#include <cstddef>
#include <cstdint>
#include <string>

#include "berkit/bernode.h"
#include "fuzz/fuzz_input.h"
#include "berkit/bernode_decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CBERNode root;
    if (!FuzzDecodeBER(data, size, root)) return 0;
    for (CBERNode* apdu : root.m_arrChildren) {
        for (CBERNode* child : apdu->m_arrChildren) {
            long action = -1;
            std::string database;
            CBERNode* list = DecodeESRequest(DecodeESRequestPtr(child), action, database, true);
            if (!list) continue;
            for (CBERNode* record : list->m_arrChildren) {
                std::string unused, syntax;
                CByteArray content;
                DecodeESUpdateRecord(record, unused, syntax, content);
            }
        }
    }
    return 0;
}
