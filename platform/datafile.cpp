// Finding the files the programs bring along (see datafile.h).
#include "platform/datafile.h"

#include <cstdlib>
#include <filesystem>

#include "platform/file.h"

std::string PlatFindDataFile(const std::string& executablePath, const std::string& relative) {
    namespace fs = std::filesystem;
    if (const char* src = std::getenv("VELKAN_SOURCE_DIR"); src && *src)
        return PlatFileExists(PlatJoinPath(src, relative)) ? PlatJoinPath(src, relative) : "";
    std::error_code ec;
    fs::path dir = fs::weakly_canonical(fs::path(executablePath), ec).parent_path();
    for (int up = 0; up < 4 && !dir.empty(); ++up, dir = dir.parent_path()) {
        // A source or build tree holds the file itself; an installed prefix P keeps it in
        // P/share/velkan.
        for (const fs::path& candidate : {dir / relative, dir / "share/velkan" / relative})
            if (fs::exists(candidate, ec))
                return candidate.string();
        if (dir == dir.parent_path())
            break;
    }
    return "";
}
