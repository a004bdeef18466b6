// libFuzzer target: the session's request path in berkit: the frame-length reader (which must
// agree with IsCompleteBER), DecodeBER, and every APDU decoder of bernode_apdu on every child of
// the root and the query model of each search request, with a response built from each decoded
// request.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "berkit/bernode.h"
#include "berkit/bernode_apdu.h"
#include "berkit/bernode_query.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    CByteArray bytes(data, data + size);
    int64_t declared = 0;
    const BerFrame frame = BerFrameLength(bytes.data(), static_cast<long>(bytes.size()), declared);
    long total = 0;
    if (IsCompleteBER(bytes.data(), static_cast<long>(bytes.size()), &total) && frame == BerFrame::kDefinite &&
        declared != total)
        abort();  // the two readers disagree about a complete element
    CBERNode root;
    try {
        DecodeBER(&root, bytes.data(), static_cast<int>(bytes.size()));
    } catch (extended_exception&) {
    }
    CBERNode response;
    for (CBERNode* apdu : root.m_arrChildren) {
        CZInitRequest init;
        DecodeInitRequest(apdu, init);
        CZSearchRequest search;
        DecodeSearchRequest(apdu, init.m_utf8, search);
        // The query model in both readings; decoding never throws.
        DecodeQuery(search.m_rpn, init.m_utf8, CZQueryReading::kStrict);
        DecodeQuery(search.m_rpn, false, CZQueryReading::kLenient);
        CZPresentRequest present;
        DecodePresentRequest(apdu, true, present);
        CZESRequest es;
        DecodeExtServicesRequest(apdu, es);
        std::string term;
        for (CBERNode* child : apdu->m_arrChildren)
            DecodeGeneralTerm(child, term, false);
        BuildSearchResponse(response, search.m_referenceId, 1, 1, true);
        BuildPresentResponse(response, present.m_referenceId, 0, 0, Z_PRESENT_FAILURE);
        AddBib1Diagnostic(response.m_arrChildren.back(), BER_CONTEXT, kZTagNonSurrogateDiagnostic, 2, term);
    }
    CByteArray out;
    response.EncodeBER(out);
    return 0;
}
