// Fuzz target: CPackage::LoadPackage and both converters on arbitrary answer buffers.
#include <cstddef>
#include <cstdint>

#include "backend/strata/strata_package.h"
#include "backend/strata/strata_routines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CPackage pkg;
    if (pkg.LoadPackage(reinterpret_cast<const char*>(data), size) != 0) return 0;
    if (pkg.CvtPackageToLineFormat(1) == 0) {
        for (size_t i = 0; i < pkg.GetLineCount(); ++i) (void)pkg.GetLine(i);
    }
    if (pkg.CvtPackageToBinFormat(1) == 0) {
        std::string text;
        for (size_t i = 0; i < pkg.GetRecordCount(); ++i) AppendPackageText(text, *pkg.GetRecord(i));
    }
    return 0;
}
