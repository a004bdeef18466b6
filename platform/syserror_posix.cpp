// POSIX implementation of platform/syserror.h.
#include "platform/syserror.h"

#include <cerrno>
#include <system_error>

std::string PlatSystemErrorText(int code) {
    // system_category().message() uses the re-entrant strerror_r underneath.
    std::string text = std::system_category().message(code);
    if (text.empty()) text = "Unknown error " + std::to_string(code);
    return text;
}

int PlatLastError() { return errno; }
