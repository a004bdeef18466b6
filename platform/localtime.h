#pragma once
// Local-time formatting for log lines, file names and packet dumps.
// Thread safety: any thread (uses the re-entrant localtime_r).

#include <ctime>
#include <string>

// Formats `t` as local time with strftime's `strftimeFormat` into a 128-byte buffer. Returns ""
// when the time cannot be converted or the result does not fit.
std::string PlatFormatLocalTime(const char* strftimeFormat, time_t t);
