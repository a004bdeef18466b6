#pragma once
// The console's static files (ui/web/static/), compiled in by embedstatic.cmake.
// Thread safety: constant data.

#include <cstddef>

struct VKStaticFile {
    const char* name;  // file name, no folder; null ends the table
    const char* mime;
    const char* data;
    size_t size;
};

extern const VKStaticFile kConsoleStaticFiles[];
