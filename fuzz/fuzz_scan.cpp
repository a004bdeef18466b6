// libFuzzer target: scan and delete-result-set requests through DecodeBER and their strict
// decoders, and the input as a back-end term line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "backend/strata/strata_scan.h"
#include "berkit/bernode.h"
#include "berkit/bernode_delset.h"
#include "fuzz/fuzz_input.h"
#include "berkit/bernode_scan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    StrataTermCount line;
    StrataParseScanLine(std::string_view(reinterpret_cast<const char*>(data), size), line);
    CBERNode root;
    FuzzDecodeBER(data, size, root);
    for (CBERNode* apdu : root.m_arrChildren) {
        std::string error;
        CZScanRequest scan;
        if (DecodeScanRequest(apdu, true, scan, error) && scan.m_databaseNames.empty()) __builtin_trap();
        CZDeleteRequest del;
        if (DecodeDeleteRequest(apdu, false, del, error) && del.m_function < 0) __builtin_trap();
    }
    return 0;
}
