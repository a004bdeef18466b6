// libFuzzer target: DecodeBER and IsCompleteBER on arbitrary octets; whatever decodes is re-encoded
// and must decode again to the same octets.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "berkit/bernode.h"

namespace {

// Universal 0 with empty content encodes as 00 00, which reads back as end-of-contents; such trees
// cannot round-trip and are not compared.
bool HasEndOfContentsLookalike(const CBERNode* node)
{
    for (const CBERNode* child : node->m_arrChildren) {
        if (child->m_byClass == 0 && child->m_uTag == 0 && !child->m_bConstructed && child->m_baContent.empty())
            return true;
        if (HasEndOfContentsLookalike(child))
            return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    CByteArray input(data, data + size);
    long total = 0;
    if (IsCompleteBER(input.data(), static_cast<long>(input.size()), &total) &&
        (total < 2 || total > static_cast<long>(input.size())))
        std::abort();  // a complete element lies inside the input

    CBERNode root;
    try {
        DecodeBER(&root, input.data(), static_cast<int>(input.size()));
    } catch (extended_exception&) {
        return 0;
    }
    CByteArray encoded;
    root.EncodeBER(encoded);
    if (encoded.empty() || HasEndOfContentsLookalike(&root))
        return 0;
    CBERNode again;
    try {
        DecodeBER(&again, encoded.data(), static_cast<int>(encoded.size()));
    } catch (extended_exception&) {
        // An indefinite constructed element with no children re-encodes with definite length 0,
        // which the decoder refuses. Only a crash or a mismatch is a finding.
        return 0;
    }
    CByteArray reencoded;
    again.EncodeBER(reencoded);
    if (reencoded != encoded)
        std::abort();
    return 0;
}
