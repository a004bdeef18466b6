#pragma once
// Temporary file names in the Windows manner: folder + first three characters of the prefix +
// an upper-case hexadecimal number + ".tmp", created empty and unique in that folder.
// Thread safety: any thread (uniqueness comes from exclusive creation, not from a lock).

#include <string>

// Creates an empty file "folder/PPPXXXX.tmp" that did not exist before and returns its full path.
// `folder` may end with "/" or not. Returns "" when the folder does not exist or no name can be
// created. The caller owns the file and deletes it.
std::string PlatGetTempFileName(const std::string& folder, const std::string& prefix);
