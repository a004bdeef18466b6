// libFuzzer target: Iso2Diriv on arbitrary records, with the character set detected from field
// 100 and with UTF-8 given, and the MARC-8 guess on the same octets.
#include <cstddef>
#include <cstdint>
#include <string>

#include "backend/marc/marc8guess.h"
#include "berkit/marcglobal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    CByteArray record(data, data + size);
    std::string diriv, error;
    Iso2Diriv(record, diriv, error, false, false);
    Iso2Diriv(record, diriv, error, true, true);
    const std::string_view octets(reinterpret_cast<const char*>(data), size);
    GuessMarc8({octets, octets});
    return 0;
}
