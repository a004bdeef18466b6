// POSIX implementation of platform/localtime.h.
#include "platform/localtime.h"

std::string PlatFormatLocalTime(const char* strftimeFormat, time_t t) {
    if (strftimeFormat == nullptr) return std::string();
    struct tm parts {};
    if (localtime_r(&t, &parts) == nullptr) return std::string();
    char buffer[128];
    size_t n = strftime(buffer, sizeof(buffer), strftimeFormat, &parts);
    // strftime reports 0 both for "did not fit" and for an empty result; both give "".
    return std::string(buffer, n);
}
