#pragma once
// Files the programs bring along (scripts, demo data): found in the source or build tree the
// program runs from, or in the share/velkan folder of the prefix it is installed in.
// Thread safety: any thread.

#include <string>

// The path of `relative` (e.g. "scripts/make-demo-store.sh") for the program `executablePath`:
// under $VELKAN_SOURCE_DIR when that is set, else under one of the program's four nearest parent
// folders, or their share/velkan. "" when it is nowhere.
std::string PlatFindDataFile(const std::string& executablePath, const std::string& relative);

// The builder of the demo store (beside data/demo, which it reads).
constexpr const char* kDemoStoreScript = "scripts/make-demo-store.sh";
