// libFuzzer target: a Search request through DecodeBER, the database-name and RPN decoders, a
// bounded walk of the RPN tree as the session does it, and the text translation.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "berkit/bernode.h"
#include "fuzz/fuzz_input.h"
#include "berkit/bernode_decoders.h"

namespace {

void Walk(CBERNode* rpn, int depth) {
    if (!rpn || depth > kRPNMaxDepth) return;
    if (rpn->m_uTag == 0 && !rpn->m_arrChildren.empty()) {
        long type = -1, value = -1;
        std::string term;
        std::vector<std::pair<long, long>> attrs;
        DecodeAttributeList(rpn->m_arrChildren[0], attrs);
        try {
            DecodeAttributeAndTerm(rpn->m_arrChildren[0], type, value, term, depth % 2 == 0);
        } catch (extended_exception&) {
        }
    } else if (rpn->m_uTag == 1 && rpn->m_arrChildren.size() >= 3) {
        DecodeRPNOperator(rpn->m_arrChildren[2]);
        Walk(rpn->m_arrChildren[0], depth + 1);
        Walk(rpn->m_arrChildren[1], depth + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CBERNode root;
    if (!FuzzDecodeBER(data, size, root)) return 0;
    for (CBERNode* apdu : root.m_arrChildren) {
        for (CBERNode* child : apdu->m_arrChildren) {
            if (child->m_uTag == 18) {
                std::vector<std::string> names;
                DecodeDBName(child, names, true);
            } else if (child->m_uTag == 21) {
                Walk(GetRPNStructureRoot(child), 0);
                std::string text, unused;
                try {
                    DecodeSearchQuery(child, text, unused);
                } catch (extended_exception&) {
                }
            }
        }
    }
    return 0;
}
