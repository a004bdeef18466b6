// Debug trace of the codec, switched on by VELKAN_TRACE=1.
#include "bertrace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool BerTraceEnabled()
{
    static const bool enabled = [] {
        const char* value = std::getenv("VELKAN_TRACE");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    return enabled;
}

void BerTrace(const char* fmt, ...)
{
    if (!BerTraceEnabled())
        return;
    char line[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(line, sizeof(line), fmt, args);
    va_end(args);
    std::fputs(line, stderr);
}
