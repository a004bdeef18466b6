// libFuzzer target: Iso2Diriv on arbitrary records, with the character set detected from field
// 100 and with UTF-8 given.
#include <cstddef>
#include <cstdint>
#include <string>

#include "berkit/marcglobal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    CByteArray record(data, data + size);
    std::string diriv, error;
    Iso2Diriv(record, diriv, error, false, false);
    Iso2Diriv(record, diriv, error, true, true);
    return 0;
}
