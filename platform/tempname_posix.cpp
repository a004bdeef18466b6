// POSIX implementation of platform/tempname.h.
#include "platform/tempname.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Windows uses a 16-bit unique number; names cycle through at most this many candidates.
constexpr unsigned kNameSpace = 0x10000;
}  // namespace

std::string PlatGetTempFileName(const std::string& folder, const std::string& prefix) {
    std::string dir = folder.empty() ? std::string(".") : folder;
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::string();
    if (dir.back() != '/') dir += '/';
    const std::string head = dir + prefix.substr(0, 3);

    auto now = std::chrono::steady_clock::now().time_since_epoch();
    unsigned start = static_cast<unsigned>(
        std::chrono::duration_cast<std::chrono::microseconds>(now).count() % kNameSpace);
    for (unsigned i = 0; i < kNameSpace; ++i) {
        unsigned number = (start + i) % kNameSpace;
        if (number == 0) continue;  // Windows never uses 0 as the generated number
        char hex[16];
        std::snprintf(hex, sizeof(hex), "%X", number);
        std::string path = head + hex + ".tmp";
        int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (fd >= 0) {
            close(fd);
            return path;
        }
        if (errno != EEXIST) return std::string();  // no permission, read-only, ...: give up at once
    }
    return std::string();
}
