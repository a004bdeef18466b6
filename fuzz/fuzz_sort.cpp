// libFuzzer target: a sortRequest through DecodeBER and the sort decoder, and the response
// built from what the decoder reported.
#include <cstddef>
#include <cstdint>

#include "berkit/bernode.h"
#include "fuzz/fuzz_input.h"
#include "berkit/bernode_sort.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CBERNode root;
    if (!FuzzDecodeBER(data, size, root)) return 0;
    for (CBERNode* apdu : root.m_arrChildren) {
        CZSortRequest request;
        const CZSortProblem problem = DecodeSortRequest(apdu, size % 2 == 0, request);
        if (!problem && (request.m_inputSets.size() != 1 || request.m_outputSet.empty() || request.m_keys.empty() ||
                         request.m_keys.size() > kSortMaxKeys))
            __builtin_trap();  // a request reported usable must hold what the service relies on
        CBERNode response;
        BuildSortResponse(response, request.m_referenceId,
                          {problem ? Z_SORT_FAILURE : Z_SORT_SUCCESS, 0, problem.m_code, problem.m_addinfo});
        CByteArray out;
        response.EncodeBER(out);
    }
    return 0;
}
